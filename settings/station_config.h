// What a station runs with, read once from the operator's options over the profile, every
// value checked where it is read: a bad value is refused with one sentence that names the
// setting and the value, the same in the tool and in both windows, never replaced by a
// default behind the operator's back.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>
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
    // [Station] ShiftStart: the local times the line's shifts start at, earliest first; one
    // shift from midnight when none are given.
    QList<QTime> shiftStarts = {QTime(0, 0)};
};

// The times a list such as "06:00,14:00,22:00" gives, earliest first; nothing (error set,
// naming source) for a time that is not HH:MM, or one given twice.
std::optional<QList<QTime>> ParseShiftStarts(const QString& text, const QString& source,
                                             QString& error);

// When the shift that localTime falls in started: the latest of starts at or before it,
// today or (before today's first) yesterday. starts: earliest first, never empty.
QDateTime ShiftStartAt(const QList<QTime>& starts, const QDateTime& localTime);

// The station's configuration, or nothing with the sentence for the operator in error.
std::optional<StationConfig> ReadStationConfig(const StationOptions& options, QString& error);

}  // namespace korvane
