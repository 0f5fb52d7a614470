#include "flashing/port_choice.h"

namespace korvane {

std::string PortShown(const PortChoice& port) {
    return port.name == port.device ? port.device : port.name + " (" + port.device + ")";
}

}  // namespace korvane
