#include "flashing/entry_kind.h"

namespace korvane {

namespace {

struct NameTest {
    const char* text;
    EntryKind kind;
};

// Plain substring tests in this order; the first that matches wins, so "DIAG.BIN" beats a
// later "MCU.BIN" in the same name.
constexpr NameTest kNameTests[] = {
    {"CFG.BIN", kKindConfig},   {"DIAG.BIN", kKindLoader},    {"_DATA.BIN", kKindData},
    {"MCU.BIN", kKindFirmware}, {"_SYSTR.BIN", kKindStrings}, {"_LOGO.BIN", kKindLogo},
};

// Upper case for ASCII letters only, whatever the locale: the test strings are ASCII and
// other bytes must not be changed into something that matches them.
std::string AsciiUpper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace

EntryKind ClassifyName(const std::string& name) {
    const std::string upper = AsciiUpper(name);
    for (const NameTest& test : kNameTests) {
        if (upper.find(test.text) != std::string::npos) {
            return test.kind;
        }
    }
    return kKindOther;
}

bool IsKnownImageName(const std::string& name) {
    return ClassifyName(name) != kKindOther;
}

EntryWriter WriterFor(EntryKind kind) {
    switch (kind) {
        case kKindLoader:
            return EntryWriter::kLoader;
        case kKindFirmware:
            return EntryWriter::kFirmware;
        default:
            return EntryWriter::kData;
    }
}

const char* WriterName(EntryWriter writer) {
    switch (writer) {
        case EntryWriter::kLoader:
            return "loader";
        case EntryWriter::kFirmware:
            return "firmware";
        case EntryWriter::kData:
            return "data";
    }
    return "data";
}

}  // namespace korvane
