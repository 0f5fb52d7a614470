// Each fixture's live state, as its station last wrote it to the journal, for whoever
// watches the line from elsewhere; the station's heartbeat is the journal's "stations"
// row it refreshes (Journal::SeeStation).
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "station/journal.h"

namespace korvane {

struct FixtureLive {
    QString instance;  // the station's identity
    int fixture = 0;   // its place among the station's fixtures, from 1
    QString port;      // as the station names it
    // empty, flashing, passed, failed, protected, take-out (waiting for the device to be
    // taken out after it passed or failed) or stopped
    QString state;
    QString detail;  // a passed device's serial text, or why one failed
    QString entry;   // while flashing: the status line, which names the entry written
    std::optional<int> percent;
    QString code;     // a failed run's outcome code
    QString changed;  // UTC, ISO 8601
};

// A station as last heard of, with its fixtures.
struct StationLive {
    StationSeen station;
    std::vector<FixtureLive> fixtures;  // by place
};

}  // namespace korvane
