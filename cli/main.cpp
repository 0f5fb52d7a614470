// korvane-flash: flashes a package from the command line with the same engine, profile
// and sequence-number counter as the window; also lists and builds packages.
#include <QCoreApplication>
#include <cstdio>

#include "cli/command_line.h"
#include "res/version.h"
#include "settings/os_text.h"
#include "station/threads_setup.h"

int main(int argc, char** argv) {
    korvane::PrepareQtForWorkerThreads();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("korvane-flash");
    QCoreApplication::setApplicationVersion(KORVANE_VERSION);
    // Paths as the system gives them: the application's own list would lose every byte of a
    // name that is not UTF-8, and with it the file.
    return korvane::RunCommandLine(korvane::OsArguments(argc, argv), stdout, stderr);
}
