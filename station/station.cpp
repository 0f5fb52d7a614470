#include "station/station.h"

#include <QSysInfo>

#include "settings/profile.h"

namespace korvane {

Station::Station(QString where, QString name, bool numbersFromJournal)
    : recorder(std::move(where), std::move(name)) {
    if (numbersFromJournal) {
        journalCounter = std::make_unique<JournalCounter>(recorder);
    } else {
        profileCounter = std::make_unique<ProfileCounter>();
    }
}

std::unique_ptr<Station> Station::SetUp(const StationOptions& options, QString& error) {
    const JournalSettings saved = ReadJournalSettings();
    QString where = options.journal.value_or(saved.database);
    if (where.isEmpty()) {
        where = Journal::DefaultPath();
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
