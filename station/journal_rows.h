// The runs table's rows as records, inside station/ only.
#pragma once

#include <QSqlQuery>
#include <vector>

#include "station/journal.h"
#include "station/journal_connection.h"

namespace korvane::journal_sql {

// The columns of runs that RecordFrom reads, in its order.
extern const char kRunColumns[];

// The record of the row query is on, selected with kRunColumns; without its entries.
JournalRecord RecordFrom(const QSqlQuery& query);

// Reads the entries of each of records.
bool ReadEntries(Connection& connection, std::vector<JournalRecord>& records, QString& error);

}  // namespace korvane::journal_sql
