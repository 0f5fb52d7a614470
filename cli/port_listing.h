// The tool's view of the serial ports: which ones this machine has, what is known of
// each and which COM number stands for it; and the assignment of a COM number to one.
#pragma once

#include <QStringList>
#include <cstdio>

namespace korvane {

// korvane-flash ports [--assign COMn DEVICE]: arguments as the process got them, the
// program's name first and "ports" second. Returns the exit status (0, 1 failed, 2 usage).
int PortsCommand(const QStringList& arguments, std::FILE* out, std::FILE* err);

}  // namespace korvane
