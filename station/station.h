// What a front end runs devices with at this station: where numbers come from (the
// profile's counter, or the journal's shared sequence) and the journal that records every
// run, as the station's configuration (settings/station_config.h) says.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "flashing/flash_run.h"
#include "settings/station_config.h"
#include "station/fixture_chips.h"
#include "station/journal_run.h"
#include "station/profile_counter.h"

namespace korvane {

// The journal a station records in: the address given, or the station's own SQLite file
// when none is. Empty (error set) for an address that is neither a server's nor a file's.
QString JournalAddress(const QString& given, QString& error);

// One run's share of a station that runs several at once: its own record, and numbers
// from the station's one counter.
struct StationRun {
    std::unique_ptr<JournalRecorder> recorder;
    std::unique_ptr<SequenceNumbers> numbers;
};

class Station {
public:
    // The largest lease a station may claim at once.
    static constexpr int kMaxLease = StationConfig::kMaxLease;
    // Another instance of the same name seen within this many hours is taken to be running.
    static constexpr int kLiveHours = 12;
    // The time (UTC, ISO 8601) since which a station seen is taken to be running.
    static QString LiveSince();

    // Null (error set) for a configuration whose journal cannot be named, or when the
    // station's identity can be neither read nor kept.
    static std::unique_ptr<Station> SetUp(const StationConfig& config, QString& error);
    // The same with the configuration read from the options over the profile, refused
    // (error set) as ReadStationConfig refuses it.
    static std::unique_ptr<Station> SetUp(const StationOptions& options, QString& error);
    const StationConfig& Config() const { return config; }

    SequenceNumbers& Numbers();
    JournalRecorder& Recorder() { return recorder; }
    // What the operator should know before any run of this station, or empty: a line that
    // shares one server but numbers each station from its own profile will collide.
    QString Warning() const;
    // Tells the journal that this station runs, and returns the warning with, on a line of
    // its own, another station that runs under the same name, which is easily taken for
    // this one.
    QString Announce();
    // What a run of this station does with a chip flashed before; kAsk when neither the
    // options nor the profile say (a window asks the operator, a tool takes kNew).
    Rework ReworkRule() const { return config.rework; }
    bool VerifyLoader() const { return config.verifyLoader; }
    // The trusted keys' path as a run takes it; empty when the station trusts none.
    const std::string& TrustedKeys() const { return config.trustedKeys; }
    // How this station's fixtures wire their reset lines.
    const FixtureWiring& Wiring() const { return config.wiring; }
    const QString& Name() const { return config.name; }
    // This station's identity, which its leases belong to.
    const QString& Instance() const { return instance; }
    // The request for a run of this station on port.
    FlashRequest RequestFor(const std::string& packagePath, const PortChoice& port) const;
    // One run of this station on port through link, with a share taken by NewRun (the
    // counter taken for runs first). The journal's record of it, as completed, goes into
    // record (left empty when the run made none). The chip it finds is the port's until
    // ChipTakenOut: no other port of the station flashes a chip of the same ID meanwhile.
    RunOutcome RunOn(const std::string& packagePath, const PortChoice& port, DeviceLink& link,
                     OperatorFeedback& feedback, JournalRecord& record, FlashRunHooks hooks = {});
    // The device on port was taken out: its chip is no longer there.
    void ChipTakenOut(const PortChoice& port);
    bool NumbersFromJournal() const { return journalCounter != nullptr; }
    // The profile's counter, when numbers come from it.
    ProfileCounter* Profile() { return profileCounter.get(); }

    // Several runs at once: the counter is taken once for all of them (the chosen number
    // is the first one handed out), each run gets its share, and the counter is given
    // back once they have all ended.
    bool TakeForRuns(std::optional<int> chosen, std::string& why);
    std::unique_ptr<StationRun> NewRun();
    void GiveForRuns();

private:
    Station(StationConfig config, QString where, QString instance);

    StationConfig config;
    QString where;
    QString instance;
    FixtureChips chips;

    JournalRecorder recorder;
    std::unique_ptr<ProfileCounter> profileCounter;
    std::unique_ptr<JournalCounter> journalCounter;
};

}  // namespace korvane
