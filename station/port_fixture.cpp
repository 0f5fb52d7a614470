#include "station/port_fixture.h"

#include <utility>

#include "flashing/device_operations.h"
#include "platform/unique_id.h"

namespace korvane {

PortFixture::PortFixture(Station& station, std::string packagePath, PortChoice port)
    : station(station), packagePath(std::move(packagePath)), port(std::move(port)) {}

ProbeFinding PortFixture::Probe() {
    ConnectOptions options;
    options.wiring = station.Wiring();
    options.syncWindowMs = DeviceLink::kProbeWindowMs;
    // A port that cannot be opened (an adapter not plugged in yet) holds no device.
    const DeviceContact contact = ConnectToDevice(link, port.device, options);
    ProbeFinding found;
    if (contact.Connected()) {
        found.kind =
            contact.ReadProtected() ? ProbeFinding::Kind::kProtected : ProbeFinding::Kind::kDevice;
        // An ID many chips share tells this one from none: such a device is new only once
        // the fixture has been seen empty.
        if (contact.signature && IsChipIdentity(contact.signature->uid)) {
            found.uid = UniqueIdText(contact.signature->uid);
        }
    }
    // Closed between probes: the run opens the port afresh, and nothing holds it meanwhile.
    link.Close();
    return found;
}

RunOutcome PortFixture::Flash(OperatorFeedback& feedback) {
    // Nobody is asked at a fixture: without a rule of the station's, a chip flashed before
    // is taken as the fixtures' own rule says.
    FlashRunHooks hooks;
    hooks.askRework = [](const EarlierRun&) { return Rework::kUnlessPassed; };
    return station.RunOn(packagePath, port, link, feedback, record, std::move(hooks));
}

std::string PortFixture::Done(const std::string& uid) {
    if (station.ReworkRule() != Rework::kAsk) {
        return {};
    }
    const std::optional<EarlierRun> earlier = station.Recorder().EarlierRunOf(uid);
    return earlier && earlier->passed ? AlreadyFlashed(*earlier) : std::string();
}

void PortFixture::TakenOut() {
    station.ChipTakenOut(port);
}

}  // namespace korvane
