// A JSON account of what the simulated device holds and the service requests it saw.
#pragma once

#include <string>

#include "devsim/device_snapshot.h"
#include "devsim/simulated_device.h"

namespace korvane::devsim {

std::string DeviceReport(const DeviceSnapshot& device);
std::string DeviceReport(const SimulatedDevice& device);

}  // namespace korvane::devsim
