// Leases, the blocks of numbers a station claims to go on with while its server is away:
// claimed at the server, kept as the station's own copy in its spool, and the stations
// the journal has heard of.
#include <QDateTime>
#include <QSqlQuery>
#include <QUuid>

#include "station/journal_numbers.h"

namespace korvane {

using journal_sql::Connection;
using journal_sql::NullableText;
using journal_sql::WithConnection;

bool Journal::ClaimLease(const QString& station, const QString& instance, int count, Lease& lease,
                         QString& error) const {
    return journal_sql::InOneTransaction(where, error, [&](Connection& connection) {
        int first = 0;
        if (!journal_sql::TakeFromSequence(connection, count, first, error)) {
            return false;
        }
        lease.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        lease.station = station;
        lease.instance = instance;
        lease.first = first;
        lease.last = first + count - 1;
        lease.next = first;
        lease.claimed = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        return connection.Exec(
            QStringLiteral("INSERT INTO leases (id, station, instance, first, "
                           "last, claimed) VALUES (?, ?, ?, ?, ?, ?)"),
            {lease.id, station, NullableText(instance), lease.first, lease.last, lease.claimed},
            error);
    });
}

bool Journal::Leases(std::vector<Lease>& leases, QString& error) const {
    return WithConnection(where, error, [&](Connection& connection) {
        QSqlQuery query(connection.Db());
        if (!connection.Run(
                query,
                QStringLiteral("SELECT l.id, l.station, l.first, l.last, l.claimed, (SELECT "
                               "COUNT(*) FROM numbers n WHERE n.sn BETWEEN l.first AND "
                               "l.last), l.instance FROM leases l ORDER BY l.claimed, l.first"),
                {}, error)) {
            return false;
        }
        leases.clear();
        while (query.next()) {
            Lease lease;
            lease.id = query.value(0).toString();
            lease.station = query.value(1).toString();
            lease.first = query.value(2).toInt();
            lease.last = query.value(3).toInt();
            lease.claimed = query.value(4).toString();
            lease.used = query.value(5).toInt();
            lease.instance = query.value(6).toString();
            leases.push_back(lease);
        }
        return true;
    });
}

bool Journal::KeepLease(const QString& server, const Lease& lease, QString& error) const {
    return journal_sql::ExecAt(
        where,
        QStringLiteral("INSERT INTO held_leases (id, server, station, first, last, next, "
                       "claimed) VALUES (?, ?, ?, ?, ?, ?, ?)"),
        {lease.id, server, lease.station, lease.first, lease.last, lease.next, lease.claimed},
        error);
}

bool Journal::LeasedNumbersLeft(const QString& server, const QString& station, int& left,
                                QString& error) const {
    return journal_sql::QueryNumberAt(
        where,
        QStringLiteral("SELECT COALESCE(SUM(last - next + 1), 0) FROM held_leases WHERE "
                       "server = ? AND station = ? AND next <= last"),
        {server, station}, left, error);
}

bool Journal::NextLeasedNumber(const QString& server, const QString& station, int& number,
                               QString& error) const {
    return journal_sql::QueryNumberAt(
        where,
        QStringLiteral("SELECT next FROM held_leases WHERE server = ? AND station = ? AND "
                       "next <= last ORDER BY first LIMIT 1"),
        {server, station}, number, error);
}

bool Journal::TakeLeasedNumber(const QString& server, const QString& station, int& number,
                               QString& error) const {
    number = 0;
    return journal_sql::InOneTransaction(where, error, [&](Connection& connection) {
        // The advance reaches the disk before the number is used: a station killed after
        // this never uses it again.
        QSqlQuery take(connection.Db());
        if (!connection.Run(take,
                            QStringLiteral("UPDATE held_leases SET next = next + 1 WHERE id = "
                                           "(SELECT id FROM held_leases WHERE server = ? AND "
                                           "station = ? AND next <= last ORDER BY first LIMIT 1) "
                                           "RETURNING next - 1"),
                            {server, station}, error)) {
            return false;
        }
        number = take.next() ? take.value(0).toInt() : 0;
        return true;
    });
}

bool Journal::SeeStation(const StationSeen& station, QString& error) const {
    return WithConnection(where, error, [&](Connection& connection) {
        return connection.Exec(
                   QStringLiteral("INSERT INTO stations (instance, name, host, seen) VALUES (?, "
                                  "?, ?, ?) ON CONFLICT (instance) DO UPDATE SET name = "
                                  "excluded.name, host = excluded.host, seen = excluded.seen"),
                   {station.instance, journal_sql::Text(station.name),
                    journal_sql::Text(station.host),
                    QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                   error) &&
               connection.Notify("stations", error);
    });
}

bool Journal::LiveStations(const QString& since, std::vector<StationSeen>& stations,
                           QString& error) const {
    return WithConnection(where, error, [&](Connection& connection) {
        QSqlQuery query(connection.Db());
        if (!connection.Run(
                query,
                QStringLiteral("SELECT s.instance, s.name, s.host, s.seen FROM stations s WHERE "
                               "s.seen >= ? OR EXISTS (SELECT 1 FROM leases l WHERE l.instance = "
                               "s.instance AND (SELECT COUNT(*) FROM numbers n WHERE n.sn "
                               "BETWEEN l.first AND l.last) <= l.last - l.first) ORDER BY "
                               "s.name, s.seen"),
                {since}, error)) {
            return false;
        }
        stations.clear();
        while (query.next()) {
            stations.push_back({query.value(0).toString(), query.value(1).toString(),
                                query.value(2).toString(), query.value(3).toString()});
        }
        return true;
    });
}

}  // namespace korvane
