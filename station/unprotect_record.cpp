#include "station/unprotect_record.h"

namespace korvane {

UnprotectOutcome UnprotectAndRecord(Station& station, const PortChoice& port) {
    DeviceLink link;
    UnprotectOutcome outcome = UnprotectDevice(link, port, station.Wiring());
    QString journalError;
    if (outcome.sent &&
        !station.Recorder().Store().RecordUnprotect(
            station.Name(), QString::fromStdString(port.name), QString::fromStdString(outcome.uid),
            outcome.cleared ? QStringLiteral("succeeded") : QStringLiteral("failed"),
            journalError)) {
        outcome.said += "; the journal " + station.Recorder().Store().Where().toStdString() +
                        " did not keep it: " + journalError.toStdString();
    }
    return outcome;
}

}  // namespace korvane
