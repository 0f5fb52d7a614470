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

class Station {
public:
    // Null (error set) for settings that name no known counter.
    static std::unique_ptr<Station> SetUp(const StationOptions& options, QString& error);

    SequenceNumbers& Numbers();
    JournalRecorder& Recorder() { return recorder; }
    bool NumbersFromJournal() const { return journalCounter != nullptr; }
    // The profile's counter, when numbers come from it.
    ProfileCounter* Profile() { return profileCounter.get(); }

private:
    Station(QString where, QString name, bool numbersFromJournal);

    JournalRecorder recorder;
    std::unique_ptr<ProfileCounter> profileCounter;
    std::unique_ptr<JournalCounter> journalCounter;
};

}  // namespace korvane
