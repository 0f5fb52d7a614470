#include "station/station.h"

#include <QSysInfo>

#include "settings/profile.h"

namespace korvane {

Station::Station(QString where, QString name, bool numbersFromJournal)
    : where(where), name(name), recorder(std::move(where), std::move(name)) {
    if (numbersFromJournal) {
        journalCounter = std::make_unique<JournalCounter>(recorder);
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
    return std::unique_ptr<Station>(new Station(where, name, counter == "journal"));
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
    return !chosen || SetLinesNextNumber(recorder.Store(), *chosen, why);
}

std::unique_ptr<StationRun> Station::NewRun() {
    auto run = std::make_unique<StationRun>();
    run->recorder = std::make_unique<JournalRecorder>(where, name);
    if (journalCounter) {
        run->numbers = std::make_unique<JournalCounter>(*run->recorder);
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
