// The profile's text as plain lines: whatever the file holds, setting one entry gives a
// text in which that entry reads back as set (and spelled as set), and every other entry
// reads as it did.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "settings/profile_text.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::vector<RawEntry> before = RawEntries(text);
    const QByteArray written = WithEntry(text, "Setting", "SN", "12345");
    const std::vector<RawEntry> after = RawEntries(written);
    FUZZ_CHECK(RawValue(after, QStringLiteral("Setting"), QStringLiteral("SN")) ==
               QStringLiteral("12345"));
    // Nothing else changed: the same entries in the same order, but the one set (or
    // added) in the first section of that name.
    std::vector<RawEntry> others;
    bool skipped = false;
    for (const RawEntry& entry : after) {
        if (!skipped && entry.section == "Setting" && entry.key == "SN") {
            skipped = true;
            continue;
        }
        others.push_back(entry);
    }
    std::vector<RawEntry> expected;
    bool replaced = false;
    for (const RawEntry& entry : before) {
        if (!replaced && entry.section == "Setting" && entry.key == "SN") {
            replaced = true;
            continue;
        }
        expected.push_back(entry);
    }
    FUZZ_CHECK(others.size() == expected.size());
    for (size_t i = 0; i < others.size(); ++i) {
        FUZZ_CHECK(others[i].section == expected[i].section && others[i].key == expected[i].key &&
                   others[i].value == expected[i].value);
    }
    // A value set as another file spells it, quotes and all, is found again as spelled.
    const QByteArray spelled = "\"/data/line 3, bay 2/pkg.bin\"";
    FUZZ_CHECK(SpelledValue(WithEntry(text, "Setting", "File", spelled), "Setting", "File") ==
               spelled);
    return 0;
}
