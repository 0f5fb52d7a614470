#include "station/port_fixture.h"

#include <utility>

#include "platform/unique_id.h"

namespace korvane {

PortFixture::PortFixture(Station& station, std::string packagePath, PortChoice port)
    : station(station), packagePath(std::move(packagePath)), port(std::move(port)) {}

ProbeFinding PortFixture::Probe() {
    ProbeFinding found;
    // A port that cannot be opened (an adapter not plugged in yet) holds no device.
    if (!link.OpenDevice(port.device, DeviceLink::kBaudRate)) {
        return found;
    }
    link.ResetToBootloader(station.Wiring());
    link.SetReadWindowMs(DeviceLink::kProbeWindowMs);
    if (link.Sync()) {
        found.kind = ProbeFinding::Kind::kDevice;
        DeviceSignature signature;
        if (link.Identity().Lists(bootloader::kReadMemory)) {
            switch (link.ReadElectronicSignature(&signature)) {
                case MemoryRead::kRead:
                    // An ID many chips share tells this one from none: such a device is
                    // new only once the fixture has been seen empty.
                    if (IsChipIdentity(signature.uid)) {
                        found.uid = UniqueIdText(signature.uid);
                    }
                    break;
                case MemoryRead::kRefused:
                    found.kind = ProbeFinding::Kind::kProtected;
                    break;
                case MemoryRead::kNotSent:
                case MemoryRead::kSilence:
                case MemoryRead::kFlood:
                    break;
            }
        }
    }
    link.SetReadWindowMs(SerialPort::kReadWindowMs);
    // Closed between probes: the run opens the port afresh, and nothing holds it meanwhile.
    link.Close();
    return found;
}

RunOutcome PortFixture::Flash(OperatorFeedback& feedback) {
    return station.RunOn(packagePath, port, link, feedback, record);
}

void PortFixture::TakenOut() {
    station.ChipTakenOut(port);
}

}  // namespace korvane
