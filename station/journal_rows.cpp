// The runs table's rows as records, inside station/ only: the columns a record is read
// from, in the order RecordFrom takes them, and the entries of records read.
#include "station/journal_rows.h"

#include <QSqlQuery>
#include <algorithm>
#include <map>

namespace korvane::journal_sql {

const char kRunColumns[] =
    "id, started, station, port, device, package, package_size, sha256, sn, serial, result, "
    "status, seconds, version, uid, flash_kib, signer, signed_comment, code, reason";

JournalRecord RecordFrom(const QSqlQuery& query) {
    JournalRecord record;
    record.id = query.value(0).toString();
    record.started = query.value(1).toString();
    record.station = query.value(2).toString();
    record.port = query.value(3).toString();
    record.device = query.value(4).toString();
    record.package = query.value(5).toString();
    record.packageSize = query.value(6).toLongLong();
    record.sha256 = query.value(7).toString();
    if (!query.value(8).isNull()) {
        record.sequenceNumber = query.value(8).toInt();
    }
    record.serial = query.value(9).toString();
    record.result = query.value(10).toString();
    record.status = query.value(11).toString();
    record.seconds = query.value(12).toDouble();
    record.version = query.value(13).toString();
    record.uid = query.value(14).toString();
    if (!query.value(15).isNull()) {
        record.flashKib = query.value(15).toInt();
    }
    record.signer = query.value(16).toString();
    record.signedComment = query.value(17).toString();
    record.code = query.value(18).toString();
    record.reason = query.value(19).toString();
    return record;
}

bool ReadEntries(Connection& connection, std::vector<JournalRecord>& records, QString& error) {
    // A few statements for a page of records, not one for each: a server answers each
    // after a round trip.
    constexpr size_t kAStatement = 200;
    std::map<QString, JournalRecord*> byId;
    for (JournalRecord& record : records) {
        byId[record.id] = &record;
    }
    for (size_t from = 0; from < records.size(); from += kAStatement) {
        const size_t count = std::min(kAStatement, records.size() - from);
        QVariantList ids;
        for (size_t i = from; i < from + count; ++i) {
            ids << records[i].id;
        }
        QStringList marks;
        marks.fill(QStringLiteral("?"), static_cast<qsizetype>(count));
        QSqlQuery entries(connection.Db());
        entries.setForwardOnly(true);
        if (!connection.Run(entries,
                            QStringLiteral("SELECT run_id, name, kind, bytes, result FROM entries "
                                           "WHERE run_id IN (%1) ORDER BY run_id, position")
                                .arg(marks.join(", ")),
                            ids, error)) {
            return false;
        }
        while (entries.next()) {
            byId[entries.value(0).toString()]->entries.push_back(
                {entries.value(1).toString(), entries.value(2).toString(),
                 entries.value(3).toLongLong(), entries.value(4).toString()});
        }
    }
    return true;
}

}  // namespace korvane::journal_sql
