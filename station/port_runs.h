// Running devices at a station: once on every port at once, or every port as a fixture
// that flashes each new device put into it. This is the one owner of a station's run
// threads; the tool's many-port and watch forms and the station window drive it and only
// display what it tells them.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "station/fixture_watch.h"
#include "station/station.h"

namespace korvane {

// One port's run: the port, how the run ended, and the journal's record of it.
struct PortRun {
    PortChoice port;
    RunOutcome outcome;
    JournalRecord record;  // as the journal completed it (empty when the run made none)
};

// What a front end hears of the runs on every port. Calls come from the ports' threads.
class PortRunsObserver {
public:
    virtual ~PortRunsObserver() = default;
    // Where the run on port (an index into the ports) tells its status and progress.
    virtual OperatorFeedback& Feedback(size_t port) = 0;
    virtual void Started(size_t port) = 0;
    virtual void Ended(size_t port, const PortRun& run) = 0;
};

// Runs work(i) for every port index i below ports at once, each on a thread of its own,
// and waits for them all: for what a front end does on several ports that is no flash
// run (reading what each device says of itself, lifting its read protection).
void OnEveryPortAtOnce(size_t ports, const std::function<void(size_t port)>& work);

// One device on every port, each run on a thread of its own, all at once; returns once all
// have ended. The station's counter is taken for the runs (Station::TakeForRuns) before.
std::vector<PortRun> RunOnEveryPort(Station& station, const std::string& packagePath,
                                    const std::vector<PortChoice>& ports,
                                    PortRunsObserver& observer);

// Every port a fixture, each watched on a thread of its own until control stops them;
// observers[i] hears port i. Each fixture's counts, in the order of the ports.
std::vector<FixtureCounts> WatchEveryPort(Station& station, const std::string& packagePath,
                                          const std::vector<PortChoice>& ports,
                                          const std::vector<FixtureObserver*>& observers,
                                          WatchControl& control, uint32_t probeMs);

// The same watch in the background, for a window that must stay live meanwhile. ended is
// called on the watch's own thread once every fixture has stopped.
class BackgroundWatch {
public:
    BackgroundWatch(Station& station, std::string packagePath, std::vector<PortChoice> ports,
                    std::vector<FixtureObserver*> observers, uint32_t probeMs,
                    std::function<void()> ended);
    // Stops starting devices and waits for those being flashed.
    ~BackgroundWatch();
    BackgroundWatch(const BackgroundWatch&) = delete;
    BackgroundWatch& operator=(const BackgroundWatch&) = delete;

    // The devices being flashed finish; no new one starts.
    void StopStartingDevices() { control.StopStartingDevices(); }

private:
    WatchControl control;
    std::thread thread;
};

}  // namespace korvane
