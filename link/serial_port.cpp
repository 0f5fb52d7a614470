// The platform-independent half of SerialPort; the OS calls live in one backend file.
#include "link/serial_port.h"

#include <cstdint>
#include <utility>

#include "platform/debug_output.h"
#include "platform/interrupt.h"

namespace korvane {

namespace {
// The trace text is built on the stack: 2048 characters hold the text of 682 bytes.
constexpr int kTraceBufferChars = 2048;
constexpr int kTraceBytesPerPiece = (kTraceBufferChars - 1) / 3;
}  // namespace

SerialPort::~SerialPort() {
    Close();
}

std::string PlatformPortName(uint8_t portNumber) {
#ifdef _WIN32
    return "COM" + std::to_string(portNumber) + ":";
#else
    return "/dev/ttyS" + std::to_string(portNumber - 1);
#endif
}

bool SerialPort::Open(uint8_t portNumber, uint32_t baudRate) {
    return OpenDevice(PlatformPortName(portNumber), baudRate);
}

bool SerialPort::OpenFailed(OpenFailure failure, std::string error) {
    openFailure = failure;
    openError = std::move(error);
    return false;
}

uint32_t SerialPort::LineTimeMs(uint64_t count) const {
    if (baudRate == 0) {
        return 0;
    }
    const uint64_t bitMs = count * kBitsPerByte * 1000;
    const uint64_t ms = (bitMs + baudRate - 1) / baudRate;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

uint64_t SerialPort::LineBytesIn(uint32_t milliseconds) const {
    return static_cast<uint64_t>(baudRate) * milliseconds / (1000 * kBitsPerByte);
}

int32_t SerialPort::Write(const uint8_t* data, int32_t length) {
    // Nothing more goes to a device once the run is being abandoned.
    if (!IsOpen() || length < 1 || InterruptRequested()) {
        return 0;
    }
    const int32_t written = WriteToDevice(data, length);
    // The trace shows what was asked for; a short write shows as a missing answer.
    TraceHex(data, length);
    return written;
}

bool SerialPort::EscapeFunction(uint8_t code) {
    if (modemLineWatcher) {
        modemLineWatcher(code);
    }
    return EscapeToDevice(code);
}

void TraceHex(const uint8_t* data, int32_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    char text[kTraceBufferChars];
    int32_t done = 0;
    while (done < length) {
        int piece = length - done < kTraceBytesPerPiece ? length - done : kTraceBytesPerPiece;
        char* out = text;
        for (int i = 0; i < piece; ++i) {
            const uint8_t byte = data[done + i];
            *out++ = kDigits[byte >> 4];
            *out++ = kDigits[byte & 0x0F];
            *out++ = ' ';
        }
        *out = '\0';
        DebugOutput(text);
        done += piece;
    }
}

void TraceLineEnd() {
    DebugOutput("\n");
}

}  // namespace korvane
