// The records of device runs: written whole, read back by a query, and taken over from a
// spool through the number guard, which keeps a conflict beside the holder's record.
#include <QDateTime>
#include <QSqlQuery>
#include <QUuid>

#include "station/journal_numbers.h"
#include "station/journal_rows.h"

namespace korvane {

namespace {

using journal_sql::Connection;
using journal_sql::kRunColumns;
using journal_sql::NullableInt;
using journal_sql::NullableText;
using journal_sql::RecordFrom;
using journal_sql::Text;

// Writes the record, its number (held by the record unless another holds it already) and
// its entries, inside the caller's transaction.
bool WriteRecord(Connection& connection, const JournalRecord& record, QString& error) {
    // A number once recorded is never taken out of a record again.
    if (!connection.Exec(
            QStringLiteral(
                "INSERT INTO runs (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                "?, ?, ?, ?) ON CONFLICT (id) DO UPDATE SET started = excluded.started, station = "
                "excluded.station, port = excluded.port, device = excluded.device, package "
                "= excluded.package, package_size = excluded.package_size, sha256 = "
                "excluded.sha256, sn = COALESCE(excluded.sn, runs.sn), serial = "
                "COALESCE(excluded.serial, runs.serial), result = excluded.result, status "
                "= excluded.status, seconds = excluded.seconds, version = excluded.version, "
                "uid = COALESCE(excluded.uid, runs.uid), flash_kib = "
                "COALESCE(excluded.flash_kib, runs.flash_kib), signer = excluded.signer, "
                "signed_comment = excluded.signed_comment, code = excluded.code, reason = "
                "excluded.reason")
                .arg(QLatin1String(kRunColumns)),
            {Text(record.id),
             Text(record.started),
             Text(record.station),
             Text(record.port),
             Text(record.device),
             Text(record.package),
             QVariant(record.packageSize),
             Text(record.sha256),
             NullableInt(record.sequenceNumber),
             NullableText(record.serial),
             NullableText(record.result),
             Text(record.status),
             QVariant(record.seconds),
             Text(record.version),
             NullableText(record.uid),
             NullableInt(record.flashKib),
             NullableText(record.signer),
             NullableText(record.signedComment),
             NullableText(record.code),
             NullableText(record.reason)},
            error)) {
        return false;
    }
    // A record that went round the spool keeps its number where nobody else holds it;
    // where someone does, both records stay, and "journal --duplicates" shows them.
    if (record.sequenceNumber &&
        !connection.Exec(QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?) ON "
                                        "CONFLICT DO NOTHING"),
                         {*record.sequenceNumber, Text(record.id)}, error)) {
        return false;
    }
    if (!connection.Notify("runs", error) ||
        !connection.Exec(QStringLiteral("DELETE FROM entries WHERE run_id = ?"), {record.id},
                         error)) {
        return false;
    }
    for (size_t i = 0; i < record.entries.size(); ++i) {
        const JournalEntry& entry = record.entries[i];
        if (!connection.Exec(QStringLiteral("INSERT INTO entries (run_id, position, name, "
                                            "kind, bytes, result) VALUES (?, ?, ?, ?, ?, ?)"),
                             {Text(record.id), QVariant(static_cast<int>(i)), Text(entry.name),
                              Text(entry.kind), QVariant(entry.bytes), Text(entry.result)},
                             error)) {
            return false;
        }
    }
    return true;
}

// Writes a record that waited in a spool, inside the caller's transaction, through the
// guard a live run's number goes through: its number is found in another station's lease,
// or held by another chip's record, and the conflict is kept (conflict set) instead of
// passing unseen.
bool WriteTakenOver(Connection& connection, const JournalRecord& record, const QString& instance,
                    std::optional<NumberConflict>& conflict, QString& error) {
    conflict.reset();
    NumberHolder holder;
    bool leased = false;
    if (record.sequenceNumber &&
        !journal_sql::InAnothersLease(connection, *record.sequenceNumber, record.station, instance,
                                      holder, leased, error)) {
        return false;
    }
    // Written first, so that a number nobody holds becomes this record's.
    if (!WriteRecord(connection, record, error)) {
        return false;
    }
    if (!record.sequenceNumber) {
        return true;
    }
    if (!leased) {
        holder = journal_sql::HolderOf(connection, *record.sequenceNumber);
        if (holder.runId == record.id || journal_sql::SameChip(record.uid, holder)) {
            return true;
        }
    }
    conflict = NumberConflict{record.id, *record.sequenceNumber, record.serial, holder};
    return connection.Exec(
        QStringLiteral("INSERT INTO conflicts (run_id, sn, holder_run_id, lease_station, found) "
                       "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {record.id, *record.sequenceNumber, NullableText(holder.runId),
         NullableText(holder.leaseStation),
         QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        error);
}

}  // namespace

bool Journal::Save(const JournalRecord& record, QString& error) const {
    return journal_sql::InOneTransaction(where, error, [&](Connection& connection) {
        return WriteRecord(connection, record, error);
    });
}

bool Journal::RecordUnprotect(const QString& station, const QString& port, const QString& uid,
                              const QString& result, QString& error) const {
    return journal_sql::ExecAt(where,
                               QStringLiteral("INSERT INTO unprotects (id, time, station, port, "
                                              "uid, result) VALUES (?, ?, ?, ?, ?, ?)"),
                               {QUuid::createUuid().toString(QUuid::WithoutBraces),
                                QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                                station, port, NullableText(uid), result},
                               error);
}

bool Journal::Records(const JournalQuery& filter, std::vector<JournalRecord>& records,
                      QString& error) const {
    QStringList conditions;
    QVariantList values;
    if (!filter.since.isEmpty()) {
        conditions << QStringLiteral("started >= ?");
        values << filter.since;
    }
    if (filter.sequenceNumber) {
        conditions << QStringLiteral("sn = ?");
        values << *filter.sequenceNumber;
    }
    if (!filter.serial.isEmpty()) {
        conditions << QStringLiteral("serial = ?");
        values << filter.serial;
    }
    if (!filter.uid.isEmpty()) {
        conditions << QStringLiteral("uid = ?");
        values << filter.uid.toLower();
    }
    // A chip that came back for rework and kept its number shares it with nobody; chips
    // whose IDs are all zeros or all ones are each a chip of their own. A record that came
    // back from a spool with a number in another station's lease is a duplicate too.
    if (filter.duplicates) {
        conditions << QStringLiteral(
                          "(sn IN (SELECT sn FROM runs WHERE sn IS NOT NULL GROUP BY sn HAVING "
                          "COUNT(DISTINCT "
                          "CASE WHEN uid IS NULL OR uid IN ('%1', '%2') THEN id ELSE uid END) > 1) "
                          "OR id IN "
                          "(SELECT run_id FROM conflicts))")
                          .arg(QString(24, '0'), QString(24, 'f'));
    }
    return journal_sql::WithConnection(where, error, [&](Connection& connection) {
        QSqlQuery query(connection.Db());
        if (!connection.Run(
                query,
                QStringLiteral("SELECT %1 FROM runs%2 ORDER BY started, id")
                    .arg(QLatin1String(kRunColumns),
                         conditions.isEmpty() ? QString() : " WHERE " + conditions.join(" AND ")),
                values, error)) {
            return false;
        }
        records.clear();
        while (query.next()) {
            records.push_back(RecordFrom(query));
        }
        return journal_sql::ReadEntries(connection, records, error);
    });
}

bool Journal::TakeOver(const Journal& other, const QString& instance,
                       std::vector<NumberConflict>& conflicts, QString& error) const {
    std::vector<JournalRecord> waiting;
    if (!other.Records({}, waiting, error)) {
        return false;
    }
    for (const JournalRecord& record : waiting) {
        std::optional<NumberConflict> conflict;
        if (!journal_sql::InOneTransaction(where, error, [&](Connection& here) {
                return WriteTakenOver(here, record, instance, conflict, error);
            })) {
            return false;
        }
        if (conflict) {
            conflicts.push_back(*conflict);
        }
        if (!journal_sql::InOneTransaction(other.where, error, [&](Connection& there) {
                return there.Exec(QStringLiteral("DELETE FROM entries WHERE run_id = ?"),
                                  {record.id}, error) &&
                       there.Exec(QStringLiteral("DELETE FROM numbers WHERE run_id = ?"),
                                  {record.id}, error) &&
                       there.Exec(QStringLiteral("DELETE FROM runs WHERE id = ?"), {record.id},
                                  error);
            })) {
            return false;
        }
    }
    return true;
}

}  // namespace korvane
