// korvane: the window for flashing packages into STM32F10x devices over a serial port.
#include <cstdio>
#include <cstring>

#include "app/flasher_app.h"
#include "res/resources.h"
#include "settings/os_text.h"
#include "settings/serial_ports.h"
#include "station/threads_setup.h"

namespace {

constexpr char kHelp[] =
    "Usage: korvane\n"
    "  or:  korvane --station [--port COMn|DEVICE]... [PACKAGE]\n"
    "Opens the window for flashing a package into an STM32F10x device over a serial port:\n"
    "choose the port (COM1 … COM8), the package and the device's sequence number, and\n"
    "press Update. The port, the package and the next sequence number are kept in\n"
#ifdef _WIN32
    "the registry, HKEY_CURRENT_USER\\Software\\STM32F10X Korvane\\korvane\\Setting, shared\n"
    "with korvane-flash.\n"
#else
    "~/.config/STM32F10X Korvane/korvane.conf, shared with korvane-flash. On Linux, COMn is\n"
    "the device named by the environment variable KORVANE_COMn, else the [Ports] entry\n"
    "COMn=DEVICE of that file, else /dev/ttyS<n-1>; korvane-flash ports lists the ports\n"
    "and the COM number of each.\n"
#endif
    "\n"
    "Options:\n"
    "  -h, --help            Displays this help.\n"
    "  -v, --version         Displays version information.\n"
    "  --station             Opens the station window instead: one tile per fixture,\n"
    "                        each new device put into one flashed once; the package\n"
    "                        given or the profile's File. Start/Stop or Space.\n"
    "  --port COMn|DEVICE    With --station, a fixture's port: COM1 … COM255 or a\n"
    "                        device path, given more than once or as a range\n"
    "                        (COM1-COM8). Default: the profile's [Station] Ports.\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before the window's application object exists: neither needs a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("korvane %s\n", korvane::res::kVersionText);
            return 0;
        }
    }
    korvane::PrepareQtForWorkerThreads();
    korvane::FlasherApp app(argc, argv);
    // A package path as the system gives it, even one that is not UTF-8.
    const QStringList arguments = korvane::OsArguments(argc, argv).mid(1);
    if (arguments.contains(QStringLiteral("--station"))) {
        QStringList ports;
        QString package;
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            if (arguments[i] == QLatin1String("--port") && i + 1 < arguments.size()) {
                QStringList expanded;
                QString bad;
                if (!korvane::ExpandPortRanges({arguments[++i]}, expanded, bad)) {
                    std::fprintf(stderr, "korvane: %s\n", bad.toLocal8Bit().constData());
                    return 2;
                }
                ports << expanded;
            } else if (arguments[i] != QLatin1String("--station")) {
                package = arguments[i];
            }
        }
        return app.RunStation(ports, package);
    }
    app.InitInstance();
    return 0;
}
