// The system's only access to the serial line: one platform handle, fixed line
// settings (8 data bits, even parity, 1 stop bit, no flow control), timed reads, writes
// traced as hexadecimal text to the debug output, purges and modem-line control.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvane {

// A platform handle: a file descriptor on POSIX systems, a HANDLE on Windows. Both fit,
// and both use all bits set as "no handle".
using PortHandle = intptr_t;
constexpr PortHandle kInvalidPortHandle = -1;

// Codes for SerialPort::EscapeFunction, with the platform's numbering.
enum EscapeCode : uint8_t {
    kSetXoff = 1,
    kSetXon = 2,
    kSetRts = 3,
    kClrRts = 4,
    kSetDtr = 5,
    kClrDtr = 6,
    kSetBreak = 8,
    kClrBreak = 9,
};

// Why the last Open of a port failed.
enum class OpenFailure {
    kNone,          // it opened (or was never asked to)
    kNoSuchDevice,  // nothing of that name
    kPermissionDenied,
    kHeld,            // another program has it in hand (Holder() names it where it can)
    kNotASerialPort,  // the name leads to something that is no terminal (/dev/null, a file)
    kOther,
};

class SerialPort {
public:
    // One Read call waits at most this long (from the call) before returning short.
    static constexpr uint32_t kReadWindowMs = 3000;
    // Bit times a byte takes on the line: start bit, 8 data bits, parity, stop bit.
    static constexpr uint32_t kBitsPerByte = 11;

    SerialPort() = default;
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens port number portNumber (1 = COM1), by the platform's own name for it
    // (PlatformPortName), with the fixed line settings and the given baud rate. An open
    // port is closed first. True when the device opened; settings the device refuses do
    // not make it fail.
    bool Open(uint8_t portNumber, uint32_t baudRate);
    // The same for a device named directly (a path on POSIX systems, "COM3:" on Windows).
    bool OpenDevice(const std::string& device, uint32_t baudRate);
    void Close();
    bool IsOpen() const { return handle != kInvalidPortHandle; }
    // Who had the device in hand when the last Open was refused for that reason, as
    // "ModemManager (pid 812)"; empty when it was not.
    const std::string& Holder() const { return holder; }
    // True when the open device took the line settings but not even parity, which the
    // device's bootloader needs. Never for a pseudo-terminal, which carries no parity.
    bool ParityRefused() const { return parityRefused; }
    // True once a Read found the device gone since the last Open (an adapter unplugged,
    // the far end of a pseudo-terminal closed): such a Read returns at once, short.
    bool LineGone() const { return lineGone; }
    // Why the last Open failed, and the system's own words for it (the text of its error
    // code); kNone and empty after an Open that succeeded.
    OpenFailure LastOpenFailure() const { return openFailure; }
    // The group that may open the device, when this user was refused and the device lets
    // its group in (POSIX; empty otherwise).
    const std::string& DeviceGroup() const { return deviceGroup; }
    const std::string& OpenError() const { return openError; }

    // The baud rate of the last Open that succeeded; 0 before any.
    uint32_t BaudRate() const { return baudRate; }
    // How long the line takes to carry count bytes at that rate, rounded up.
    uint32_t LineTimeMs(uint64_t count) const;
    // How many bytes the line carries in milliseconds at that rate.
    uint64_t LineBytesIn(uint32_t milliseconds) const;

    // Discards every byte waiting to be read.
    void PurgeReceive();
    // Drives a modem line (EscapeCode); the platform's success flag.
    bool EscapeFunction(uint8_t code);
    // Is told of every modem-line change asked of this port, in order, before it is
    // made: the order of the reset pulse matters to the device and shows nowhere on the
    // data line. Empty to stop.
    void WatchModemLines(std::function<void(uint8_t code)> watcher) {
        modemLineWatcher = std::move(watcher);
    }

    // Writes length bytes in one blocking call and traces them. Bytes written; 0 when the
    // port is closed or length is below 1 (then nothing is traced either).
    int32_t Write(const uint8_t* data, int32_t length);
    // Reads up to length bytes, waiting at most the read window from the call (checked
    // between platform reads). Bytes received; fewer than length means the window ran out.
    int32_t Read(uint8_t* buffer, int32_t length);
    // The read window: kReadWindowMs, unless a caller that only asks whether anything
    // answers at all (a fixture's probe) shortens it for a while.
    void SetReadWindowMs(uint32_t ms) { readWindowMs = ms; }
    uint32_t ReadWindowMs() const { return readWindowMs; }

private:
    // One blocking hand-over of the bytes to the driver; the count it took.
    int32_t WriteToDevice(const uint8_t* data, int32_t length);
    bool EscapeToDevice(uint8_t code);

    // Records why an Open failed; false, for the caller to return.
    bool OpenFailed(OpenFailure failure, std::string error);

    PortHandle handle = kInvalidPortHandle;
    std::function<void(uint8_t)> modemLineWatcher;
    std::string holder;
    bool parityRefused = false;
    bool lineGone = false;
    uint32_t readWindowMs = kReadWindowMs;
    OpenFailure openFailure = OpenFailure::kNone;
    std::string openError;
    std::string deviceGroup;
    uint32_t baudRate = 0;
    std::string lockFile;  // this process's lock file for the open device, if any
    // The driver's serial flags before Open asked it for low latency, given back on
    // Close; -1 when Open changed nothing (POSIX only).
    int serialFlagsBefore = -1;
    // Bytes the driver handed over beyond what a Read asked for: the POSIX backend takes
    // whatever is queued in one call, so that a fast stream costs a call per block rather
    // than per byte (the Windows one reads only what is asked for). Read hands them out
    // first; purges, opens and closes drop them.
    static constexpr int32_t kReceiveBlockBytes = 4096;
    uint8_t receiveBlock[kReceiveBlockBytes] = {};
    int32_t receiveAt = 0;
    int32_t receiveEnd = 0;
};

// Sends the bytes as "%.2X " text (two upper-case digits and a blank each) to the debug
// output, without a line end. Long writes are traced in several pieces, so every byte
// shows and the text buffer is never overrun.
void TraceHex(const uint8_t* data, int32_t length);

// Writes a single line feed to the debug output: the protocols end each traced command,
// block or frame with it.
void TraceLineEnd();

// The platform's own name for port number portNumber (1 = COM1): "COM<n>:" on Windows,
// /dev/ttyS<n-1> elsewhere. Which device a COM number stands for at a station (the
// environment, the profile) is the settings' to say; the port only opens devices.
std::string PlatformPortName(uint8_t portNumber);

// Who holds device at this moment, named as Holder() would name them had an Open just
// been refused; empty when nobody is seen. Windows does not say who holds a port, so
// there it is always empty.
std::string PortHolderNow(const std::string& device);

}  // namespace korvane
