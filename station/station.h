// What a front end runs devices with at this station: where numbers come from (the
// profile's counter, or the journal's shared sequence) and the journal that records every
// run. Read from the profile's "Journal" section, with the tool's options over it.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "flashing/flash_run.h"
#include "station/fixture_chips.h"
#include "station/journal_run.h"
#include "station/profile_counter.h"

namespace korvane {

struct StationOptions {
    std::optional<QString> journal;  // a libpq URI, or an SQLite file
    std::optional<QString> station;
    std::optional<QString> counter;  // "profile" or "journal"
    std::optional<int> lease;        // numbers claimed at once; 0: none, no run without server
    std::optional<QString> rework;   // "new", "keep" or "refuse": a chip flashed before
    std::optional<bool> verify;      // read the loader image back after writing it
    // The keys whose signatures let a package be flashed, over [Packages] TrustedKeys.
    std::optional<QString> trustedKeys;
    // The fixture's wiring (--fixture), over [Fixture] Wiring.
    std::optional<QString> wiring;
};

// One run's share of a station that runs several at once: its own record, and numbers
// from the station's one counter.
struct StationRun {
    std::unique_ptr<JournalRecorder> recorder;
    std::unique_ptr<SequenceNumbers> numbers;
};

class Station {
public:
    // The largest lease a station may claim at once.
    static constexpr int kMaxLease = 10000;
    // Another instance of the same name seen within this many hours is taken to be running.
    static constexpr int kLiveHours = 12;
    // The time (UTC, ISO 8601) since which a station seen is taken to be running.
    static QString LiveSince();

    // Null (error set) for settings that name no known counter.
    static std::unique_ptr<Station> SetUp(const StationOptions& options, QString& error);

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
    Rework ReworkRule() const { return rework; }
    bool VerifyLoader() const { return verify; }
    // The trusted keys' path as a run takes it; empty when the station trusts none.
    const std::string& TrustedKeys() const { return trustedKeys; }
    // How this station's fixtures wire their reset lines.
    const FixtureWiring& Wiring() const { return wiring; }
    const QString& Name() const { return name; }
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
    Station(QString where, QString name, QString instance, bool numbersFromJournal, int lease);

    QString where;
    QString name;
    QString instance;
    int lease;
    Rework rework = Rework::kAsk;
    bool verify = false;
    std::string trustedKeys;
    FixtureWiring wiring;
    FixtureChips chips;

    JournalRecorder recorder;
    std::unique_ptr<ProfileCounter> profileCounter;
    std::unique_ptr<JournalCounter> journalCounter;
};

}  // namespace korvane
