// Faults by name, as korvane-devsim takes them on its command line and as test runners
// pass them on: "silent", "slow-erase=3600", "refuse-request=1.2@0x0800FF00", ...; and
// the device's make the same way: "uid=HEX24", "flash-kib=N".
#pragma once

#include <string>
#include <vector>

#include "devsim/simulated_device.h"

namespace korvane::devsim {

// Reads a non-negative number in decimal or 0x-hexadecimal; false unless the whole text
// is one.
bool ParseNumber(const std::string& text, long* value);

// Adds one named fault to faults. False (faults unchanged) for a name or value that is
// not understood.
bool ApplyFault(const std::string& fault, DeviceFaults* faults);

// Every fault in a list separated by blanks or commas. False at the first one not
// understood.
bool ApplyFaultList(const std::string& list, DeviceFaults* faults);

// The names that ApplyFault turns back into faults, in a fixed order: two fault sets are
// the same exactly when their names are.
std::vector<std::string> FaultNames(const DeviceFaults& faults);

// The faults as korvane-devsim's options: "--fault NAME" for each, blank-separated.
std::string FaultOptions(const DeviceFaults& faults);

}  // namespace korvane::devsim
