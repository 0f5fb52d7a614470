// A fixture of a line on one serial port: probed with a reset and a synchronisation that
// waits only as long as a present bootloader needs, then the chip's identity read; a new
// device is flashed by a whole run of the station, as any other.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "link/device_link.h"
#include "station/fixture_watch.h"
#include "station/station.h"

namespace korvane {

class PortFixture : public FixtureDevice {
public:
    PortFixture(Station& station, std::string packagePath, PortChoice port);

    ProbeFinding Probe() override;
    RunOutcome Flash(OperatorFeedback& feedback) override;
    std::string Done(const std::string& uid) override;

    JournalRecord LastRecord() const override { return record; }
    void TakenOut() override;

    const PortChoice& Port() const { return port; }

private:
    Station& station;
    std::string packagePath;
    PortChoice port;
    DeviceLink link;
    JournalRecord record;
};

}  // namespace korvane
