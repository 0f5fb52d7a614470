#include "settings/profile_text.h"

#include <QList>

namespace korvane {

namespace {

// What one line of the profile is.
struct Line {
    enum class Kind { kHeader, kEntry, kOther };
    Kind kind = Kind::kOther;
    QByteArray name;  // a header's section, or an entry's key
    QByteArray value;
    QByteArray spelled;  // the value as the line spells it, quotes kept
};

Line Classify(const QByteArray& raw) {
    const QByteArray line = raw.trimmed();
    Line classified;
    if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2) {
        classified.kind = Line::Kind::kHeader;
        classified.name = line.mid(1, line.size() - 2).trimmed();
        return classified;
    }
    const qsizetype equals = line.indexOf('=');
    if (equals < 0) {
        return classified;
    }
    classified.kind = Line::Kind::kEntry;
    // Whatever precedes the key on its line (a run of NUL bytes, say) is not the key.
    QByteArray key = line.left(equals);
    key = key.mid(key.lastIndexOf('\0') + 1).trimmed();
    classified.name = key;
    QByteArray value = line.mid(equals + 1).trimmed();
    classified.spelled = value;
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
        value = value.mid(1, value.size() - 2);
    }
    classified.value = value;
    return classified;
}

}  // namespace

std::vector<RawEntry> RawEntries(const QByteArray& text) {
    std::vector<RawEntry> entries;
    QString section;
    for (const QByteArray& raw : text.split('\n')) {
        const Line line = Classify(raw);
        if (line.kind == Line::Kind::kHeader) {
            section = QString::fromUtf8(line.name);
        } else if (line.kind == Line::Kind::kEntry) {
            entries.push_back({section, QString::fromUtf8(line.name), QString::fromUtf8(line.value),
                               QString::fromUtf8(line.spelled)});
        }
    }
    return entries;
}

const RawEntry* FindEntry(const std::vector<RawEntry>& entries, const QString& section,
                          const QString& key) {
    for (const RawEntry& entry : entries) {
        if (entry.key == key && (section.isNull() || entry.section == section)) {
            return &entry;
        }
    }
    return nullptr;
}

std::optional<QString> RawValue(const std::vector<RawEntry>& entries, const QString& section,
                                const QString& key) {
    const RawEntry* entry = FindEntry(entries, section, key);
    return entry != nullptr ? std::optional<QString>(entry->value) : std::nullopt;
}

bool SameName(const QString& name, const QString& other) {
    return name.compare(other, Qt::CaseInsensitive) == 0;
}

std::vector<RawEntry> EntriesAlike(const std::vector<RawEntry>& entries, const QString& section,
                                   const QString& key) {
    std::vector<RawEntry> alike;
    for (const RawEntry& entry : entries) {
        if (SameName(entry.section, section) && SameName(entry.key, key)) {
            alike.push_back(entry);
        }
    }
    return alike;
}

QByteArray WithEntry(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                     const QByteArray& value) {
    const QByteArray entry = key + '=' + value;
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();  // the split's empty piece after a final line end
    }
    const QString sectionName = QString::fromUtf8(section);
    const QString keyName = QString::fromUtf8(key);
    QList<QByteArray> written;
    qsizetype sectionStart = -1;
    bool inSection = false;
    bool inAlike = false;
    bool set = false;
    for (const QByteArray& raw : lines) {
        const Line line = Classify(raw);
        if (line.kind == Line::Kind::kHeader) {
            inSection = line.name == section;
            inAlike = SameName(QString::fromUtf8(line.name), sectionName);
            if (inSection && sectionStart < 0) {
                sectionStart = written.size();
            }
        } else if (inAlike && line.kind == Line::Kind::kEntry &&
                   SameName(QString::fromUtf8(line.name), keyName)) {
            if (!set && inSection && line.name == key) {
                written << (raw.endsWith('\r') ? entry + '\r' : entry);
                set = true;
            }
            continue;  // another spelling of the same entry, or a second one
        }
        written << raw;
    }
    if (!set) {
        if (sectionStart >= 0) {
            written.insert(sectionStart + 1, entry);
        } else {
            written << '[' + section + ']' << entry;
        }
    }
    return written.join('\n') + '\n';
}

}  // namespace korvane
