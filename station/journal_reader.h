// The journal as a line's supervisor reads it: the figures of a period. It only reads: an
// SQLite file is opened read-only, a server's session refuses writes, and a schema older
// than this program's is refused, never migrated.
#pragma once

#include <QString>

#include "station/journal_summary.h"

namespace korvane {

class JournalReader {
public:
    // where: a libpq connection URI for a server, or the path of an SQLite file.
    explicit JournalReader(QString where) : where(std::move(where)) {}

    // Reaches the store and checks that its schema is this program's.
    bool Open(QString& error) const;

    // The figures of period; false (error set) when the journal cannot be read.
    bool Summarize(const SummaryPeriod& period, JournalSummary& summary, QString& error) const;

private:
    QString where;
};

}  // namespace korvane
