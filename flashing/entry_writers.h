// The three ways a package entry reaches the device: the loader image through the ROM
// bootloader, the firmware image (followed by the serial-number record) and the data
// images through the loader's service frames. Each writer reads its entry from the open
// package in chunks, sends them, moves the progress bar and reports in the status line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "flashing/entry_kind.h"
#include "flashing/operator_feedback.h"
#include "flashing/package.h"
#include "flashing/serial_record.h"
#include "flashing/write_failure.h"
#include "link/device_link.h"

namespace korvane {

// Called right before the serial record is sent. Sets serialText to the 13 characters the
// record must carry once their number has been consumed (and recorded); false when none
// could be, and the record must not be sent.
using ClaimNumber = std::function<bool(std::string& serialText)>;

class EntryWriters {
public:
    EntryWriters(DeviceLink& link, PackageFile& package, OperatorFeedback& feedback)
        : link(link), package(package), feedback(feedback) {}

    // How an entry fared. kNothingWritten: it failed before its preparation (the loader's
    // erase, the loader's start request) was accepted, so the device holds nothing of it;
    // for the loader image this means the flash still holds whatever program was there.
    enum class WriteOutcome { kWritten, kFailedPartway, kNothingWritten };

    // Each reports success when the whole entry (and for the firmware the record) was
    // accepted. A failure has been reported and the commands enabled. An entry whose
    // extent runs past the end of the package fails before anything of it is sent.
    WriteOutcome WriteLoaderImage(const std::string& name, uint32_t offset, uint32_t size);
    bool WriteFirmwareImage(const std::string& name, uint32_t offset, uint32_t size,
                            const ClaimNumber& claimNumber);
    // The kind, as an unsigned 16-bit number, is the entry's first block number.
    bool WriteDataImage(const std::string& name, uint32_t offset, uint32_t size, EntryKind kind);

    // Sends one service request and judges its reply: true only for a reply with payload
    // whose status byte accepts the request.
    bool Exchange(uint8_t command, uint8_t subCommand, uint32_t address, const uint8_t* data,
                  uint16_t length);

    // The closing request after the last entry (named for the failure, should it fail).
    bool Close(const std::string& lastEntry);

    // The failure path of an entry: reported, and the commands enabled. Always false.
    bool Fail(const std::string& name);

    // What failed in the last entry (or the closing request); Failed() is false when
    // nothing did, or when no request failed (the serial record's number was not to be had).
    const WriteFailure& Failure() const { return failure; }

    // Bytes of the last entry that were read from the package and accepted by the device.
    uint64_t BytesSent() const { return bytesSent; }

    class Steps;

private:
    WriteOutcome WriteEntry(const std::string& name, uint32_t offset, uint32_t size, Steps& steps);
    // Keeps what failed: request of entry at where, and how the device answered it.
    void Failed(FailedRequest request, const std::string& entry, uint32_t where);

    DeviceLink& link;
    PackageFile& package;
    OperatorFeedback& feedback;
    uint64_t bytesSent = 0;
    WriteFailure failure;
    bool replyRefused = false;  // the last reply's status refused its request
};

// Progress position after written of size bytes: a percentage rounded to the nearest
// integer, halves up.
int ProgressPosition(uint64_t written, uint64_t size);

}  // namespace korvane
