// A station at work: its configuration read and checked, its ports chosen, the station set
// up, the operator warned, the numbers taken once for every run, and given back at the end.
// The tool's many-port and watch forms and the station window open one and drive it; it
// runs the devices through station/port_runs.h, and they only display what it tells them.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/live_states.h"
#include "station/port_runs.h"
#include "station/station.h"

namespace korvane {

// Why a session could not open or start.
struct SessionRefusal {
    // A setting, an option or a port that is not understood: the operator's to mend (the
    // tool's exit status 2). Otherwise the station could not start (numbers not to be had).
    bool usage = false;
    QString text;
};

class StationSession {
public:
    // Which ports a session runs on when none are named.
    enum class Unnamed {
        kProfilePort,  // the profile's one port, as a single run takes it
        kFixtures,     // the station's fixtures, [Station] Ports
    };

    // Reads the configuration (options over the profile), chooses the ports (named, else as
    // unnamed says) and sets the station up. Nothing is asked of the journal yet. Null
    // (refusal set) when any of it is refused.
    static std::unique_ptr<StationSession> Open(const StationOptions& options,
                                                const QStringList& ports, Unnamed unnamed,
                                                SessionRefusal& refusal);
    // Gives back the numbers taken.
    ~StationSession();
    StationSession(const StationSession&) = delete;
    StationSession& operator=(const StationSession&) = delete;

    // Tells the journal this station runs and takes the counter once for every run (chosen:
    // the operator's first number). False (refusal set) when no run may start. What the
    // operator must be told first, and what the spool's records brought back, are in
    // Warnings either way.
    bool Start(std::optional<int> chosen, SessionRefusal& refusal);
    const QStringList& Warnings() const { return warnings; }

    Station& GetStation() { return *station; }
    const StationConfig& Config() const { return station->Config(); }
    const std::vector<PortChoice>& Ports() const { return ports; }

    // One run on port as the window runs them, one at a time with the operator between:
    // the counter is taken for this run alone (another station may move the line's
    // sequence meanwhile), the journal records it, and run's hooks (the window's clock, its
    // questions) are heard. chosen: the operator's own number for it.
    RunOutcome RunOne(FlashRun& run, const std::string& packagePath, const PortChoice& port,
                      std::optional<int> chosen);
    // work(i) for every port at once, for what is done on several ports that is no flash
    // run (reading what each device says of itself, lifting its read protection).
    void OnEveryPort(const std::function<void(size_t port)>& work);
    // One device on every port at once.
    std::vector<PortRun> RunOnEveryPort(const std::string& packagePath, PortRunsObserver& observer);
    // Every port a fixture, until control stops them; observers[i] hears port i.
    std::vector<FixtureCounts> Watch(const std::string& packagePath,
                                     const std::vector<FixtureObserver*>& observers,
                                     WatchControl& control);
    // The same watch behind a window; ended is called on the watch's thread. The watch ends
    // before the session does.
    std::unique_ptr<BackgroundWatch> WatchInBackground(const std::string& packagePath,
                                                       std::vector<FixtureObserver*> observers,
                                                       std::function<void()> ended);

private:
    StationSession(std::unique_ptr<Station> station, std::vector<PortChoice> ports);
    // The fixtures' live states in the journal, for a watch.
    std::unique_ptr<LiveStates> NewLiveStates() const;

    std::unique_ptr<Station> station;
    std::vector<PortChoice> ports;
    QStringList warnings;
    bool numbersTaken = false;
    std::unique_ptr<LiveStates> liveStates;  // of the watch in the background
};

}  // namespace korvane
