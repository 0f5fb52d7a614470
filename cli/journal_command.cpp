// korvane-flash journal: the records of the station's journal (or any journal named),
// as CSV for a line's own software or as a table for a person.
#include <QDateTime>
#include <QStringList>
#include <algorithm>
#include <map>
#include <set>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "settings/profile.h"
#include "station/journal_csv.h"
#include "station/journal_reader.h"
#include "station/journal_run.h"
#include "station/station.h"
#include "station/station_identity.h"

namespace korvane {

namespace {

// Fields padded into columns for a person, made safe for a terminal.
void PrintTable(std::vector<QStringList> rows, std::FILE* out) {
    for (QStringList& fields : rows) {
        for (QString& field : fields) {
            field = QString::fromStdString(TerminalSafe(field.toStdString()));
        }
    }
    std::vector<qsizetype> widths(static_cast<size_t>(rows.front().size()), 0);
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            widths[static_cast<size_t>(i)] =
                std::max(widths[static_cast<size_t>(i)], row[i].size());
        }
    }
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += row[i].leftJustified(widths[static_cast<size_t>(i)]) + "  ";
        }
        std::fprintf(out, "%s\n", line.trimmed().toUtf8().constData());
    }
}

// Rows of fields, the first the header, as CSV (RFC 4180) or as a table.
void PrintRows(const std::vector<QStringList>& rows, bool csv, std::FILE* out) {
    if (!csv) {
        PrintTable(rows, out);
        return;
    }
    for (const QStringList& fields : rows) {
        std::fprintf(out, "%s", CsvLine(fields).toUtf8().constData());
    }
}

void PrintRecords(const std::vector<JournalRecord>& records, bool csv, std::FILE* out) {
    std::vector<QStringList> rows = {RecordCsvHeader()};
    for (const JournalRecord& record : records) {
        rows.push_back(RecordCsvFields(record));
    }
    PrintRows(rows, csv, out);
}

// Every number of every lease is accounted for: used by a record, or still reserved to
// its station. A lease belongs to a station's identity; a name that more than one running
// station (or holder of a lease) goes by is said on standard error.
void PrintLeases(const std::vector<Lease>& leases, const std::vector<StationSeen>& live, bool csv,
                 std::FILE* out, std::FILE* err) {
    std::vector<QStringList> rows = {
        {"claimed", "station", "first", "last", "used", "unused", "identity"}};
    std::map<QString, std::set<QString>> identitiesOf;
    for (const Lease& lease : leases) {
        rows.push_back({lease.claimed, lease.station, QString::number(lease.first),
                        QString::number(lease.last), QString::number(lease.used),
                        QString::number(lease.last - lease.first + 1 - lease.used),
                        csv ? lease.instance : ShortInstance(lease.instance)});
        if (!lease.instance.isEmpty()) {
            identitiesOf[lease.station].insert(lease.instance);
        }
    }
    PrintRows(rows, csv, out);
    for (const StationSeen& station : live) {
        identitiesOf[station.name].insert(station.instance);
    }
    for (const auto& [station, identities] : identitiesOf) {
        if (identities.size() > 1) {
            QStringList shown;
            for (const QString& identity : identities) {
                shown << ShortInstance(identity);
            }
            Say(err, QStringLiteral("more than one station runs under the name %1 (identities "
                                    "%2): give each station a name of its own")
                         .arg(station, shown.join(", ")));
        }
    }
}

}  // namespace

int JournalCommand(const JournalOptions& options, std::FILE* out, std::FILE* err) {
    QString problem;
    const QString where =
        JournalAddress(options.journal.value_or(ReadJournalSettings().database), problem);
    if (where.isEmpty()) {
        Say(err, problem);
        return kExitUsage;
    }
    const Journal journal(where);
    JournalQuery query;
    if (options.since) {
        const std::optional<QDateTime> since = JournalTime(*options.since);
        if (!since) {
            Say(err, QStringLiteral("--since takes a date (2026-12-01), a date and time "
                                    "(2026-12-01T08:00), today, or hours or days back (8h, "
                                    "7d), not '%1'")
                         .arg(*options.since));
            return kExitUsage;
        }
        query.since = since->toUTC().toString(Qt::ISODateWithMs);
    }
    query.sequenceNumber = options.sequenceNumber;
    query.serial = options.serial;
    query.duplicates = options.duplicates;
    query.uid = options.uid;
    QString error;
    if (options.leases) {
        std::vector<Lease> leases;
        if (!journal.Leases(leases, error)) {
            Say(err, QString::fromStdString(JournalUnreachable(journal, error)));
            return kExitFailed;
        }
        // Which stations run is a help to the reader, not a condition of the listing.
        std::vector<StationSeen> live;
        QString unknown;
        journal.LiveStations(Station::LiveSince(), live, unknown);
        PrintLeases(leases, live, options.csv, out, err);
        return kExitSucceeded;
    }
    std::vector<JournalRecord> records;
    if (!journal.Records(query, records, error)) {
        Say(err, QString::fromStdString(JournalUnreachable(journal, error)));
        return kExitFailed;
    }
    PrintRecords(records, options.csv, out);
    return kExitSucceeded;
}

}  // namespace korvane
