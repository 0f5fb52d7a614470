#include "cli/terminal_text.h"

#include <cstdint>
#include <cstdio>

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
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool invalid = overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF);
    const bool c1Control = code >= 0x80 && code <= 0x9F;
    return invalid || c1Control ? 0 : length;
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

}  // namespace korvane
