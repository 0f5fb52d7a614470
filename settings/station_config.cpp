#include "settings/station_config.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>
#include <map>

#include "settings/os_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"

namespace korvane {

namespace {

// Where a value came from, as a refusal names it: the option and its value, or the
// profile's key and value and the profile's file.
QString Source(const char* option, bool given, const QString& section, const QString& key,
               const QString& value) {
    return given ? QStringLiteral("%1 %2").arg(QLatin1String(option), value)
                 : QStringLiteral("[%1] %2=%3 in %4").arg(section, key, value, ProfileLocation());
}

// One word of a fixed set, in any case; nothing (error set) for another.
template <typename Value>
std::optional<Value> OneOf(const QString& text, const std::map<QString, Value>& words,
                           const QString& source, const QString& accepted, QString& error) {
    const auto found = words.find(text.toLower());
    if (found == words.end()) {
        error = QStringLiteral("%1: give %2.").arg(source, accepted);
        return std::nullopt;
    }
    return found->second;
}

// A whole number from low to high; nothing (error set) for anything else.
std::optional<int> NumberIn(const QString& text, int low, int high, const QString& source,
                            const QString& what, QString& error) {
    bool number = false;
    const int value = text.toInt(&number);
    if (!number || value < low || value > high) {
        error = QStringLiteral("%1: give %2 from %3 to %4.").arg(source, what).arg(low).arg(high);
        return std::nullopt;
    }
    return value;
}

// Where numbers come from and how many a station claims at once. False (error set) for a
// value that is not understood.
bool ReadNumbering(const StationOptions& options, const JournalSettings& journal,
                   StationConfig& config, QString& error) {
    const QString counter = options.counter.value_or(journal.counter);
    if (!counter.isEmpty()) {
        const auto fromJournal = OneOf<bool>(
            counter, {{"profile", false}, {"journal", true}},
            Source("--counter", options.counter.has_value(), "Journal", "Counter", counter),
            QStringLiteral("\"profile\" or \"journal\""), error);
        if (!fromJournal) {
            return false;
        }
        config.numbersFromJournal = *fromJournal;
    }
    const QString lease = options.lease ? QString::number(*options.lease) : journal.lease;
    if (!lease.isEmpty()) {
        const auto claimed =
            NumberIn(lease, 0, StationConfig::kMaxLease,
                     Source("--lease", options.lease.has_value(), "Journal", "Lease", lease),
                     QStringLiteral("a number of sequence numbers"), error);
        if (!claimed) {
            return false;
        }
        config.lease = *claimed;
    }
    if (config.lease > 0 && !config.numbersFromJournal) {
        error = QStringLiteral(
                    "A lease of %1 numbers is for a station whose numbers come from the "
                    "journal (Counter=journal); this one's come from its profile.")
                    .arg(config.lease);
        return false;
    }
    return true;
}

// What a run does with a chip flashed before, and whether it reads its loader back.
bool ReadRunRules(const StationOptions& options, const StationSettings& station,
                  StationConfig& config, QString& error) {
    const QString rework = options.rework.value_or(station.rework);
    if (!rework.isEmpty()) {
        const auto rule = OneOf<Rework>(
            rework, {{"new", Rework::kNew}, {"keep", Rework::kKeep}, {"refuse", Rework::kRefuse}},
            Source("--rework", options.rework.has_value(), "Station", "Rework", rework),
            QStringLiteral("\"new\", \"keep\" or \"refuse\""), error);
        if (!rule) {
            return false;
        }
        config.rework = *rule;
    }
    if (options.verify) {
        config.verifyLoader = *options.verify;
    } else if (!station.verify.isEmpty()) {
        const auto verify =
            OneOf<bool>(station.verify, {{"loader", true}},
                        Source("--verify", false, "Station", "Verify", station.verify),
                        QStringLiteral("\"loader\", the one image read back"), error);
        if (!verify) {
            return false;
        }
        config.verifyLoader = *verify;
    }
    return true;
}

// The station's fixtures: their ports, how often an empty one is probed, their wiring.
bool ReadFixtures(const StationOptions& options, const StationSettings& station,
                  StationConfig& config, QString& error) {
    if (!station.probeMs.isEmpty()) {
        const auto probeMs = NumberIn(station.probeMs, 100, 60000,
                                      Source("", false, "Station", "ProbeMs", station.probeMs),
                                      QStringLiteral("a number of milliseconds"), error);
        if (!probeMs) {
            return false;
        }
        config.probeMs = static_cast<uint32_t>(*probeMs);
    }
    if (!station.ports.isEmpty()) {
        QString bad;
        // A list may be written with commas or blanks between its ports and ranges.
        const QStringList listed =
            station.ports.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
        if (!ExpandPortRanges(listed, config.ports, bad)) {
            error = QStringLiteral("%1: %2.").arg(
                Source("", false, "Station", "Ports", station.ports), bad);
            return false;
        }
    }
    const std::optional<FixtureWiring> wiring = ReadFixtureWiring(options.wiring, error);
    if (!wiring) {
        return false;
    }
    config.wiring = *wiring;
    return true;
}

// When the line's shifts start, for the figures of the shift under way.
bool ReadShifts(const StationSettings& station, StationConfig& config, QString& error) {
    if (station.shiftStart.isEmpty()) {
        return true;
    }
    const auto starts = ParseShiftStarts(
        station.shiftStart, Source("", false, "Station", "ShiftStart", station.shiftStart), error);
    if (!starts) {
        return false;
    }
    config.shiftStarts = *starts;
    return true;
}

}  // namespace

std::optional<QList<QTime>> ParseShiftStarts(const QString& text, const QString& source,
                                             QString& error) {
    static const QRegularExpression hhmm(QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]$"));
    QList<QTime> starts;
    for (const QString& given :
         text.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        const QTime start = QTime::fromString(given, QStringLiteral("HH:mm"));
        if (!hhmm.match(given).hasMatch() || starts.contains(start)) {
            error = QStringLiteral(
                        "%1: give the times shifts start at as HH:MM, each once "
                        "(06:00,14:00,22:00), not '%2'.")
                        .arg(source, given);
            return std::nullopt;
        }
        starts << start;
    }
    if (starts.isEmpty()) {
        error = QStringLiteral("%1: give the times shifts start at as HH:MM (06:00,14:00,22:00).")
                    .arg(source);
        return std::nullopt;
    }
    std::sort(starts.begin(), starts.end());
    return starts;
}

QDateTime ShiftStartAt(const QList<QTime>& starts, const QDateTime& localTime) {
    const QDate today = localTime.date();
    for (auto start = starts.crbegin(); start != starts.crend(); ++start) {
        const QDateTime candidate(today, *start, localTime.timeSpec());
        if (candidate <= localTime) {
            return candidate;
        }
    }
    return QDateTime(today.addDays(-1), starts.back(), localTime.timeSpec());
}

std::optional<StationConfig> ReadStationConfig(const StationOptions& options, QString& error) {
    const JournalSettings journal = ReadJournalSettings();
    const StationSettings station = ReadStationSettings();
    // A profile that says a thing twice is refused whole: which value would win is not
    // what the operator wrote.
    if (!journal.problem.isEmpty()) {
        error = journal.problem;
        return std::nullopt;
    }
    StationConfig config;
    config.journal = options.journal.value_or(journal.database);
    config.name = options.station.value_or(journal.station);
    if (config.name.isEmpty()) {
        config.name = QSysInfo::machineHostName();
    }
    if (!ReadNumbering(options, journal, config, error) ||
        !ReadRunRules(options, station, config, error) ||
        !ReadFixtures(options, station, config, error) || !ReadShifts(station, config, error)) {
        return std::nullopt;
    }
    config.trustedKeys = OsBytes(options.trustedKeys.value_or(station.trustedKeys));
    return config;
}

}  // namespace korvane
