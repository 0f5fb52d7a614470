// The journal as a line's supervisor reads it: the figures of a period, pages of records,
// a chip's history, what fails most, the packages on the line and every fixture's live
// state. It only reads: an SQLite file is opened read-only, a server's session refuses
// writes, and a schema older than this program's is refused, never migrated.
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "station/journal.h"
#include "station/journal_live.h"
#include "station/journal_summary.h"

namespace korvane {

// Which records a page holds: those of a period, a station, a result or code, and after a
// cursor;
// or a chip's, by its unique ID, serial text or sequence number.
struct RunFilter {
    QDateTime since;  // invalid: from the first
    QDateTime until;  // invalid: to the last
    QString station;
    QString result;  // succeeded, failed or unfinished; empty: any
    QString code;    // the outcome's code; empty: any
    QString uid;
    QString serial;
    std::optional<int> sequenceNumber;
    // With serial or sequenceNumber: every run of the chip that holds it, by its unique ID.
    bool wholeChip = false;
    QString after;  // the cursor the page before ended at; empty: from the first
    int limit = 0;  // at most this many; 0: all
};

// Failed runs of one cause on one fixture.
struct FailureCount {
    QString station;
    QString port;
    QString code;  // the outcome's code; empty for runs recorded before codes were
    int runs = 0;
};

// Runs of one package: its file name, content, signature and trusted comment.
struct PackageCount {
    QString package;
    QString sha256;
    QString signer;
    QString signedComment;
    int passed = 0;
    int runs = 0;
    QString last;  // the start of its latest run
};

// Finished runs of a station in one hour.
struct HourCount {
    QString station;
    QDateTime hour;  // its start, UTC
    int runs = 0;
};

// The time a text names, as an operator gives it: an ISO date (2026-12-01) or date and time
// (2026-12-01T08:00), local unless it ends in Z or an offset; today; or a number of hours
// or days back (8h, 7d). Nothing for any other text: a date in another order would select
// rows silently wrong.
std::optional<QDateTime> JournalTime(const QString& given);

class JournalReader {
public:
    // where: a libpq connection URI for a server, or the path of an SQLite file.
    explicit JournalReader(QString where) : where(std::move(where)) {}

    // Reaches the store and checks that its schema is this program's.
    bool Open(QString& error) const;

    // The figures of period; false (error set) when the journal cannot be read.
    bool Summarize(const SummaryPeriod& period, JournalSummary& summary, QString& error) const;

    // Records, oldest first, each with its entries. Null cursor text when the page holds
    // every record the filter selects from its start, else where the next page starts.
    bool Runs(const RunFilter& filter, std::vector<JournalRecord>& records, QString& next,
              QString& error) const;

    // A period's failures by cause, fixture and station, the commonest first.
    bool Failures(const SummaryPeriod& period, std::vector<FailureCount>& failures,
                  QString& error) const;
    // The packages a period's runs wrote, the latest first.
    bool Packages(const SummaryPeriod& period, std::vector<PackageCount>& packages,
                  QString& error) const;
    // A period's finished runs per station and hour.
    bool Hours(const SummaryPeriod& period, std::vector<HourCount>& hours, QString& error) const;
    // The stations seen since, with their fixtures' live states.
    bool Stations(const QDateTime& since, std::vector<StationLive>& stations, QString& error) const;

private:
    QString where;
};

}  // namespace korvane
