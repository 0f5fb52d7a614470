#include "station/station.h"

#include <QDateTime>
#include <QSysInfo>
#include <utility>

#include "station/station_identity.h"

namespace korvane {

QString JournalAddress(const QString& given, QString& error) {
    const QString where = given.isEmpty() ? Journal::DefaultPath() : given;
    error = JournalAddressProblem(where);
    return error.isEmpty() ? where : QString();
}

Station::Station(StationConfig configIn, QString whereIn, QString instanceIn)
    : config(std::move(configIn)),
      where(std::move(whereIn)),
      instance(std::move(instanceIn)),
      recorder(where, config.name, instance, config.lease > 0) {
    if (config.numbersFromJournal) {
        journalCounter = std::make_unique<JournalCounter>(recorder, config.lease);
    } else {
        profileCounter = std::make_unique<ProfileCounter>();
    }
}

std::unique_ptr<Station> Station::SetUp(const StationOptions& options, QString& error) {
    const std::optional<StationConfig> config = ReadStationConfig(options, error);
    return config ? SetUp(*config, error) : nullptr;
}

std::unique_ptr<Station> Station::SetUp(const StationConfig& config, QString& error) {
    const QString where = JournalAddress(config.journal, error);
    if (where.isEmpty()) {
        return nullptr;
    }
    const QString instance = StationInstance(error);
    if (instance.isEmpty()) {
        return nullptr;
    }
    return std::unique_ptr<Station>(new Station(config, where, instance));
}

FlashRequest Station::RequestFor(const std::string& packagePath, const PortChoice& port) const {
    FlashRequest request;
    request.packagePath = packagePath;
    request.port = port;
    request.rework = config.rework;
    request.verifyLoader = config.verifyLoader;
    request.trustedKeys = config.trustedKeys;
    request.wiring = config.wiring;
    return request;
}

RunOutcome Station::RunOn(const std::string& packagePath, const PortChoice& port, DeviceLink& link,
                          OperatorFeedback& feedback, JournalRecord& record, FlashRunHooks hooks) {
    const std::unique_ptr<StationRun> share = NewRun();
    hooks.claimChip = [this, fixture = PortShown(port)](const std::string& uid) {
        return chips.Claim(fixture, uid);
    };
    FlashRun run(link, feedback, std::move(hooks));
    const RunOutcome outcome =
        run.Run(RequestFor(packagePath, port), *share->numbers, share->recorder.get());
    record = share->recorder->RunId().isEmpty() ? JournalRecord{} : share->recorder->LastRecord();
    return outcome;
}

QString Station::LiveSince() {
    return QDateTime::currentDateTimeUtc().addSecs(-kLiveHours * 3600).toString(Qt::ISODateWithMs);
}

void Station::ChipTakenOut(const PortChoice& port) {
    chips.Release(PortShown(port));
}

QString Station::Warning() const {
    if (journalCounter || !recorder.Store().IsServer()) {
        return {};
    }
    return QStringLiteral(
               "The journal %1 is shared by a line, but this station numbers its devices "
               "from its own profile: the line's stations will give out the same numbers, "
               "and the journal will refuse each one another device holds. Set [Journal] "
               "Counter=journal on every station of the line.")
        .arg(recorder.Store().Where());
}

QString Station::Announce() {
    QStringList said;
    const Journal& journal = recorder.Store();
    if (const QString warning = Warning(); !warning.isEmpty()) {
        said << warning;
    }
    // A journal out of reach now is said by the first run; the start goes on without it.
    QString error;
    std::vector<StationSeen> live;
    QStringList named;
    const QString& name = config.name;
    if (journal.SeeStation({instance, name, QSysInfo::machineHostName(), {}}, error) &&
        journal.LiveStations(LiveSince(), live, error)) {
        for (const StationSeen& other : live) {
            if (other.name == name && other.instance != instance) {
                named << QStringLiteral("identity %1 on %2, last seen %3")
                             .arg(ShortInstance(other.instance), other.host, other.seen);
            }
        }
    }
    if (!named.isEmpty()) {
        said << QStringLiteral(
                    "Another station runs under the name %1 (%2); this one is identity %3. "
                    "Their records and leases are told apart by identity, but a person reading "
                    "the journal cannot: give each station a name of its own ([Journal] "
                    "Station=).")
                    .arg(name, named.join("; "), ShortInstance(instance));
    }
    return said.join('\n');
}

SequenceNumbers& Station::Numbers() {
    if (journalCounter) {
        return *journalCounter;
    }
    return *profileCounter;
}

}  // namespace korvane

namespace korvane {

bool Station::TakeForRuns(std::optional<int> chosen, std::string& why) {
    if (profileCounter) {
        return profileCounter->Take(chosen, why);
    }
    // With a lease, the station's copy is brought up to date once for all of them.
    if (config.lease > 0) {
        return journalCounter->Take(chosen, why);
    }
    return !chosen || SetLinesNextNumber(recorder.Store(), *chosen, why);
}

std::unique_ptr<StationRun> Station::NewRun() {
    auto run = std::make_unique<StationRun>();
    run->recorder =
        std::make_unique<JournalRecorder>(where, config.name, instance, config.lease > 0);
    if (journalCounter) {
        run->numbers = std::make_unique<JournalCounter>(*run->recorder, config.lease);
    } else {
        run->numbers = std::make_unique<BorrowedNumbers>(*profileCounter);
    }
    return run;
}

void Station::GiveForRuns() {
    if (profileCounter) {
        profileCounter->Give();
    }
}

}  // namespace korvane
