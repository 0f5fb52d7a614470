// The profile's text as plain lines: whatever the file holds, setting one entry gives a
// text in which that entry reads back as set (and spelled as set), and every other entry
// reads as it did.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "settings/profile_text.h"

using namespace korvane;

namespace {

// The entries but the first "SN" of a section "Setting": the one set (or added).
std::vector<RawEntry> OtherThanSn(const std::vector<RawEntry>& entries) {
    std::vector<RawEntry> others;
    bool skipped = false;
    for (const RawEntry& entry : entries) {
        if (!skipped && entry.section == "Setting" && entry.key == "SN") {
            skipped = true;
            continue;
        }
        others.push_back(entry);
    }
    return others;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::vector<RawEntry> before = RawEntries(text);
    const QByteArray written = WithEntry(text, "Setting", "SN", "12345");
    const std::vector<RawEntry> after = RawEntries(written);
    FUZZ_CHECK(RawValue(after, QStringLiteral("Setting"), QStringLiteral("SN")) ==
               QStringLiteral("12345"));
    // Nothing else changed: the same entries in the same order, but the one set (or
    // added) in the first section of that name.
    const std::vector<RawEntry> others = OtherThanSn(after);
    const std::vector<RawEntry> expected = OtherThanSn(before);
    FUZZ_CHECK(others.size() == expected.size());
    for (size_t i = 0; i < others.size(); ++i) {
        FUZZ_CHECK(others[i].section == expected[i].section && others[i].key == expected[i].key &&
                   others[i].value == expected[i].value);
    }
    // A value set as another file spells it, quotes and all, is found again as spelled.
    const QString spelled = QStringLiteral("\"/data/line 3, bay 2/pkg.bin\"");
    const std::vector<RawEntry> quoted =
        RawEntries(WithEntry(text, "Setting", "File", spelled.toUtf8()));
    const RawEntry* file = FindEntry(quoted, QStringLiteral("Setting"), QStringLiteral("File"));
    FUZZ_CHECK(file != nullptr && file->spelled == spelled);
    return 0;
}
