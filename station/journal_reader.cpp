// Reaching the journal to read it.
#include "station/journal_reader.h"

#include "station/journal_connection.h"

namespace korvane {

bool JournalReader::Open(QString& error) const {
    return journal_sql::WithReadOnlyConnection(where, error,
                                               [](journal_sql::Connection&) { return true; });
}

}  // namespace korvane
