// korvane-devsim: a simulated device on a pseudo-terminal, for demos and tests without
// hardware. Prints the terminal's path on the first line of its output and answers until
// it is interrupted or terminated.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "devsim/device_faults.h"
#include "devsim/pty_simulator.h"
#include "res/version.h"

namespace {

void Usage(FILE* to) {
    std::fprintf(
        to,
        // One line, however long: help2man takes a synopsis's further lines for its
        // description.
        "Usage: korvane-devsim [--link PATH] [--dump FILE] [--dump-dir DIR] [--report FILE] "
        "[--state-dir DIR] [--baud N] [--uid HEX24] [--flash-kib N] [--fixture-empty] "
        "[--fault NAME]...\n"
        "A simulated STM32F10x device on a pseudo-terminal: prints the terminal's path on\n"
        "its first line and answers the ROM bootloader and the loader firmware until it is\n"
        "interrupted or terminated.\n"
        "\n"
        "Options:\n"
        "  --link PATH      also make PATH a symbolic link to the terminal\n"
        "  --dump FILE      write the flash contents to FILE on exit\n"
        "  --dump-dir DIR   write all the device holds into DIR on exit: flash.bin,\n"
        "                   firmware.bin, block-N.bin, record.bin, received.bin, report.json\n"
        "  --report FILE    keep a JSON report of what the device holds in FILE\n"
        "                   (rewritten after every closing request and on exit)\n"
        "  --state-dir DIR  keep the same files in DIR for a test runner in another\n"
        "                   process: written at start and whenever a file DIR/request\n"
        "                   appears (renamed into place; its text: dump, clear-received,\n"
        "                   reset, put-in or take-out), which is removed once served\n"
        "  --fixture-empty  start as a fixture with no device in it: nothing answers\n"
        "                   until a device is put in (SIGUSR1 or the request put-in: a\n"
        "                   new device, with a new unique ID and an erased flash); SIGUSR2\n"
        "                   or take-out removes it\n"
        "  --baud N         pace the line as N baud would (default: no pacing)\n"
        "  --uid HEX24      the device's 96-bit unique ID, 24 hexadecimal digits, lowest\n"
        "                   address first (default: one of its own, never that of another\n"
        "                   simulator running); also --fault uid=HEX24\n"
        "  --flash-kib N    its flash size in KiB, 16 to 1024 (default 128); the flash\n"
        "                   takes no write beyond it; also --fault flash-kib=N\n"
        "  --fault NAME     misbehave; NAME is one of\n"
        "                   bootloader: silent, nack-before-ack, get-count-zero, get-short,\n"
        "                   get-long, slow-erase=MS, refuse=CMD, short-version=N (Get\n"
        "                   Version gives N of 3 bytes and a late ACK), refuse-write=ADDRESS\n"
        "                   (NACK for a write there), read-protected (NACK for Read Memory,\n"
        "                   Write Memory, Erase and Go until a Readout Unprotect erases the\n"
        "                   flash and resets the device), flip-byte=ADDRESS (the byte\n"
        "                   written there is stored with a bit flipped);\n"
        "                   loader: refuse-request=REQ, ignore-request=REQ, noise,\n"
        "                   bad-checksum, reply-extra=N (REQ is CMD.SUB or\n"
        "                   CMD.SUB@ADDRESS, e.g. 1.2@0x0800FF00);\n"
        "                   line: flood=zeros, flood=random (talk without end, from the\n"
        "                   first byte received on, and answer nothing), flood-after=N\n"
        "                   (the same once the loader has answered N service requests;\n"
        "                   zeros unless flood=random is given too), answer-delay=MS (each\n"
        "                   answer leaves MS later, as a USB adapter's latency timer holds\n"
        "                   it back)\n"
        "  -h, --help       show this help\n"
        "  -v, --version    show the version\n");
}

// What the command line asks for.
struct Options {
    korvane::devsim::DeviceFaults faults;
    std::string linkPath;
    std::string dumpPath;
    std::string reportPath;
    std::string dumpFolder;
    std::string stateFolder;
    long baudRate = 0;
    bool fixtureEmpty = false;
};

// Reads the command line into options. An exit status when the program ends there: after
// the help or the version, or at an argument it does not take.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version" || arg == "-v") {
            std::printf("korvane-devsim %s\n", KORVANE_VERSION);
            return 0;
        } else if (arg == "--link" && hasValue) {
            options.linkPath = argv[++i];
        } else if (arg == "--dump" && hasValue) {
            options.dumpPath = argv[++i];
        } else if (arg == "--dump-dir" && hasValue) {
            options.dumpFolder = argv[++i];
        } else if (arg == "--state-dir" && hasValue) {
            options.stateFolder = argv[++i];
        } else if (arg == "--report" && hasValue) {
            options.reportPath = argv[++i];
        } else if (arg == "--baud" && hasValue) {
            if (!korvane::devsim::ParseNumber(argv[++i], &options.baudRate) ||
                options.baudRate > 10000000) {
                std::fprintf(stderr, "korvane-devsim: bad baud rate '%s'\n", argv[i]);
                return 2;
            }
        } else if ((arg == "--uid" || arg == "--flash-kib") && hasValue) {
            // The same as the fault names uid= and flash-kib=, which test runners pass on.
            if (!korvane::devsim::ApplyFault(arg.substr(2) + "=" + argv[++i], &options.faults)) {
                std::fprintf(stderr, "korvane-devsim: bad %s '%s'\n",
                             arg == "--uid" ? "unique ID (24 hexadecimal digits)"
                                            : "flash size (16 to 1024 KiB)",
                             argv[i]);
                return 2;
            }
        } else if (arg == "--fixture-empty") {
            options.fixtureEmpty = true;
        } else if (arg == "--fault" && hasValue) {
            if (!korvane::devsim::ApplyFault(argv[++i], &options.faults)) {
                std::fprintf(stderr, "korvane-devsim: unknown fault '%s'\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "korvane-devsim: unexpected argument '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

// Answers on the terminal until an end signal, then writes what the options ask for on
// exit. The exit status.
int Serve(const Options& options) {
    // Wait for the end signals synchronously instead of handling them asynchronously.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    sigaddset(&endSignals, SIGUSR1);
    sigaddset(&endSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    korvane::devsim::PtySimulator simulator(options.faults,
                                            static_cast<uint32_t>(options.baudRate));
    simulator.SetReportPath(options.reportPath);
    simulator.SetStateFolder(options.stateFolder);
    if (options.fixtureEmpty) {
        simulator.TakeOut();
    }
    if (!simulator.Start()) {
        std::fprintf(stderr, "korvane-devsim: %s\n", simulator.ErrorText().c_str());
        return 1;
    }
    if (!options.linkPath.empty()) {
        unlink(options.linkPath.c_str());
        if (symlink(simulator.PortPath().c_str(), options.linkPath.c_str()) != 0) {
            std::fprintf(stderr, "korvane-devsim: cannot link %s: %s\n", options.linkPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", simulator.PortPath().c_str());
    std::fflush(stdout);

    // The fixture's signals put a device in or take it out; any other ends the simulator.
    for (int signal = 0; sigwait(&endSignals, &signal) == 0;) {
        if (signal == SIGUSR1) {
            simulator.PutIn();
        } else if (signal == SIGUSR2) {
            simulator.TakeOut();
        } else {
            break;
        }
    }
    simulator.Stop();

    int status = 0;
    if (!options.dumpPath.empty() && !simulator.DumpFlash(options.dumpPath)) {
        std::fprintf(stderr, "korvane-devsim: cannot write %s\n", options.dumpPath.c_str());
        status = 1;
    }
    if (!options.dumpFolder.empty() && !simulator.DumpAll(options.dumpFolder)) {
        std::fprintf(stderr, "korvane-devsim: cannot write into %s\n", options.dumpFolder.c_str());
        status = 1;
    }
    if (!options.linkPath.empty()) {
        unlink(options.linkPath.c_str());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> status = ParseArguments(argc, argv, options)) {
        return *status;
    }
    return Serve(options);
}
