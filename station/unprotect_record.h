// A service bench's readout unprotect at a station: by the station's wiring, and kept in its
// journal, since it erases a device's whole flash.
#pragma once

#include "flashing/device_operations.h"
#include "station/station.h"

namespace korvane {

// Lifts the read protection of the device on port (UnprotectDevice) and has the journal
// keep every readout unprotect that went to a device; a journal that did not keep it is
// added to what is said.
UnprotectOutcome UnprotectAndRecord(Station& station, const PortChoice& port);

}  // namespace korvane
