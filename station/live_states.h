// A station's fixtures as the journal shows them live: each one's state, written at each
// change but at most once a second, and the station's heartbeat every ten seconds, from a
// thread of their own so that a slow or absent server never holds up a fixture. While the
// server is away the latest state of each fixture waits, and is written once it is back:
// only the latest counts for whoever watches the line.
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "station/fixture_watch.h"
#include "station/journal_live.h"

namespace korvane {

class LiveStates {
public:
    static constexpr std::chrono::milliseconds kLeastInterval{1000};
    static constexpr std::chrono::seconds kHeartbeat{10};

    // ports: the station's fixtures, in their order.
    LiveStates(Journal journal, StationSeen station, const std::vector<QString>& ports);
    // Writes every fixture as stopped, and waits for the writes.
    ~LiveStates();
    LiveStates(const LiveStates&) = delete;
    LiveStates& operator=(const LiveStates&) = delete;

    // An observer for fixture that tells its state here and everything to shown, as it was.
    FixtureObserver& Around(size_t fixture, FixtureObserver& shown);
    // The observers of every fixture, around shown[i] for fixture i.
    std::vector<FixtureObserver*> Around(const std::vector<FixtureObserver*>& shown);

    // The fixture's state is now state; written within a second.
    void Set(size_t fixture, const FixtureLive& state);

private:
    class Observer;
    struct Slot {
        FixtureLive state;
        bool due = false;  // changed since last written
        std::chrono::steady_clock::time_point written;
    };

    void Write();

    Journal journal;
    StationSeen station;
    std::vector<std::unique_ptr<Observer>> observers;
    std::mutex mutex;
    std::condition_variable woken;
    std::vector<Slot> fixtures;
    bool ending = false;
    std::thread writer;
};

}  // namespace korvane
