#include "platform/unique_id.h"

namespace korvane {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string UniqueIdText(const UniqueId& id) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * id.size());
    for (const uint8_t byte : id) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<UniqueId> ParseUniqueId(const std::string& text) {
    UniqueId id{};
    if (text.size() != 2 * id.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < id.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        id[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return id;
}

bool IsChipIdentity(const UniqueId& id) {
    const auto all = [&id](uint8_t value) {
        for (const uint8_t byte : id) {
            if (byte != value) {
                return false;
            }
        }
        return true;
    };
    return !all(0x00) && !all(0xFF);
}

bool IsChipIdentity(const std::string& text) {
    const std::optional<UniqueId> id = ParseUniqueId(text);
    return id && IsChipIdentity(*id);
}

}  // namespace korvane
