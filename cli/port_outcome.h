// A port's run as the tool tells it: why it ended, in the tool's own commands, and the
// JSON object a line's own software reads of it.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <mutex>

#include "flashing/flash_run.h"
#include "station/journal.h"
#include "station/port_runs.h"

namespace korvane {

// The reason a run ended with, as the tool says it: with what the operator can do about
// it, in the tool's own commands and options.
QString ReasonWithAdvice(const RunOutcome& outcome, const PortChoice& port);

struct PortOutcome {
    PortChoice port;
    RunOutcome outcome;
    JournalRecord record;  // as the journal completed it (when the run began)
    QString status;        // the last thing said about this port: its reason, or last status

    QString Name() const { return QString::fromStdString(port.name); }
    // What is said of the port once its run is over: why it failed, or the journal's last
    // status of the run.
    // The journal's status is the run's last status line, with bytes a terminal cannot take
    // already escaped.
    void SetStatus() {
        status = outcome.reason.empty() ? record.status : ReasonWithAdvice(outcome, port);
    }
    // A package that went in while its number could not be saved has not done its job.
    bool Succeeded() const { return outcome.Passed(); }
};

PortOutcome OutcomeOf(const PortRun& run);

// What every JSON object of the tool starts with: when (ISO 8601 with the offset from
// UTC), at which station, by which version of the tool, in which schema, and its code.
QJsonObject JsonHeading(const QString& station, const std::string& code);

// The object for one device, on one line; station is the station's name.
QByteArray JsonLine(const PortOutcome& port, const QString& package, const QString& station);

// JsonLine, written whole while no other port's is.
void WriteJsonLine(const PortOutcome& port, const QString& package, const QString& station,
                   std::mutex& printing, std::FILE* out);

}  // namespace korvane
