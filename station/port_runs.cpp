#include "station/port_runs.h"

#include <utility>

#include "station/port_fixture.h"

namespace korvane {

void OnEveryPortAtOnce(size_t ports, const std::function<void(size_t port)>& work) {
    std::vector<std::thread> threads;
    threads.reserve(ports);
    for (size_t i = 0; i < ports; ++i) {
        threads.emplace_back([&work, i] { work(i); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

std::vector<PortRun> RunOnEveryPort(Station& station, const std::string& packagePath,
                                    const std::vector<PortChoice>& ports,
                                    PortRunsObserver& observer) {
    std::vector<PortRun> runs(ports.size());
    OnEveryPortAtOnce(ports.size(), [&](size_t i) {
        PortRun& run = runs[i];
        run.port = ports[i];
        observer.Started(i);
        DeviceLink link;
        run.outcome = station.RunOn(packagePath, run.port, link, observer.Feedback(i), run.record);
        observer.Ended(i, run);
    });
    return runs;
}

std::vector<FixtureCounts> WatchEveryPort(Station& station, const std::string& packagePath,
                                          const std::vector<PortChoice>& ports,
                                          const std::vector<FixtureObserver*>& observers,
                                          WatchControl& control, uint32_t probeMs) {
    std::vector<FixtureCounts> counts(ports.size());
    OnEveryPortAtOnce(ports.size(), [&](size_t i) {
        PortFixture fixture(station, packagePath, ports[i]);
        counts[i] = WatchFixture(fixture, *observers[i], control, probeMs);
    });
    return counts;
}

BackgroundWatch::BackgroundWatch(Station& station, std::string packagePath,
                                 std::vector<PortChoice> ports,
                                 std::vector<FixtureObserver*> observers, uint32_t probeMs,
                                 std::function<void()> ended)
    : thread([this, &station, packagePath = std::move(packagePath), ports = std::move(ports),
              observers = std::move(observers), probeMs, ended = std::move(ended)] {
          WatchEveryPort(station, packagePath, ports, observers, control, probeMs);
          ended();
      }) {}

BackgroundWatch::~BackgroundWatch() {
    control.StopStartingDevices();
    if (thread.joinable()) {
        thread.join();
    }
}

}  // namespace korvane
