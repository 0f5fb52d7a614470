// The dashboard's JSON API over the journal, apart from HTTP: each endpoint takes the
// request's query parameters and gives the status and body to answer with. Field names are
// those of the tool's JSON and CSV.
#pragma once

#include <QList>
#include <QString>
#include <QTime>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "station/journal_reader.h"

namespace korvane {

using QueryParams = std::multimap<std::string, std::string>;

struct ApiReply {
    int status = 200;
    std::string body;
    std::string type = "application/json";
};

struct DashboardSettings {
    QString journal;                        // the journal's address
    QList<QTime> shiftStarts;               // the line's shifts, for the default period
    std::chrono::seconds offlineAfter{30};  // a station not heard from this long is offline
};

class DashboardApi {
public:
    explicit DashboardApi(DashboardSettings settings);

    // GET /api/summary?since=&until=&station=: the period's figures per station and
    // fixture, failures by cause, packages and runs per hour.
    ApiReply Summary(const QueryParams& params) const;
    // GET /api/runs?since=&until=&station=&result=&code=&limit=&after=: a page of records.
    ApiReply Runs(const QueryParams& params) const;
    // GET /api/chip/{key}: a chip's history; key is its unique ID, serial text or number.
    ApiReply Chip(const std::string& key) const;
    // GET /api/stations: every station seen lately and its fixtures' live states.
    ApiReply Stations() const;
    // The filters of /api/runs and /api/runs.csv; nothing (refusal set) for a bad one.
    std::optional<RunFilter> RunsFilter(const QueryParams& params, ApiReply& refusal) const;
    // GET /api/runs.csv: the records filter selects, as "journal --csv" writes them, handed
    // to write a page at a time; false when the journal cannot be read or write refuses.
    bool WriteRunsCsv(RunFilter filter, const std::function<bool(const std::string&)>& write) const;

private:
    DashboardSettings settings;
    JournalReader reader;
};

}  // namespace korvane
