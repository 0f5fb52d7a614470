// What a period's runs break down into: failures by cause, the packages flashed, and runs
// by the hour.
#include <QSqlQuery>

#include "station/journal_connection.h"
#include "station/journal_reader.h"

namespace korvane {

namespace {

using journal_sql::Connection;

// The runs of period, as conditions and their values.
QString PeriodConditions(const SummaryPeriod& period, QVariantList& values) {
    const QDateTime until = period.until.isValid() ? period.until : QDateTime::currentDateTimeUtc();
    values = {period.since.toUTC().toString(Qt::ISODateWithMs),
              until.toUTC().toString(Qt::ISODateWithMs)};
    QString conditions = QStringLiteral("started >= ? AND started < ?");
    if (!period.station.isEmpty()) {
        conditions += QStringLiteral(" AND station = ?");
        values << period.station;
    }
    return conditions;
}

// Runs statement (with %1 for the period's conditions) and hands each row to take.
template <typename Take>
bool EachRow(const QString& where, const SummaryPeriod& period, const char* statement,
             QString& error, Take take) {
    QVariantList values;
    const QString conditions = PeriodConditions(period, values);
    return journal_sql::WithReadOnlyConnection(where, error, [&](Connection& connection) {
        QSqlQuery query(connection.Db());
        query.setForwardOnly(true);
        if (!connection.Run(query, QString::fromLatin1(statement).arg(conditions), values, error)) {
            return false;
        }
        while (query.next()) {
            take(query);
        }
        return true;
    });
}

}  // namespace

bool JournalReader::Failures(const SummaryPeriod& period, std::vector<FailureCount>& failures,
                             QString& error) const {
    failures.clear();
    return EachRow(where, period,
                   "SELECT station, port, COALESCE(code, ''), COUNT(*) FROM runs WHERE %1 AND "
                   "result = 'failed' GROUP BY station, port, COALESCE(code, '') ORDER BY "
                   "COUNT(*) DESC, station, port",
                   error, [&](const QSqlQuery& row) {
                       failures.push_back({row.value(0).toString(), row.value(1).toString(),
                                           row.value(2).toString(), row.value(3).toInt()});
                   });
}

bool JournalReader::Packages(const SummaryPeriod& period, std::vector<PackageCount>& packages,
                             QString& error) const {
    packages.clear();
    return EachRow(where, period,
                   "SELECT package, sha256, COALESCE(signer, ''), COALESCE(signed_comment, ''), "
                   "SUM(CASE WHEN result = 'succeeded' THEN 1 ELSE 0 END), COUNT(*), MAX(started) "
                   "FROM runs WHERE %1 GROUP BY package, sha256, COALESCE(signer, ''), "
                   "COALESCE(signed_comment, '') ORDER BY MAX(started) DESC",
                   error, [&](const QSqlQuery& row) {
                       packages.push_back({row.value(0).toString(), row.value(1).toString(),
                                           row.value(2).toString(), row.value(3).toString(),
                                           row.value(4).toInt(), row.value(5).toInt(),
                                           row.value(6).toString()});
                   });
}

bool JournalReader::Hours(const SummaryPeriod& period, std::vector<HourCount>& hours,
                          QString& error) const {
    hours.clear();
    // The hour of a UTC time is the first 13 characters of its text.
    return EachRow(
        where, period,
        "SELECT station, SUBSTR(started, 1, 13), COUNT(*) FROM runs WHERE %1 AND "
        "result IN ('succeeded', 'failed') GROUP BY station, SUBSTR(started, 1, 13) "
        "ORDER BY station, SUBSTR(started, 1, 13)",
        error, [&](const QSqlQuery& row) {
            hours.push_back({row.value(0).toString(),
                             QDateTime::fromString(
                                 row.value(1).toString() + QStringLiteral(":00:00Z"), Qt::ISODate),
                             row.value(2).toInt()});
        });
}

}  // namespace korvane
