// The port a run opens, as the operator chose it: what settings resolve a port name to,
// what every run and message names a fixture by.
#pragma once

#include <string>

namespace korvane {

// The port a run opens: the device, and the name the operator chose it by ("COM3", or
// the device's own path), which the journal records.
struct PortChoice {
    std::string name;
    std::string device;
};

// How messages name a port: "COM3 (/dev/ttyUSB0)", or the device's path alone when the
// operator named the device.
std::string PortShown(const PortChoice& port);

}  // namespace korvane
