// What a front end runs devices with at this station: where numbers come from (the
// profile's counter, or the journal's shared sequence) and the journal that records every
// run. Read from the profile's "Journal" section, with the tool's options over it.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "station/journal_run.h"
#include "station/profile_counter.h"

namespace korvane {

struct StationOptions {
    std::optional<QString> journal;  // a libpq URI, or an SQLite file
    std::optional<QString> station;
    std::optional<QString> counter;  // "profile" or "journal"
};

// One run's share of a station that runs several at once: its own record, and numbers
// from the station's one counter.
struct StationRun {
    std::unique_ptr<JournalRecorder> recorder;
    std::unique_ptr<SequenceNumbers> numbers;
};

class Station {
public:
    // Null (error set) for settings that name no known counter.
    static std::unique_ptr<Station> SetUp(const StationOptions& options, QString& error);

    SequenceNumbers& Numbers();
    JournalRecorder& Recorder() { return recorder; }
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
    Station(QString where, QString name, bool numbersFromJournal);

    QString where;
    QString name;

    JournalRecorder recorder;
    std::unique_ptr<ProfileCounter> profileCounter;
    std::unique_ptr<JournalCounter> journalCounter;
};

}  // namespace korvane
