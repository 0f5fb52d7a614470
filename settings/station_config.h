// What a station runs with, read once from the operator's options over the profile, every
// value checked where it is read: a bad value is refused with one sentence that names the
// setting and the value, the same in the tool and in both windows, never replaced by a
// default behind the operator's back.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "flashing/rework.h"
#include "link/fixture_wiring.h"

namespace korvane {

// What the operator gave for this start, over the profile's values.
struct StationOptions {
    std::optional<QString> journal;  // --journal: a libpq URI, or an SQLite file
    std::optional<QString> station;  // --station: the station's name
    std::optional<QString> counter;  // --counter: "profile" or "journal"
    std::optional<int> lease;        // --lease: numbers claimed at once; 0: none
    std::optional<QString> rework;   // --rework: "new", "keep" or "refuse"
    std::optional<bool> verify;      // --verify: read the loader image back after writing it
    // --trusted-keys: the keys whose signatures let a package be flashed.
    std::optional<QString> trustedKeys;
    std::optional<QString> wiring;  // --fixture: the fixture's wiring
};

struct StationConfig {
    // The largest lease a station may claim at once.
    static constexpr int kMaxLease = 10000;

    QString journal;  // as given ([Journal] Database or --journal); empty: the station's own
    QString name;     // the station's name; the host name when none is given
    bool numbersFromJournal = false;  // Counter=journal
    int lease = 0;
    Rework rework = Rework::kAsk;  // kAsk when no rule is given
    bool verifyLoader = false;
    std::string trustedKeys;  // the path as a run opens it; empty when the station trusts none
    FixtureWiring wiring;
    uint32_t probeMs = 1000;  // how often an empty fixture is probed
    QStringList ports;        // [Station] Ports, each range made its ports; empty: none given
};

// The station's configuration, or nothing with the sentence for the operator in error.
std::optional<StationConfig> ReadStationConfig(const StationOptions& options, QString& error);

}  // namespace korvane
