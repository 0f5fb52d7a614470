// The tool's view of the serial ports: which ones this machine has, what is known of
// each and which COM number stands for it; and the assignment of a COM number to one.
#pragma once

#include <QStringList>
#include <cstdio>
#include <optional>

namespace korvane {

// korvane-flash ports [--assign COMn DEVICE]: assign is the COM number given with --assign,
// devices the operands after "ports". Returns the exit status (0, 1 failed, 2 usage).
int PortsCommand(const std::optional<QString>& assign, const QStringList& devices, std::FILE* out,
                 std::FILE* err);

}  // namespace korvane
