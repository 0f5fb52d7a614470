// korvane-flash: flashes a package from the command line with the same engine, profile
// and sequence-number counter as the window; also lists and builds packages.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "cli/commands.h"
#include "cli/port_listing.h"
#include "cli/terminal_text.h"
#include "platform/interrupt.h"
#include "platform/unique_id.h"
#include "res/version.h"
#include "settings/os_text.h"
#include "station/threads_setup.h"

using namespace korvane;

namespace {

volatile std::sig_atomic_t interruptSignal = 0;
// With --watch the first signal is a request to stop starting devices, told through this
// pipe (the only thing a handler may safely do); the next one abandons the runs.
int stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopAsked = 0;

void OnInterruptSignal(int signalNumber) {
    if (stopPipe[1] >= 0 && stopAsked == 0) {
        stopAsked = 1;
        const char byte = 1;
        [[maybe_unused]] const auto written = write(stopPipe[1], &byte, 1);
        return;
    }
    interruptSignal = signalNumber;
    RequestInterrupt();
}

// Makes the pipe through which the first signal stops a watch. False when it cannot be.
bool ArmGentleStop() {
#ifdef _WIN32
    return _pipe(stopPipe, 16, _O_BINARY) == 0;
#else
    return pipe(stopPipe) == 0;
#endif
}

// Ctrl-C, a termination request and a closed terminal abandon the run at its next
// exchange instead of killing the process mid-write: the port is closed and the counter
// left as the rules for a sent record say. The exit status is the conventional one for the
// signal. A reader of standard output that goes away (a pager quit, "| head"), a stray
// user signal and a file-size limit (which then reads as a full disk) never stop a device
// mid-run: the runs finish and the journal says what it could keep.
void AbandonRunsOnSignals() {
#ifndef _WIN32
    InterruptWakeDescriptor();
    struct sigaction action {};
    action.sa_handler = OnInterruptSignal;
    sigemptyset(&action.sa_mask);
    for (const int abandoning : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(abandoning, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int ignored : {SIGPIPE, SIGUSR1, SIGUSR2, SIGXFSZ}) {
        sigaction(ignored, &ignore, nullptr);
    }
#else
    std::signal(SIGINT, OnInterruptSignal);
    std::signal(SIGTERM, OnInterruptSignal);
#endif
}

// Refuses the options set that the chosen mode has no use for: an option that is
// silently ignored is a setting the operator believes in and does not get.
bool OnlyOptionsOf(const QCommandLineParser& parser, const QList<QCommandLineOption>& allowed,
                   const char* mode) {
    QStringList names;
    for (const QCommandLineOption& option : allowed) {
        names << option.names();
    }
    for (const QString& name : parser.optionNames()) {
        if (!names.contains(name)) {
            std::fprintf(stderr, "korvane-flash: --%s does not apply to %s (see --help)\n",
                         TerminalSafe(name.toLocal8Bit().toStdString()).c_str(), mode);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareQtForWorkerThreads();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("korvane-flash");
    QCoreApplication::setApplicationVersion(KORVANE_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes a package into an STM32F10x device through its serial bootloader.\n\n"
        "  korvane-flash [--port COMn|DEVICE] [--sn N] [--trace] [--journal URI]\n"
        "                [--station NAME] [--counter profile|journal] [--lease N]\n"
        "                [--trusted-keys PATH] [--fixture WIRING] PACKAGE\n"
        "  korvane-flash --list [--trusted-keys PATH] PACKAGE\n"
        "  korvane-flash identify [--port COMn|DEVICE]... [--json] [--fixture WIRING]\n"
        "                         [--try-wirings]\n"
        "  korvane-flash unprotect [--port COMn|DEVICE]... [--yes] [--fixture WIRING]\n"
        "  korvane-flash pack OUTPUT NAME=FILE ...\n"
        "  korvane-flash journal [--journal URI] [--since DATE] [--sn N] [--serial TEXT] "
        "[--uid HEX] [--duplicates] [--csv]\n"
        "  korvane-flash journal --leases [--journal URI]\n"
        "  korvane-flash ports [--assign COMn DEVICE]   (see korvane-flash ports --help)");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        "port",
        "Serial port: COM1 … COM8 (mapped as the window maps them) or a device path. "
        "Default: the port saved in the profile. Given more than once (or as a range, "
        "COM1-COM8), one device is flashed on each port at the same time.",
        "COMn|DEVICE");
    const QCommandLineOption snOption(
        "sn", "Sequence number of this device (1 … 99999). Default: the profile's.", "N");
    const QCommandLineOption traceOption("trace", "Show every byte sent on standard error.");
    const QCommandLineOption listOption("list",
                                        "List the package's directory instead of flashing.");
    const QCommandLineOption journalOption(
        "journal",
        "The journal: a PostgreSQL URI (postgresql://user@host:port/dbname) or an SQLite "
        "file. Default: the profile's [Journal] Database, else the station's own file.",
        "URI");
    const QCommandLineOption stationOption(
        "station",
        "This station's name in the journal. Default: [Journal] Station, else the "
        "host name.",
        "NAME");
    const QCommandLineOption counterOption(
        "counter",
        "Where sequence numbers come from: profile (this user's profile) or journal (one "
        "sequence for every station of the journal). Default: [Journal] Counter, else profile.",
        "profile|journal");
    const QCommandLineOption sinceOption("since", "journal: records from this date or time on.",
                                         "DATE");
    const QCommandLineOption serialOption("serial", "journal: the record with this serial text.",
                                          "TEXT");
    const QCommandLineOption csvOption("csv", "journal: CSV instead of a table.");
    const QCommandLineOption reworkOption(
        "rework",
        "A chip the journal has flashed before: new (give it a new number, the default), "
        "keep (send it its earlier serial record again) or refuse (write nothing). "
        "Default: [Station] Rework.",
        "new|keep|refuse");
    const QCommandLineOption verifyOption(
        "verify", "Read the loader image back after writing it, before it is started.");
    const QCommandLineOption yesOption(
        "yes", "unprotect: erase the whole flash without asking (for scripts).");
    const QCommandLineOption uidOption(
        "uid", "journal: the records of the chip with this unique ID (24 hexadecimal digits).",
        "HEX");
    const QCommandLineOption duplicatesOption(
        "duplicates", "journal: only the records whose sequence number another record holds too.");
    const QCommandLineOption leasesOption(
        "leases", "journal: the stations' leases, with their used and unused numbers.");
    const QCommandLineOption leaseOption(
        "lease",
        "With --counter journal: claim N numbers at once and go on from them while the "
        "journal's server is away. Default: [Journal] Lease, else 0 (no run without the server).",
        "N");
    const QCommandLineOption trustedKeysOption(
        "trusted-keys",
        "Flash only packages whose minisign signature (PACKAGE.minisig) was made by one of "
        "these keys: a public-key file, or a folder whose *.pub files are all trusted. "
        "Default: [Packages] TrustedKeys, else none (a signature is then only shown).",
        "PATH");
    const QCommandLineOption watchOption(
        "watch",
        "Keep every port's fixture going until stopped: flash each new device put in, wait "
        "for it to be taken out, and start over. The first Ctrl-C lets the devices being "
        "flashed finish and prints a summary; a second abandons them.");
    const QCommandLineOption jsonOption(
        "json",
        "One JSON object for each device on standard output as it ends, and nothing "
        "else there.");
    const QCommandLineOption fixtureOption(
        "fixture",
        "How the fixture wires DTR and RTS to RESET and BOOT0, as the profile's [Fixture] "
        "Wiring: e.g. reset=dtr,boot0=rts (swapped), reset=!rts (through an inverter), "
        "pulse=500ms, exit=run (start the new firmware). Default: [Fixture] Wiring, else "
        "reset=rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none.",
        "WIRING");
    const QCommandLineOption tryWiringsOption(
        "try-wirings",
        "identify: when the wiring brings no bootloader, try the other common ones (lines "
        "swapped, inverted, longer pulses) and show the [Fixture] line of the one that "
        "answered.");
    parser.addOptions({portOption,    snOption,        traceOption,       listOption,
                       journalOption, stationOption,   counterOption,     sinceOption,
                       serialOption,  csvOption,       jsonOption,        duplicatesOption,
                       leasesOption,  leaseOption,     uidOption,         reworkOption,
                       verifyOption,  yesOption,       trustedKeysOption, watchOption,
                       fixtureOption, tryWiringsOption});
    parser.addPositionalArgument("PACKAGE", "The package file (or: pack OUTPUT NAME=FILE ...).");

    // Paths as the system gives them: the application's own list would lose every byte of a
    // name that is not UTF-8, and with it the file.
    const QStringList given = OsArguments(argc, argv);
    if (given.size() > 1 && given.at(1) == QLatin1String("ports")) {
        return PortsCommand(given, stdout, stderr);
    }
    if (!parser.parse(given)) {
        std::fprintf(stderr, "korvane-flash: %s\n",
                     TerminalSafe(parser.errorText().toLocal8Bit().toStdString()).c_str());
        return kExitUsage;
    }
    if (parser.isSet("help")) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return kExitSucceeded;
    }
    if (parser.isSet("version")) {
        std::printf("korvane-flash %s\n", KORVANE_VERSION);
        return kExitSucceeded;
    }
    const QStringList arguments = parser.positionalArguments();
    std::optional<int> sequenceNumber;
    if (parser.isSet(snOption)) {
        bool ok = false;
        sequenceNumber = parser.value(snOption).toInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "korvane-flash: --sn takes a number, not '%s'\n",
                         TerminalSafe(parser.value(snOption).toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
    }
    const auto optional = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    if (arguments.size() == 1 && arguments.first() == "journal") {
        if (!OnlyOptionsOf(parser,
                           {journalOption, sinceOption, snOption, serialOption, csvOption,
                            duplicatesOption, leasesOption, uidOption},
                           "journal")) {
            return kExitUsage;
        }
        JournalOptions journal;
        journal.journal = optional(journalOption);
        journal.since = parser.value(sinceOption);
        journal.sequenceNumber = sequenceNumber;
        journal.serial = parser.value(serialOption);
        journal.csv = parser.isSet(csvOption);
        journal.duplicates = parser.isSet(duplicatesOption);
        journal.uid = parser.value(uidOption);
        if (parser.isSet(uidOption) && !ParseUniqueId(journal.uid.toStdString())) {
            std::fprintf(stderr, "korvane-flash: --uid takes 24 hexadecimal digits, not '%s'\n",
                         TerminalSafe(journal.uid.toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
        journal.leases = parser.isSet(leasesOption);
        return JournalCommand(journal, stdout, stderr);
    }
    if (arguments.size() == 1 && arguments.first() == "identify") {
        if (!OnlyOptionsOf(parser, {portOption, jsonOption, fixtureOption, tryWiringsOption},
                           "identify")) {
            return kExitUsage;
        }
        QStringList ports;
        if (QString bad; !ExpandPortRanges(parser.values(portOption), ports, bad)) {
            std::fprintf(stderr, "korvane-flash: %s\n",
                         TerminalSafe(bad.toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
        return IdentifyCommand(ports, parser.isSet(jsonOption), optional(fixtureOption),
                               parser.isSet(tryWiringsOption), stdout, stderr);
    }
    if (arguments.size() == 1 && arguments.first() == "unprotect") {
        if (!OnlyOptionsOf(parser,
                           {portOption, yesOption, journalOption, stationOption, fixtureOption},
                           "unprotect")) {
            return kExitUsage;
        }
        QStringList ports;
        if (QString bad; !ExpandPortRanges(parser.values(portOption), ports, bad)) {
            std::fprintf(stderr, "korvane-flash: %s\n",
                         TerminalSafe(bad.toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
        StationOptions station;
        station.journal = optional(journalOption);
        station.station = optional(stationOption);
        station.wiring = optional(fixtureOption);
        return UnprotectCommand(ports, parser.isSet(yesOption), station, stdout, stderr);
    }
    if (!arguments.isEmpty() && arguments.first() == "pack") {
        if (!OnlyOptionsOf(parser, {}, "pack")) {
            return kExitUsage;
        }
        if (arguments.size() < 3) {
            std::fprintf(stderr, "korvane-flash: usage: korvane-flash pack OUTPUT NAME=FILE ...\n");
            return kExitUsage;
        }
        return PackCommand(arguments.at(1), arguments.mid(2), stdout, stderr);
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr, "korvane-flash: give exactly one package (see --help)\n");
        return kExitUsage;
    }
    // An empty path (an unset variable in a script) would silently trust nothing.
    if (parser.isSet(trustedKeysOption) && parser.value(trustedKeysOption).isEmpty()) {
        std::fprintf(stderr, "korvane-flash: --trusted-keys needs a key file or a folder\n");
        return kExitUsage;
    }
    if (parser.isSet(listOption)) {
        if (!OnlyOptionsOf(parser, {listOption, trustedKeysOption}, "--list")) {
            return kExitUsage;
        }
        return ListCommand(arguments.first(), optional(trustedKeysOption), stdout, stderr);
    }

    if (!OnlyOptionsOf(parser,
                       {portOption, snOption, traceOption, journalOption, stationOption,
                        counterOption, leaseOption, reworkOption, verifyOption, jsonOption,
                        trustedKeysOption, watchOption, fixtureOption},
                       "a flash")) {
        return kExitUsage;
    }
    FlashOptions options;
    options.packagePath = arguments.first();
    if (QString bad; !ExpandPortRanges(parser.values(portOption), options.ports, bad)) {
        std::fprintf(stderr, "korvane-flash: %s\n",
                     TerminalSafe(bad.toLocal8Bit().toStdString()).c_str());
        return kExitUsage;
    }
    options.json = parser.isSet(jsonOption);
    options.watch = parser.isSet(watchOption);
    options.sequenceNumber = sequenceNumber;
    options.station.journal = optional(journalOption);
    options.station.station = optional(stationOption);
    options.station.counter = optional(counterOption);
    options.station.rework = optional(reworkOption);
    options.station.trustedKeys = optional(trustedKeysOption);
    options.station.wiring = optional(fixtureOption);
    if (parser.isSet(verifyOption)) {
        options.station.verify = true;
    }
    if (parser.isSet(leaseOption)) {
        bool ok = false;
        options.station.lease = parser.value(leaseOption).toInt(&ok);
        if (!ok) {
            std::fprintf(
                stderr, "korvane-flash: --lease takes a number, not '%s'\n",
                TerminalSafe(parser.value(leaseOption).toLocal8Bit().toStdString()).c_str());
            return kExitUsage;
        }
    }
    if (parser.isSet(traceOption)) {
        qputenv("KORVANE_TRACE", "-");
    }
    if (options.watch) {
        if (!ArmGentleStop()) {
            std::fprintf(stderr, "korvane-flash: no pipe for stopping the watch\n");
            return kExitFailed;
        }
        options.stopDescriptor = stopPipe[0];
    }
    AbandonRunsOnSignals();
    const int status = FlashCommand(options, stdout, stderr);
    return interruptSignal != 0 ? 128 + interruptSignal : status;
}
