// The profile file's text as plain lines, apart from any settings library: what the
// counter reads back to be sure a number reached the disk, what it looks at when the
// library finds no "SN" where one stands, whether a name is given twice, and how one
// entry is set while every other entry stays as it was. Reading and writing share one idea
// of what a line is.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace korvane {

// One "key=value" line with the section it stands in.
struct RawEntry {
    QString section;
    QString key;
    QString value;    // surrounding quotes taken off
    QString spelled;  // as the line spells it, quotes and escapes kept: what another file
                      // needs to say the same
};

// Every entry of the text, in order.
std::vector<RawEntry> RawEntries(const QByteArray& text);

// The first entry of key in section (in any section when section is null); null when
// there is none.
const RawEntry* FindEntry(const std::vector<RawEntry>& entries, const QString& section,
                          const QString& key);

// The first value of key in section (in any section when section is null).
std::optional<QString> RawValue(const std::vector<RawEntry>& entries, const QString& section,
                                const QString& key);

// Whether a section's or key's name stands for another when case is not minded: a reader
// that minds it and one that does not would each find something else.
bool SameName(const QString& name, const QString& other);

// Every entry that stands for key of section, in order, names compared by SameName. More
// than one, or one spelled otherwise, leaves each reader to pick its own.
std::vector<RawEntry> EntriesAlike(const std::vector<RawEntry>& entries, const QString& section,
                                   const QString& key);

// The text with key set to value in section: the first entry spelled so replaced, or one
// added at the top of the first section spelled so (the section added at the end when
// there is none). Every other entry that stands for the same key (EntriesAlike) goes:
// the one set is then the only one any reader can find. Every other line stays as it was.
QByteArray WithEntry(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                     const QByteArray& value);

}  // namespace korvane
