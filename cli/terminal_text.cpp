#include "cli/terminal_text.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cstdint>

#include "settings/os_text.h"

namespace korvane {

namespace {

void AppendEscaped(std::string& out, uint8_t byte) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
}

// The length of the valid UTF-8 sequence for a printable character at text[at]; 0 when
// there is none (a stray or overlong byte, a surrogate, a C1 control).
size_t PrintableSequence(const std::string& text, size_t at) {
    const size_t length = Utf8SequenceLength(text, at);
    // C1 controls, U+0080 … U+009F, are C2 80 … C2 9F.
    const bool c1Control = length == 2 && static_cast<uint8_t>(text[at]) == 0xC2 &&
                           static_cast<uint8_t>(text[at + 1]) < 0xA0;
    return c1Control ? 0 : length;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<uint8_t>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += text[at++];
            continue;
        }
        const size_t length = byte >= 0x80 ? PrintableSequence(text, at) : 0;
        if (length == 0) {
            AppendEscaped(out, byte);
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

int TerminalColumns(std::FILE* out) {
#ifndef _WIN32
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0) {
        return size.ws_col;
    }
#else
    (void)out;
#endif
    return 0;
}

}  // namespace korvane
