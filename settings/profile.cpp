#include "settings/profile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <vector>

#include "flashing/serial_record.h"

namespace korvane {

namespace {
constexpr char kFileKey[] = "Setting/File";
constexpr char kPortKey[] = "Setting/Port";
constexpr char kSequenceNumberKey[] = "Setting/SN";

// Outside Windows the profile is an INI file, whose bytes can be looked at directly; on
// Windows it is the registry.
bool ProfileIsFile(const QSettings& profile) {
#ifdef Q_OS_WIN
    return profile.format() != QSettings::NativeFormat;
#else
    Q_UNUSED(profile);
    return true;
#endif
}

// One "key=value" line of the profile file as it stands on disk, with its section.
struct RawEntry {
    QString section;
    QString key;
    QString value;
};

// Every entry of the file, read as plain lines: what is there whatever a parser makes of
// it (bytes before a section header can hide the whole section from the parser).
std::optional<std::vector<RawEntry>> RawEntries(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    std::vector<RawEntry> entries;
    QString section;
    for (const QByteArray& bytes : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            continue;
        }
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"'))) {
            value = value.mid(1, value.size() - 2);
        }
        // Whatever precedes the key on its line (a run of NUL bytes, say) is not the key.
        QString key = line.left(equals).trimmed();
        key = key.mid(key.lastIndexOf(QChar(0)) + 1);
        entries.push_back({section, key, value});
    }
    return entries;
}

std::optional<QString> RawValue(const std::vector<RawEntry>& entries, const QString& section,
                                const QString& key) {
    for (const RawEntry& entry : entries) {
        if (entry.key == key && (section.isNull() || entry.section == section)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

StoredSequenceNumber Parse(const QString& text) {
    StoredSequenceNumber stored;
    stored.text = text;
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const QString trimmed = text.trimmed();
    if (digits.match(trimmed).hasMatch() && IsValidSequenceNumber(trimmed.toInt())) {
        stored.state = StoredSequenceNumber::State::kValid;
        stored.value = trimmed.toInt();
    } else {
        stored.state = StoredSequenceNumber::State::kDamaged;
    }
    return stored;
}

StoredSequenceNumber ReadSequenceNumber(QSettings& profile) {
    StoredSequenceNumber stored;
    std::optional<std::vector<RawEntry>> raw;
    if (ProfileIsFile(profile)) {
        const QFileInfo info(profile.fileName());
        if (info.exists()) {
            raw = info.isFile() ? RawEntries(profile.fileName()) : std::nullopt;
            if (!raw) {
                stored.state = StoredSequenceNumber::State::kUnreadable;
                stored.text.clear();
                return stored;
            }
        }
    }
    if (profile.contains(kSequenceNumberKey)) {
        return Parse(profile.value(kSequenceNumberKey).toString());
    }
    // An "SN" the parser did not find in its section is not a first use.
    if (raw) {
        if (const auto hidden = RawValue(*raw, QString(), kSequenceNumberName)) {
            stored.state = StoredSequenceNumber::State::kDamaged;
            stored.text = *hidden;
            return stored;
        }
    }
    stored.text = QString::number(stored.value);
    return stored;
}

}  // namespace

std::unique_ptr<QSettings> OpenProfile() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kProfileKey,
                                       kProfileApplication);
}

QString ProfileLocation() {
    return OpenProfile()->fileName();
}

ProfileValues ReadProfile() {
    const auto profile = OpenProfile();
    profile->sync();
    ProfileValues values;
    values.file = profile->value(kFileKey, QString()).toString();
    bool ok = false;
    const int port = profile->value(kPortKey, 0).toInt(&ok);
    values.portIndex = ok ? port : 0;
    values.sequenceNumber = ReadSequenceNumber(*profile);
    return values;
}

StoredSequenceNumber ReadSequenceNumber() {
    const auto profile = OpenProfile();
    profile->sync();
    return ReadSequenceNumber(*profile);
}

QString DescribeSequenceNumber(const StoredSequenceNumber& stored) {
    switch (stored.state) {
        case StoredSequenceNumber::State::kUnreadable:
            return QStringLiteral(
                       "The profile %1 cannot be read; no sequence number can be taken "
                       "from it.")
                .arg(ProfileLocation());
        case StoredSequenceNumber::State::kDamaged:
            return QStringLiteral(
                       "The sequence number in %1 is damaged: key \"%2\" of section "
                       "\"%3\" holds \"%4\", not a number from %5 to %6.")
                .arg(ProfileLocation(), kSequenceNumberName, kProfileSection, stored.text)
                .arg(kMinSequenceNumber)
                .arg(kMaxSequenceNumber);
        case StoredSequenceNumber::State::kMissing:
        case StoredSequenceNumber::State::kValid:
            break;
    }
    return QStringLiteral("The next sequence number is %1.").arg(stored.value);
}

void WriteProfile(const QString& file, std::optional<int> sequenceNumber, int portIndex) {
    const auto profile = OpenProfile();
    profile->setValue(kFileKey, file);
    if (sequenceNumber) {
        profile->setValue(kSequenceNumberKey, *sequenceNumber);
    }
    profile->setValue(kPortKey, portIndex);
    profile->sync();
}

bool SaveSequenceNumber(int sequenceNumber, QString& problem) {
    const auto profile = OpenProfile();
    profile->setValue(kSequenceNumberKey, sequenceNumber);
    profile->sync();
    // Only a failed write counts here: a parser's complaint about what it read (a
    // byte-order mark, say) says nothing about whether the number was saved.
    bool saved = profile->status() != QSettings::AccessError;
    if (saved && ProfileIsFile(*profile)) {
        // Read back from the disk, not from what this process believes it wrote.
        const auto raw = RawEntries(profile->fileName());
        saved = raw && RawValue(*raw, kProfileSection, kSequenceNumberName) ==
                           QString::number(sequenceNumber);
    } else if (saved) {
        saved =
            OpenProfile()->value(kSequenceNumberKey).toString() == QString::number(sequenceNumber);
    }
    if (!saved) {
        problem = QStringLiteral("The next sequence number %1 could not be saved to %2.")
                      .arg(sequenceNumber)
                      .arg(profile->fileName());
    }
    return saved;
}

}  // namespace korvane
