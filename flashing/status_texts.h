// The status-line texts of a flash run, exactly as the operator sees them.
#pragma once

namespace korvane::status {
constexpr char kWritingFile[] = "Writing the file: [%s] ...";
constexpr char kFinishedFile[] = "Finished to write the file [%s] to the flash.";
constexpr char kFailedFile[] = "Failed to write the file [%s] to the flash.";
constexpr char kPortNotOpened[] = "Failed to open the serial port.";
constexpr char kNotConnected[] = "Failed to connect the device.";
constexpr char kFileNotOpened[] = "Failed to open the file [%s].";
constexpr char kInterrupted[] = "The run was interrupted.";
// A package the run will not write as it is, said before the port is opened (or, when it
// does not fit the device's flash, before anything is erased).
constexpr char kPackageRefused[] = "The package [%s] cannot be flashed: %s.";
// A package a station that trusts keys will not flash: the sentence says why (no signature,
// a key not trusted, changed after signing).
constexpr char kNotTrusted[] = "The package [%s] is not flashed. %s";
constexpr char kReadProtected[] = "The flash of the device is read-protected: nothing was written.";
constexpr char kChipElsewhere[] =
    "The device has the chip ID of the device in %s: nothing was written.";
constexpr char kFlashedBefore[] =
    "The device was flashed before (%s, station %s, %s): nothing was written.";
}  // namespace korvane::status
