#include "station/station.h"

#include <QDateTime>
#include <QFile>
#include <QSysInfo>
#include <map>

#include "settings/profile.h"
#include "station/station_identity.h"

namespace korvane {

Station::Station(QString where, QString name, QString instance, bool numbersFromJournal, int lease)
    : where(where),
      name(name),
      instance(instance),
      lease(lease),
      recorder(std::move(where), std::move(name), std::move(instance), lease > 0) {
    if (numbersFromJournal) {
        journalCounter = std::make_unique<JournalCounter>(recorder, lease);
    } else {
        profileCounter = std::make_unique<ProfileCounter>();
    }
}

std::unique_ptr<Station> Station::SetUp(const StationOptions& options, QString& error) {
    const JournalSettings saved = ReadJournalSettings();
    if (!saved.problem.isEmpty()) {
        error = saved.problem;
        return nullptr;
    }
    QString where = options.journal.value_or(saved.database);
    if (where.isEmpty()) {
        where = Journal::DefaultPath();
    }
    if (const QString problem = JournalAddressProblem(where); !problem.isEmpty()) {
        error = problem;
        return nullptr;
    }
    QString name = options.station.value_or(saved.station);
    if (name.isEmpty()) {
        name = QSysInfo::machineHostName();
    }
    const QString counter = options.counter.value_or(saved.counter).toLower();
    if (!counter.isEmpty() && counter != "profile" && counter != "journal") {
        error = QStringLiteral("The counter \"%1\" is neither \"profile\" nor \"journal\".")
                    .arg(counter);
        return nullptr;
    }
    int lease = 0;
    if (options.lease) {
        lease = *options.lease;
    } else if (!saved.lease.isEmpty()) {
        bool number = false;
        lease = saved.lease.toInt(&number);
        if (!number) {
            lease = -1;
        }
    }
    if (lease < 0 || lease > kMaxLease) {
        error = QStringLiteral("The lease \"%1\" is not a number of sequence numbers from 0 to %2.")
                    .arg(options.lease ? QString::number(*options.lease) : saved.lease)
                    .arg(kMaxLease);
        return nullptr;
    }
    if (lease > 0 && counter != "journal") {
        error = QStringLiteral(
                    "A lease of %1 numbers is for a station whose numbers come from the "
                    "journal (Counter=journal); this one's come from its profile.")
                    .arg(lease);
        return nullptr;
    }
    const StationSettings flashing = ReadStationSettings();
    const QString rework = options.rework.value_or(flashing.rework).toLower();
    static const std::map<QString, Rework> rules = {{"", Rework::kAsk},
                                                    {"new", Rework::kNew},
                                                    {"keep", Rework::kKeep},
                                                    {"refuse", Rework::kRefuse}};
    const auto rule = rules.find(rework);
    if (rule == rules.end()) {
        error =
            QStringLiteral("The rework rule \"%1\" is none of \"new\", \"keep\" and \"refuse\".")
                .arg(rework);
        return nullptr;
    }
    const QString verify = flashing.verify.toLower();
    if (!options.verify && !verify.isEmpty() && verify != QLatin1String("loader")) {
        error = QStringLiteral("[Station] Verify=%1 is not \"loader\", the one image read back.")
                    .arg(flashing.verify);
        return nullptr;
    }
    const std::optional<FixtureWiring> wiring = ReadFixtureWiring(options.wiring, error);
    if (!wiring) {
        return nullptr;
    }
    const QString instance = StationInstance(error);
    if (instance.isEmpty()) {
        return nullptr;
    }
    auto station =
        std::unique_ptr<Station>(new Station(where, name, instance, counter == "journal", lease));
    station->rework = rule->second;
    station->verify = options.verify.value_or(verify == QLatin1String("loader"));
    station->trustedKeys =
        QFile::encodeName(options.trustedKeys.value_or(flashing.trustedKeys)).toStdString();
    station->wiring = *wiring;
    return station;
}

FlashRequest Station::RequestFor(const std::string& packagePath, const PortChoice& port) const {
    FlashRequest request;
    request.packagePath = packagePath;
    request.port = port;
    request.rework = rework;
    request.verifyLoader = verify;
    request.trustedKeys = trustedKeys;
    request.wiring = wiring;
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
    if (lease > 0) {
        return journalCounter->Take(chosen, why);
    }
    return !chosen || SetLinesNextNumber(recorder.Store(), *chosen, why);
}

std::unique_ptr<StationRun> Station::NewRun() {
    auto run = std::make_unique<StationRun>();
    run->recorder = std::make_unique<JournalRecorder>(where, name, instance, lease > 0);
    if (journalCounter) {
        run->numbers = std::make_unique<JournalCounter>(*run->recorder, lease);
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
