// The figures of a period on the line, from the journal's records: how many runs passed and
// failed, the first-pass and final yields, devices per hour and cycle times, for the whole
// line and for each station and each of its fixtures. The station window's header and the
// dashboard show the same figures, counted here once.
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

namespace korvane {

// The runs started at or after since and before until; of one station when station is set.
struct SummaryPeriod {
    QDateTime since;
    QDateTime until;  // invalid: up to now
    QString station;
};

struct SummaryFigures {
    int passed = 0;  // finished runs that succeeded
    int failed = 0;  // and that failed; runs never finished count in neither
    // Chips whose first run anywhere falls in the period (here), and how many of those first
    // runs passed. A chip is known by its unique ID; a run whose chip is unknown, or whose ID
    // many chips share (all zeros, all ones), is a chip of its own.
    int firstSeen = 0;
    int firstPassed = 0;
    // Chips run in the period, counted where their last run of it was, and how many of those
    // last runs passed.
    int chips = 0;
    int chipsPassed = 0;
    double hours = 0;  // from since to until, or to now when that is earlier
    // Nearest-rank percentiles of the seconds of passed runs; nothing without one.
    std::optional<double> medianSeconds;
    std::optional<double> p90Seconds;

    int Runs() const { return passed + failed; }
    // Percentages; nothing when there is nothing to count.
    std::optional<double> FirstPassYield() const;
    std::optional<double> FinalYield() const;
    // Finished runs an hour; 0 for a period of no time.
    double PerHour() const;
};

struct FixtureSummary {
    QString port;  // as the station's records name it
    SummaryFigures figures;
};

struct StationSummary {
    QString station;
    SummaryFigures figures;
    std::vector<FixtureSummary> fixtures;  // by port name
};

struct JournalSummary {
    SummaryFigures line;
    std::vector<StationSummary> stations;  // by name
};

}  // namespace korvane
