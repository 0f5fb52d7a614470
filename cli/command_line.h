// The tool's command line read against the command table: the command it names, its
// options checked, its help, and then the command run.
#pragma once

#include <QStringList>
#include <cstdio>

namespace korvane {

// arguments as the process got them, the program's name first. Returns the exit status.
int RunCommandLine(const QStringList& arguments, std::FILE* out, std::FILE* err);

}  // namespace korvane
