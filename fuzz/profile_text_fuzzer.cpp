// The profile's text as plain lines: whatever the file holds, setting one entry gives a
// text in which that entry is the only one to stand for its name, whatever the case (and
// reads back as set, spelled as set), and every other entry reads as it did.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "settings/profile_text.h"

using namespace korvane;

namespace {

// The entries but those that stand for "SN" of section "Setting", in any case: the one set
// (or added), and the others it replaces.
std::vector<RawEntry> OtherThanSn(const std::vector<RawEntry>& entries) {
    std::vector<RawEntry> others;
    for (const RawEntry& entry : entries) {
        if (!SameName(entry.section, QStringLiteral("Setting")) ||
            !SameName(entry.key, QStringLiteral("SN"))) {
            others.push_back(entry);
        }
    }
    return others;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::vector<RawEntry> before = RawEntries(text);
    const QByteArray written = WithEntry(text, "Setting", "SN", "12345");
    const std::vector<RawEntry> after = RawEntries(written);
    const std::vector<RawEntry> sn =
        EntriesAlike(after, QStringLiteral("Setting"), QStringLiteral("SN"));
    FUZZ_CHECK(sn.size() == 1 && sn.front().section == QStringLiteral("Setting") &&
               sn.front().key == QStringLiteral("SN") &&
               sn.front().value == QStringLiteral("12345"));
    // Nothing else changed: the same entries in the same order.
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
