#include "station/station_session.h"

#include <QSysInfo>
#include <utility>

#include "settings/profile.h"
#include "settings/serial_ports.h"

namespace korvane {

StationSession::StationSession(std::unique_ptr<Station> stationIn, std::vector<PortChoice> portsIn)
    : station(std::move(stationIn)), ports(std::move(portsIn)) {}

std::unique_ptr<StationSession> StationSession::Open(const StationOptions& options,
                                                     const QStringList& names, Unnamed unnamed,
                                                     SessionRefusal& refusal) {
    refusal = {true, {}};
    const std::optional<StationConfig> config = ReadStationConfig(options, refusal.text);
    if (!config) {
        return nullptr;
    }
    const QStringList chosen =
        names.isEmpty() && unnamed == Unnamed::kFixtures ? config->ports : names;
    std::vector<PortChoice> ports;
    if (!ChoosePorts(chosen, ReadProfile().portIndex, ports, refusal.text)) {
        return nullptr;
    }
    std::unique_ptr<Station> station = Station::SetUp(*config, refusal.text);
    if (!station) {
        return nullptr;
    }
    return std::unique_ptr<StationSession>(new StationSession(std::move(station), ports));
}

StationSession::~StationSession() {
    if (numbersTaken) {
        station->GiveForRuns();
    }
}

bool StationSession::Start(std::optional<int> chosen, SessionRefusal& refusal) {
    warnings = station->Announce().split('\n', Qt::SkipEmptyParts);
    std::string why;
    numbersTaken = station->TakeForRuns(chosen, why);
    for (const std::string& alert : station->Recorder().TakeAlerts()) {
        warnings << QString::fromStdString(alert);
    }
    if (!numbersTaken) {
        refusal = {false, QString::fromStdString(why)};
    }
    return numbersTaken;
}

RunOutcome StationSession::RunOne(FlashRun& run, const std::string& packagePath,
                                  const PortChoice& port, std::optional<int> chosen) {
    FlashRequest request = station->RequestFor(packagePath, port);
    request.sequenceNumber = chosen;
    return run.Run(request, station->Numbers(), &station->Recorder());
}

void StationSession::OnEveryPort(const std::function<void(size_t port)>& work) {
    OnEveryPortAtOnce(ports.size(), work);
}

std::vector<PortRun> StationSession::RunOnEveryPort(const std::string& packagePath,
                                                    PortRunsObserver& observer) {
    return korvane::RunOnEveryPort(*station, packagePath, ports, observer);
}

std::unique_ptr<LiveStates> StationSession::NewLiveStates() const {
    std::vector<QString> names;
    for (const PortChoice& port : ports) {
        names.push_back(QString::fromStdString(port.name));
    }
    return std::make_unique<LiveStates>(
        station->Recorder().Store(),
        StationSeen{station->Instance(), station->Name(), QSysInfo::machineHostName(), {}}, names);
}

std::vector<FixtureCounts> StationSession::Watch(const std::string& packagePath,
                                                 const std::vector<FixtureObserver*>& observers,
                                                 WatchControl& control) {
    const std::unique_ptr<LiveStates> live = NewLiveStates();
    return WatchEveryPort(*station, packagePath, ports, live->Around(observers), control,
                          station->Config().probeMs);
}

std::unique_ptr<BackgroundWatch> StationSession::WatchInBackground(
    const std::string& packagePath, std::vector<FixtureObserver*> observers,
    std::function<void()> ended) {
    liveStates = NewLiveStates();
    return std::make_unique<BackgroundWatch>(*station, packagePath, ports,
                                             liveStates->Around(observers),
                                             station->Config().probeMs, std::move(ended));
}

}  // namespace korvane
