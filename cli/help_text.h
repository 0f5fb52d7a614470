// The help pages, written from the command table: a synopsis line for every form, and the
// options under their group headings. The layout is one that help2man turns into a manual
// page: "Usage:" and "or:" lines, one form each, become its synopsis, and every heading
// followed by indented options a section of it.
#pragma once

#include <QString>
#include <QStringList>

#include "cli/command_table.h"

namespace korvane {

// One line for each form of the command, the tool's name first.
QStringList Synopsis(const Command& command);

// The command's help page: its forms, what it does, its options. The flashing command's
// page is the tool's own: every form of every command, and the list of commands.
QString HelpPage(const Command& command);

}  // namespace korvane
