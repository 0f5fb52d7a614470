// The fixtures' live states: each station writes its own, and readers take every station's.
#include "station/journal_live.h"

#include <QSqlQuery>

#include "station/journal_connection.h"
#include "station/journal_reader.h"

namespace korvane {

using journal_sql::Connection;
using journal_sql::NullableInt;
using journal_sql::NullableText;
using journal_sql::Text;

bool Journal::WriteFixtureState(const FixtureLive& state, QString& error) const {
    return journal_sql::WithConnection(where, error, [&](Connection& connection) {
        return connection.Exec(
                   QStringLiteral(
                       "INSERT INTO fixture_states (instance, fixture, port, state, detail, "
                       "entry, percent, code, changed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON "
                       "CONFLICT (instance, fixture) DO UPDATE SET port = excluded.port, state = "
                       "excluded.state, detail = excluded.detail, entry = excluded.entry, "
                       "percent = excluded.percent, code = excluded.code, changed = "
                       "excluded.changed"),
                   {Text(state.instance), state.fixture, Text(state.port), Text(state.state),
                    Text(state.detail), NullableText(state.entry), NullableInt(state.percent),
                    NullableText(state.code), Text(state.changed)},
                   error) &&
               connection.Notify("stations", error);
    });
}

bool JournalReader::Stations(const QDateTime& since, std::vector<StationLive>& stations,
                             QString& error) const {
    return journal_sql::WithReadOnlyConnection(where, error, [&](Connection& connection) {
        QSqlQuery query(connection.Db());
        query.setForwardOnly(true);
        if (!connection.Run(query,
                            QStringLiteral("SELECT s.instance, s.name, s.host, s.seen, f.fixture, "
                                           "f.port, f.state, f.detail, f.entry, f.percent, "
                                           "f.code, f.changed FROM stations s LEFT JOIN "
                                           "fixture_states f ON f.instance = s.instance WHERE "
                                           "s.seen >= ? ORDER BY s.name, s.instance, f.fixture"),
                            {since.toUTC().toString(Qt::ISODateWithMs)}, error)) {
            return false;
        }
        stations.clear();
        while (query.next()) {
            const QString instance = query.value(0).toString();
            if (stations.empty() || stations.back().station.instance != instance) {
                stations.push_back({{instance, query.value(1).toString(), query.value(2).toString(),
                                     query.value(3).toString()},
                                    {}});
            }
            if (query.value(4).isNull()) {
                continue;
            }
            FixtureLive fixture{instance,
                                query.value(4).toInt(),
                                query.value(5).toString(),
                                query.value(6).toString(),
                                query.value(7).toString(),
                                query.value(8).toString(),
                                std::nullopt,
                                query.value(10).toString(),
                                query.value(11).toString()};
            if (!query.value(9).isNull()) {
                fixture.percent = query.value(9).toInt();
            }
            stations.back().fixtures.push_back(fixture);
        }
        return true;
    });
}

}  // namespace korvane
