#include "settings/profile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <utility>
#include <vector>

#include "flashing/serial_record.h"
#include "settings/profile_file.h"
#include "settings/profile_text.h"

namespace korvane {

bool ProfileIsFile(const QSettings& profile) {
#ifdef Q_OS_WIN
    return profile.format() != QSettings::NativeFormat;
#else
    Q_UNUSED(profile);
    return true;
#endif
}

std::optional<std::vector<RawEntry>> RawEntriesOfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return RawEntries(file.readAll());
}

namespace {
constexpr char kJournalSection[] = "Journal";

// A section and key as the program spells them.
struct Name {
    QString section;
    QString key;

    bool operator==(const Name& other) const {
        return section == other.section && key == other.key;
    }
    bool operator!=(const Name& other) const { return !(*this == other); }
};

// The name of the program's own that an entry stands for, whatever the case of its
// spelling; none for a name the program does not read.
std::optional<Name> OwnNameOf(const RawEntry& entry) {
    static const std::vector<std::pair<const char*, std::vector<const char*>>> names = {
        {kProfileSection, {"File", "Port", kSequenceNumberName}},
        {kJournalSection, {"Database", "Station", "Counter", "Lease"}},
        {kStationSection, {"Rework", "Verify", "ProbeMs", "Ports", "ShiftStart"}},
        {kPackagesSection, {"TrustedKeys"}},
    };
    for (const auto& [section, keys] : names) {
        if (!SameName(entry.section, section)) {
            continue;
        }
        for (const char* key : keys) {
            if (SameName(entry.key, key)) {
                return Name{section, key};
            }
        }
    }
    static const QRegularExpression port(QStringLiteral("^COM([0-9]+)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = port.match(entry.key);
        SameName(entry.section, kPortsSection) && match.hasMatch()) {
        return Name{kPortsSection, QStringLiteral("COM") + match.captured(1)};
    }
    return std::nullopt;
}

// A name of the program's own that the profile gives twice or spells in another case:
// the settings library takes one entry (or none, where the case differs), the profile's
// writer sets another.
struct Ambiguity {
    Name name;
    std::vector<RawEntry> entries;  // every one that stands for the name, in order
};

std::vector<Ambiguity> AmbiguitiesOf(const std::vector<RawEntry>& raw) {
    std::vector<Ambiguity> found;
    std::vector<Name> seen;
    for (const RawEntry& entry : raw) {
        const std::optional<Name> name = OwnNameOf(entry);
        if (!name || std::find(seen.begin(), seen.end(), *name) != seen.end()) {
            continue;
        }
        seen.push_back(*name);
        std::vector<RawEntry> alike = EntriesAlike(raw, name->section, name->key);
        if (alike.size() > 1 || Name{alike.front().section, alike.front().key} != *name) {
            found.push_back({*name, std::move(alike)});
        }
    }
    return found;
}

const Name kSequenceNumber{kProfileSection, kSequenceNumberName};

// The ambiguity in words: 'key "SN" of section "Setting" is given twice, "10" and "20"'.
QString Described(const Ambiguity& ambiguity) {
    const Name& name = ambiguity.name;
    const auto spelling = [](const RawEntry& entry) {
        return QStringLiteral("\"%1\" of section \"%2\"").arg(entry.key, entry.section);
    };
    if (ambiguity.entries.size() == 1) {
        const RawEntry& entry = ambiguity.entries.front();
        return QStringLiteral(
                   "key \"%1\" of section \"%2\" is spelled in another case, %3, holding "
                   "\"%4\"")
            .arg(name.key, name.section, spelling(entry), entry.value);
    }
    QStringList values;
    for (const RawEntry& entry : ambiguity.entries) {
        const bool own = Name{entry.section, entry.key} == name;
        values << QStringLiteral("\"%1\"").arg(entry.value) +
                      (own ? QString() : QStringLiteral(" (as %1)").arg(spelling(entry)));
    }
    const QString last = values.takeLast();
    const qsizetype count = ambiguity.entries.size();
    return QStringLiteral("key \"%1\" of section \"%2\" is given %3, %4 and %5")
        .arg(name.key, name.section,
             count == 2 ? QStringLiteral("twice") : QStringLiteral("%1 times").arg(count),
             values.join(QStringLiteral(", ")), last);
}

// The entries as their lines give them, for the operator to see where one value would
// mislead: "SN=10, SN=20".
QString Found(const Ambiguity& ambiguity) {
    QStringList lines;
    for (const RawEntry& entry : ambiguity.entries) {
        lines << entry.key + QLatin1Char('=') + entry.value;
    }
    return lines.join(QStringLiteral(", "));
}

StoredSequenceNumber Parse(const QString& text) {
    StoredSequenceNumber stored;
    stored.text = text;
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const QString trimmed = text.trimmed();
    if (digits.match(trimmed).hasMatch() && IsValidSequenceNumber(trimmed.toInt())) {
        stored.state = StoredSequenceNumber::State::kValid;
        stored.value = trimmed.toInt();
    } else if (trimmed == QString::number(kMaxSequenceNumber + 1)) {
        // What the counter writes once it has given the last number, and nothing else.
        stored.state = StoredSequenceNumber::State::kUsedUp;
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
            raw = info.isFile() ? RawEntriesOfFile(profile.fileName()) : std::nullopt;
            if (!raw) {
                stored.state = StoredSequenceNumber::State::kUnreadable;
                stored.text.clear();
                return stored;
            }
        }
    }
    // Two entries for "SN" (or one in another case): the reader would take one, the
    // counter advance another, and every run would give the same number.
    if (raw) {
        for (const Ambiguity& ambiguity : AmbiguitiesOf(*raw)) {
            if (ambiguity.name == kSequenceNumber) {
                stored.state = StoredSequenceNumber::State::kDamaged;
                stored.text = Found(ambiguity);
                stored.ambiguity = Described(ambiguity);
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

// Why no run may start on this profile: the first name of the program's own, but "SN",
// that it gives twice or spells in another case. Empty when there is none.
QString DamageOf(QSettings& profile) {
    if (!ProfileIsFile(profile)) {
        return {};  // registry names ignore case and cannot repeat
    }
    if (const auto raw = RawEntriesOfFile(profile.fileName())) {
        for (const Ambiguity& ambiguity : AmbiguitiesOf(*raw)) {
            if (ambiguity.name != kSequenceNumber) {
                return QStringLiteral("The profile %1 is damaged: %2.")
                    .arg(profile.fileName(), Described(ambiguity));
            }
        }
    }
    return {};
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

JournalSettings ReadJournalSettings() {
    const auto profile = OpenProfile();
    profile->sync();
    return {profile->value("Journal/Database").toString().trimmed(),
            profile->value("Journal/Station").toString().trimmed(),
            profile->value("Journal/Counter").toString().trimmed(),
            profile->value("Journal/Lease").toString().trimmed(), DamageOf(*profile)};
}

StationSettings ReadStationSettings() {
    const auto profile = OpenProfile();
    profile->sync();
    // A list the INI reader made of a value with commas is the text it was.
    const auto value = [&profile](const char* section, const char* key) {
        const QVariant read = profile->value(QStringLiteral("%1/%2").arg(section, key));
        return (read.typeId() == QMetaType::QStringList ? read.toStringList().join(',')
                                                        : read.toString())
            .trimmed();
    };
    return {value(kStationSection, "Rework"),
            value(kStationSection, "Verify"),
            value(kStationSection, "ProbeMs"),
            value(kStationSection, "Ports"),
            value(kPackagesSection, "TrustedKeys"),
            value(kStationSection, "ShiftStart"),
            DamageOf(*profile)};
}

std::optional<FixtureWiring> ReadFixtureWiring(const std::optional<QString>& given,
                                               QString& problem) {
    QString text;
    QString where;
    if (given) {
        text = *given;
        where = QStringLiteral("--fixture %1").arg(text);
    } else {
        const auto profile = OpenProfile();
        profile->sync();
        // Unquoted, the INI reader makes a list of the comma-separated keys.
        const QVariant read = profile->value(QStringLiteral("%1/Wiring").arg(kFixtureSection));
        text = read.typeId() == QMetaType::QStringList ? read.toStringList().join(',')
                                                       : read.toString();
        where =
            QStringLiteral("[%1] Wiring=%2 in %3").arg(kFixtureSection, text, ProfileLocation());
    }
    std::string error;
    const std::optional<FixtureWiring> wiring = ParseFixtureWiring(text.toStdString(), &error);
    if (!wiring) {
        problem = QStringLiteral("%1: %2").arg(where, QString::fromStdString(error));
    }
    return wiring;
}

std::map<int, QString> ReadPortDevices() {
    const auto profile = OpenProfile();
    profile->sync();
    static const QRegularExpression key(QStringLiteral("^COM([0-9]{1,3})$"));
    std::map<int, QString> devices;
    profile->beginGroup(kPortsSection);
    for (const QString& name : profile->childKeys()) {
        if (const auto match = key.match(name); match.hasMatch()) {
            // A name with a comma that nobody quoted reads as a list of its pieces.
            const QVariant value = profile->value(name);
            devices[match.captured(1).toInt()] = value.typeId() == QMetaType::QStringList
                                                     ? value.toStringList().join(',')
                                                     : value.toString();
        }
    }
    profile->endGroup();
    return devices;
}

StoredSequenceNumber ReadSequenceNumber() {
    const auto profile = OpenProfile();
    profile->sync();
    return ReadSequenceNumber(*profile);
}

QString UsedUpText(NumberEntry entry) {
    const QString given =
        QStringLiteral("the last number, %1, has been given; ").arg(kMaxSequenceNumber);
    switch (entry) {
        case NumberEntry::kWindow:
            return given + QStringLiteral("give a new range by typing its first number into S/N");
        case NumberEntry::kOption:
            break;
    }
    return given + QStringLiteral("give a new range with --sn");
}

QString DescribeSequenceNumber(const StoredSequenceNumber& stored, NumberEntry entry) {
    switch (stored.state) {
        case StoredSequenceNumber::State::kUnreadable:
            return QStringLiteral(
                       "The profile %1 cannot be read; no sequence number can be taken "
                       "from it.")
                .arg(ProfileLocation());
        case StoredSequenceNumber::State::kUsedUp:
            return QStringLiteral("The sequence numbers of %1 are used up: %2.")
                .arg(ProfileLocation(), UsedUpText(entry));
        case StoredSequenceNumber::State::kDamaged:
            if (!stored.ambiguity.isEmpty()) {
                return QStringLiteral("The sequence number in %1 is damaged: %2.")
                    .arg(ProfileLocation(), stored.ambiguity);
            }
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

}  // namespace korvane
