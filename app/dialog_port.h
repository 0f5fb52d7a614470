// The port that an index of the main window's port box stands for, shared by the parts of
// the window that describe the port and those that open it.
#pragma once

#include "flashing/port_choice.h"

namespace korvane {

// The port a port-box index stands for: COM(index + 1), the number taken modulo 256 as
// the port's number is a byte, and the device it stands for at this station.
PortChoice PortOf(int index);

}  // namespace korvane
