// The shared sequence and the number guard: which numbers are held, who holds one, and
// how a run's number becomes its own or is refused.
#include "station/journal_numbers.h"

#include <QSqlQuery>
#include <algorithm>

#include "flashing/serial_record.h"
#include "platform/unique_id.h"
#include "settings/profile.h"

namespace korvane {

namespace journal_sql {

namespace {

// The highest number a device's record or a station's lease holds, as a subquery of both
// stores. A record's number is read from numbers, the key that lets one record hold each:
// every way a record is given a number writes it there in the same transaction, and the
// step that made the table filled it from the records before it. The runs that share a
// holder's number (a chip back for rework, a conflict from a spool) add none it lacks.
constexpr char kHighestHeld[] =
    "(SELECT MAX(m) FROM (SELECT COALESCE(MAX(sn), 0) AS m FROM numbers UNION ALL SELECT "
    "COALESCE(MAX(last), 0) AS m FROM leases) AS held)";

QString HighestHeld() {
    return QString::fromLatin1(kHighestHeld);
}

}  // namespace

bool TakeFromSequence(Connection& connection, int count, int& first, QString& error) {
    // Past every number held, taking the row's lock, so that claims and records of numbers
    // at one server follow one another. Written without GREATEST or MAX(a, b), which the
    // two stores spell differently.
    if (!connection.Exec(QStringLiteral("UPDATE sequence SET next = CASE WHEN next > %1 THEN "
                                        "next ELSE %1 + 1 END WHERE id = 1")
                             .arg(HighestHeld()),
                         error)) {
        return false;
    }
    QSqlQuery claim(connection.Db());
    if (!connection.Run(claim,
                        QStringLiteral("UPDATE sequence SET next = next + ? WHERE id = 1 AND next "
                                       ">= ? AND next + ? - 1 <= ? RETURNING next - ?"),
                        {count, kMinSequenceNumber, count, kMaxSequenceNumber, count}, error)) {
        return false;
    }
    if (claim.next()) {
        first = claim.value(0).toInt();
        return true;
    }
    int next = 0;
    QSqlQuery stored(connection.Db());
    if (connection.Run(stored, QStringLiteral("SELECT next FROM sequence WHERE id = 1"), {},
                       error) &&
        stored.next()) {
        next = stored.value(0).toInt();
    }
    if (next == kMaxSequenceNumber + 1) {
        error = QStringLiteral("its sequence numbers are used up: %1").arg(UsedUpText());
    } else if (count > 1 && next >= kMinSequenceNumber && next <= kMaxSequenceNumber) {
        error = QStringLiteral("only %1 of its numbers are left, fewer than a lease of %2")
                    .arg(kMaxSequenceNumber - next + 1)
                    .arg(count);
    } else {
        error = QStringLiteral("its next number, %1, is outside %2 … %3")
                    .arg(next)
                    .arg(kMinSequenceNumber)
                    .arg(kMaxSequenceNumber);
    }
    return false;
}

bool InAnothersLease(Connection& connection, int number, const QString& station,
                     const QString& instance, NumberHolder& holder, bool& leased, QString& error) {
    QSqlQuery lease(connection.Db());
    if (!connection.Run(lease,
                        QStringLiteral("SELECT station, instance FROM leases WHERE ? BETWEEN first "
                                       "AND last AND NOT (COALESCE(instance, '') = ? OR (instance "
                                       "IS NULL AND station = ?))"),
                        {number, instance, station}, error)) {
        return false;
    }
    leased = lease.next();
    if (leased) {
        holder = NumberHolder{};
        holder.leaseStation = lease.value(0).toString();
        holder.leaseInstance = lease.value(1).toString();
    }
    return true;
}

NumberHolder HolderOf(Connection& connection, int number) {
    NumberHolder holder;
    QSqlQuery query(connection.Db());
    QString error;
    if (connection.Run(
            query,
            QStringLiteral("SELECT r.id, r.serial, r.station, r.started, r.port, r.uid "
                           "FROM numbers n JOIN runs r ON r.id = n.run_id WHERE n.sn = ?"),
            {number}, error) &&
        query.next()) {
        holder.runId = query.value(0).toString();
        holder.serial = query.value(1).toString();
        holder.station = query.value(2).toString();
        holder.started = query.value(3).toString();
        holder.port = query.value(4).toString();
        holder.uid = query.value(5).toString();
    }
    return holder;
}

bool SameChip(const QString& uid, const NumberHolder& holder) {
    return IsChipIdentity(holder.uid.toStdString()) && uid == holder.uid;
}

// The same for the chip of the run's record.
bool SameChip(Connection& connection, const QString& runId, const NumberHolder& holder) {
    QSqlQuery query(connection.Db());
    QString error;
    return connection.Run(query, QStringLiteral("SELECT uid FROM runs WHERE id = ?"), {runId},
                          error) &&
           query.next() && SameChip(query.value(0).toString(), holder);
}

}  // namespace journal_sql

using journal_sql::Connection;
using journal_sql::HighestHeld;
using journal_sql::HolderOf;
using journal_sql::InAnothersLease;
using journal_sql::SameChip;
using journal_sql::TakeFromSequence;

NumberRecorded Journal::RecordNumber(const QString& runId, const QString& station,
                                     const QString& instance, int sequenceNumber,
                                     const QString& serial, NumberHolder& holder,
                                     QString& error) const {
    NumberRecorded outcome = NumberRecorded::kFailed;
    const bool committed = journal_sql::InOneTransaction(where, error, [&](Connection& connection) {
        // After every claim of a number or a lease that came before: the row's lock makes
        // them follow one another.
        if (!connection.Exec(QStringLiteral("UPDATE sequence SET next = next WHERE id = 1"),
                             error)) {
            return false;
        }
        bool leased = false;
        if (!InAnothersLease(connection, sequenceNumber, station, instance, holder, leased,
                             error)) {
            return false;
        }
        if (leased) {
            outcome = NumberRecorded::kHeld;
            return false;
        }
        // The store's own key decides: of two runs that try one number, one gets it.
        if (!connection.Exec(
                QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?) ON CONFLICT DO "
                               "NOTHING"),
                {sequenceNumber, runId}, error)) {
            return false;
        }
        holder = HolderOf(connection, sequenceNumber);
        if (holder.runId != runId && !SameChip(connection, runId, holder)) {
            outcome = NumberRecorded::kHeld;
            return false;
        }
        QSqlQuery record(connection.Db());
        if (!connection.Run(record,
                            QStringLiteral("UPDATE runs SET sn = ?, serial = ? WHERE id = ?"),
                            {sequenceNumber, serial, runId}, error)) {
            return false;
        }
        if (record.numRowsAffected() != 1) {
            error = QStringLiteral("it holds no record of this run");
            return false;
        }
        return true;
    });
    if (committed) {
        return NumberRecorded::kRecorded;
    }
    if (outcome == NumberRecorded::kHeld) {
        error.clear();
    }
    return outcome;
}

bool Journal::ClaimNumber(const QString& runId, int& number, QString& error) const {
    return journal_sql::InOneTransaction(where, error, [&](Connection& connection) {
        if (!TakeFromSequence(connection, 1, number, error)) {
            return false;
        }
        // The claimed number is the run's record's at once: never without the device
        // that holds it.
        QSqlQuery record(connection.Db());
        if (!connection.Exec(QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?)"),
                             {number, runId}, error) ||
            !connection.Run(record, QStringLiteral("UPDATE runs SET sn = ? WHERE id = ?"),
                            {number, runId}, error)) {
            return false;
        }
        if (record.numRowsAffected() != 1) {
            error = QStringLiteral("it holds no record of this run");
            return false;
        }
        return true;
    });
}

bool Journal::NextNumber(int& number, QString& error) const {
    return journal_sql::WithConnection(where, error, [&](Connection& connection) {
        // As the next claim will find it: never at a number that a record or a lease holds.
        QSqlQuery query(connection.Db());
        if (!connection.Run(
                query,
                QStringLiteral("SELECT next, %1 FROM sequence WHERE id = 1").arg(HighestHeld()), {},
                error)) {
            return false;
        }
        if (!query.next()) {
            error = QStringLiteral("it holds no sequence");
            return false;
        }
        number = std::max(query.value(0).toInt(), query.value(1).toInt() + 1);
        return true;
    });
}

bool Journal::HighestNumber(int& number, QString& error) const {
    return journal_sql::QueryNumberAt(where, QStringLiteral("SELECT %1").arg(HighestHeld()), {},
                                      number, error);
}

bool Journal::SetNextNumber(int number, QString& error) const {
    return journal_sql::ExecAt(where, QStringLiteral("UPDATE sequence SET next = ? WHERE id = 1"),
                               {number}, error);
}

}  // namespace korvane
