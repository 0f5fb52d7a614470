// SerialPort on Windows: the platform's serial-communications calls, synchronous I/O on
// an exclusively opened COM device. Every OS call of the serial port is in this file.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "link/dcb_flags.h"
#include "link/parity_marks.h"
#include "link/serial_port.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

namespace {

constexpr DWORD kQueueBytes = 2048;
constexpr DWORD kReadIntervalMs = 50;
constexpr DWORD kReadPerByteMs = 50;
constexpr DWORD kReadConstantMs = 5;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

HANDLE Win32Handle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The name CreateFileA takes for a device. "COM1:" to "COM9:" are understood as they are;
// higher numbers exist only in the device namespace, as \\.\COM10.
std::string FileNameFor(const std::string& device) {
    const bool comName = device.size() > 3 && device.compare(0, 3, "COM") == 0;
    if (!comName) {
        return device;
    }
    char* end = nullptr;
    const long number = std::strtol(device.c_str() + 3, &end, 10);
    const bool wellFormed =
        end != device.c_str() + 3 && (*end == '\0' || std::strcmp(end, ":") == 0);
    if (!wellFormed || number <= 9) {
        return device;
    }
    return "\\\\.\\COM" + std::to_string(number);
}

void ApplyTimeouts(HANDLE port) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    // No write time-out: a write blocks until every byte has been handed over.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(port, &timeouts);
}

// 8 data bits, even parity, 1 stop bit, the caller's baud rate; the flag word as
// DcbFlagWord leaves it. Every other field keeps what the driver reported.
void ApplyLineSettings(HANDLE port, uint32_t baudRate) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.ErrorChar = static_cast<char>(kParityErrorChar);
    SetDcbFlags(dcb, DcbFlagWord(DcbFlags(dcb)));
    SetCommState(port, &dcb);
}

// The system's own text for an error code, without its line end.
std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                        : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

OpenFailure FailureFor(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return OpenFailure::kNoSuchDevice;
        // A COM port that another program has open is refused as "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OpenFailure::kHeld;
        default:
            return OpenFailure::kOther;
    }
}

// What the port's driver answers once its adapter was pulled out: nothing more will come,
// and saying so now spares the operator a read window per step of the run.
bool DeviceRemoved(DWORD error) {
    return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_DEV_NOT_EXIST || error == ERROR_OPERATION_ABORTED;
}

}  // namespace

std::string PortHolderNow(const std::string&) {
    return {};
}

bool SerialPort::OpenDevice(const std::string& device, uint32_t rate) {
    Close();
    lineGone = false;
    openFailure = OpenFailure::kNone;
    openError.clear();
    // Exclusive use (no sharing), an existing device only, synchronous I/O.
    const HANDLE port = CreateFileA(FileNameFor(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return OpenFailed(FailureFor(error), ErrorText(error));
    }
    handle = reinterpret_cast<PortHandle>(port);
    baudRate = rate;
    // Once the device is open the port is usable; settings it refuses are not failures.
    SetupComm(port, kQueueBytes, kQueueBytes);
    ApplyTimeouts(port);
    ApplyLineSettings(port, rate);
    PurgeComm(port, kPurgeAll);
    return true;
}

void SerialPort::Close() {
    if (!IsOpen()) {
        return;
    }
    const HANDLE port = Win32Handle(handle);
    PurgeComm(port, kPurgeAll);
    CloseHandle(port);
    handle = kInvalidPortHandle;
}

void SerialPort::PurgeReceive() {
    if (IsOpen()) {
        PurgeComm(Win32Handle(handle), PURGE_RXCLEAR);
    }
}

bool SerialPort::EscapeToDevice(uint8_t code) {
    return EscapeCommFunction(Win32Handle(handle), code) != FALSE;
}

int32_t SerialPort::WriteToDevice(const uint8_t* data, int32_t length) {
    DWORD written = 0;
    WriteFile(Win32Handle(handle), data, static_cast<DWORD>(length), &written, nullptr);
    return static_cast<int32_t>(written);
}

int32_t SerialPort::Read(uint8_t* buffer, int32_t length) {
    // Nothing asked for is nothing to wait for: without this, the loop below would poll
    // out the whole window for it.
    if (!IsOpen() || length < 1) {
        return 0;
    }
    const HANDLE port = Win32Handle(handle);
    const uint32_t start = TickCount();
    int32_t received = 0;
    // The window is checked between platform reads only: a read under way ends under the
    // port's own timeouts.
    while (TicksSince(start, TickCount()) <= readWindowMs && !InterruptRequested()) {
        DWORD errors = 0;
        COMSTAT status{};
        // Also clears an error condition (a parity error, say) so that reading goes on.
        if (!ClearCommError(port, &errors, &status) && DeviceRemoved(GetLastError())) {
            lineGone = true;
            break;
        }
        if (status.cbInQue == 0) {
            // Give the processor to whoever is ready, and poll again at once: a byte must
            // be taken as soon as the driver holds it, so there is no timed sleep here.
            Sleep(0);
            continue;
        }
        DWORD got = 0;
        ReadFile(port, buffer + received, static_cast<DWORD>(length - received), &got, nullptr);
        received += static_cast<int32_t>(got);
        if (received == length) {
            break;
        }
    }
    return received;
}

}  // namespace korvane
