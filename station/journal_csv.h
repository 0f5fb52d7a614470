// The journal's records as CSV (RFC 4180): the tool's "journal --csv" and the dashboard's
// runs.csv write the same columns, for a line's own software.
#pragma once

#include <QString>
#include <QStringList>

#include "station/journal.h"

namespace korvane {

// The columns' names, in their order.
QStringList RecordCsvHeader();
// A record's fields, in the header's order; a run never finished has the result
// "unfinished".
QStringList RecordCsvFields(const JournalRecord& record);
// One line of fields, each quoted when it must be, ended by CR LF.
QString CsvLine(const QStringList& fields);

}  // namespace korvane
