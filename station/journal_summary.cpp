// The figures of a period, counted by the store: a few grouped statements over the runs of
// the period (the index on the start time finds them) and one ordered pass over the seconds
// of passed runs for each level of percentiles, so that nothing here grows with the period.
#include <QSqlQuery>
#include <cmath>
#include <functional>
#include <map>

#include "station/journal_connection.h"
#include "station/journal_reader.h"

namespace korvane {

namespace {

using journal_sql::Connection;

// A run's chip is its unique ID, unless that is unknown or shared by many chips: then the
// run is a chip of its own and has no earlier or later run.
const QString kOwnChip = QStringLiteral("(r.uid IS NULL OR r.uid IN ('%1', '%2'))")
                             .arg(QString(24, '0'), QString(24, 'f'));
constexpr char kFinished[] = "result IN ('succeeded', 'failed')";
constexpr char kPassed[] = "SUM(CASE WHEN r.result = 'succeeded' THEN 1 ELSE 0 END)";

struct Levels {
    std::map<QString, std::map<QString, SummaryFigures>> fixtures;  // by station, then port
    std::map<QString, SummaryFigures> stations;
    SummaryFigures line;
};

// The runs of the period, as the conditions on r and their values.
struct PeriodFilter {
    QString conditions;
    QVariantList values;
    QString until;
};

PeriodFilter FilterOf(const SummaryPeriod& period, const QDateTime& until) {
    PeriodFilter filter;
    filter.until = until.toUTC().toString(Qt::ISODateWithMs);
    filter.conditions = QStringLiteral("r.started >= ? AND r.started < ?");
    filter.values = {period.since.toUTC().toString(Qt::ISODateWithMs), filter.until};
    if (!period.station.isEmpty()) {
        filter.conditions += QStringLiteral(" AND r.station = ?");
        filter.values << period.station;
    }
    return filter;
}

// Runs statement, whose rows are station, port and two counts, adding each row's counts to
// its fixture's figures through add.
bool CountPerFixture(Connection& connection, const QString& statement, const QVariantList& values,
                     Levels& levels, const std::function<void(SummaryFigures&, int, int)>& add,
                     QString& error) {
    QSqlQuery query(connection.Db());
    query.setForwardOnly(true);
    if (!connection.Run(query, statement, values, error)) {
        return false;
    }
    while (query.next()) {
        add(levels.fixtures[query.value(0).toString()][query.value(1).toString()],
            query.value(2).toInt(), query.value(3).toInt());
    }
    return true;
}

bool CountRuns(Connection& connection, const PeriodFilter& filter, Levels& levels, QString& error) {
    const QString grouped = QStringLiteral(" GROUP BY r.station, r.port");
    const QString finishedHere = filter.conditions + " AND r." + kFinished;
    const bool counted = CountPerFixture(
        connection,
        QStringLiteral("SELECT r.station, r.port, %1, SUM(CASE WHEN r.result = 'failed' THEN 1 "
                       "ELSE 0 END) FROM runs r WHERE %2")
                .arg(QLatin1String(kPassed), finishedHere) +
            grouped,
        filter.values, levels,
        [](SummaryFigures& figures, int passed, int failed) {
            figures.passed = passed;
            figures.failed = failed;
        },
        error);
    // A chip's first run of all the journal's, when it falls in the period.
    const bool first =
        counted &&
        CountPerFixture(
            connection,
            QStringLiteral("SELECT r.station, r.port, COUNT(*), %1 FROM runs r WHERE %2 AND (%3 OR "
                           "NOT EXISTS (SELECT 1 FROM runs o WHERE o.uid = r.uid AND o.%4 AND "
                           "(o.started < r.started OR (o.started = r.started AND o.id < r.id))))")
                    .arg(QLatin1String(kPassed), finishedHere, kOwnChip, QLatin1String(kFinished)) +
                grouped,
            filter.values, levels,
            [](SummaryFigures& figures, int seen, int passed) {
                figures.firstSeen = seen;
                figures.firstPassed = passed;
            },
            error);
    // A chip's last run of the period: none after it started before the period's end.
    QVariantList lastValues = filter.values;
    lastValues << filter.until;
    return first && CountPerFixture(
                        connection,
                        QStringLiteral(
                            "SELECT r.station, r.port, COUNT(*), %1 FROM runs r WHERE %2 AND (%3 "
                            "OR NOT EXISTS (SELECT 1 FROM runs o WHERE o.uid = r.uid AND o.%4 AND "
                            "o.started < ? AND (o.started > r.started OR (o.started = r.started "
                            "AND o.id > r.id))))")
                                .arg(QLatin1String(kPassed), finishedHere, kOwnChip,
                                     QLatin1String(kFinished)) +
                            grouped,
                        lastValues, levels,
                        [](SummaryFigures& figures, int chips, int passed) {
                            figures.chips = chips;
                            figures.chipsPassed = passed;
                        },
                        error);
}

// Nearest rank: the smallest value with at least share of the values at or below it.
int RankOf(double share, int count) {
    return std::max(1, static_cast<int>(std::ceil(share * count - 1e-9)));
}

// One ordered pass over the seconds of the period's passed runs, grouped by keys (the
// columns of r, or none for the line): figuresOf(row) names the figures of a row's group,
// whose passed count says which ranks to keep.
bool Percentiles(Connection& connection, const PeriodFilter& filter, const QStringList& keys,
                 const std::function<SummaryFigures&(const QSqlQuery&)>& figuresOf,
                 QString& error) {
    QSqlQuery query(connection.Db());
    query.setForwardOnly(true);
    const QString order = keys.isEmpty() ? QString() : keys.join(", ") + ", ";
    if (!connection.Run(query,
                        QStringLiteral("SELECT %1r.seconds FROM runs r WHERE %2 AND r.result = "
                                       "'succeeded' ORDER BY %1r.seconds")
                            .arg(order, filter.conditions),
                        filter.values, error)) {
        return false;
    }
    SummaryFigures* group = nullptr;
    int rank = 0;
    while (query.next()) {
        SummaryFigures& figures = figuresOf(query);
        if (&figures != group) {
            group = &figures;
            rank = 0;
        }
        const double seconds = query.value(static_cast<int>(keys.size())).toDouble();
        ++rank;
        if (rank == RankOf(0.5, figures.passed)) {
            figures.medianSeconds = seconds;
        }
        if (rank == RankOf(0.9, figures.passed)) {
            figures.p90Seconds = seconds;
        }
    }
    return true;
}

void AddCounts(SummaryFigures& to, const SummaryFigures& from) {
    to.passed += from.passed;
    to.failed += from.failed;
    to.firstSeen += from.firstSeen;
    to.firstPassed += from.firstPassed;
    to.chips += from.chips;
    to.chipsPassed += from.chipsPassed;
}

}  // namespace

std::optional<double> SummaryFigures::FirstPassYield() const {
    if (firstSeen == 0) {
        return std::nullopt;
    }
    return 100.0 * firstPassed / firstSeen;
}

std::optional<double> SummaryFigures::FinalYield() const {
    if (chips == 0) {
        return std::nullopt;
    }
    return 100.0 * chipsPassed / chips;
}

double SummaryFigures::PerHour() const {
    return hours > 0 ? Runs() / hours : 0;
}

bool JournalReader::Summarize(const SummaryPeriod& period, JournalSummary& summary,
                              QString& error) const {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime until = period.until.isValid() ? period.until : now;
    const PeriodFilter filter = FilterOf(period, until);
    Levels levels;
    const bool read =
        journal_sql::WithReadOnlyConnection(where, error, [&](Connection& connection) {
            if (!CountRuns(connection, filter, levels, error)) {
                return false;
            }
            for (const auto& [station, fixtures] : levels.fixtures) {
                for (const auto& [port, figures] : fixtures) {
                    AddCounts(levels.stations[station], figures);
                    AddCounts(levels.line, figures);
                }
            }
            return Percentiles(
                       connection, filter, {"r.station", "r.port"},
                       [&](const QSqlQuery& row) -> SummaryFigures& {
                           return levels.fixtures[row.value(0).toString()][row.value(1).toString()];
                       },
                       error) &&
                   Percentiles(
                       connection, filter, {"r.station"},
                       [&](const QSqlQuery& row) -> SummaryFigures& {
                           return levels.stations[row.value(0).toString()];
                       },
                       error) &&
                   Percentiles(
                       connection, filter, {},
                       [&](const QSqlQuery&) -> SummaryFigures& { return levels.line; }, error);
        });
    if (!read) {
        return false;
    }
    const double hours =
        std::max<qint64>(0, period.since.msecsTo(std::min(until, now))) / 3600000.0;
    summary = {};
    summary.line = levels.line;
    summary.line.hours = hours;
    for (auto& [name, figures] : levels.stations) {
        StationSummary station{name, figures, {}};
        station.figures.hours = hours;
        for (auto& [port, fixture] : levels.fixtures[name]) {
            station.fixtures.push_back({port, fixture});
            station.fixtures.back().figures.hours = hours;
        }
        summary.stations.push_back(std::move(station));
    }
    return true;
}

}  // namespace korvane
