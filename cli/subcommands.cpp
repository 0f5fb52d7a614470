#include "cli/subcommands.h"

#include "cli/commands.h"
#include "cli/interrupt_signals.h"
#include "cli/port_listing.h"
#include "platform/unique_id.h"
#include "settings/serial_ports.h"

namespace korvane {

namespace {

// The ports given with --port, each range made the ports it spans. False, said, when one
// stands for no port.
bool PortsGiven(const Invocation& call, QStringList& ports) {
    QString bad;
    if (!ExpandPortRanges(call.parser.values(QStringLiteral("port")), ports, bad)) {
        Say(call.err, bad);
        return false;
    }
    return true;
}

// The whole number given with the option, if it was given. False, said, for other text.
bool NumberGiven(const Invocation& call, const char* name, std::optional<int>& number) {
    if (!call.IsSet(name)) {
        return true;
    }
    bool ok = false;
    number = call.Value(name).toInt(&ok);
    if (!ok) {
        Say(call.err, QStringLiteral("--%1 takes a number, not '%2'")
                          .arg(QLatin1String(name), call.Value(name)));
    }
    return ok;
}

// Flashing and listing take exactly one package, and an empty --trusted-keys (an unset
// variable in a script) would silently trust nothing.
bool OnePackage(const Invocation& call) {
    if (call.operands.size() != 1) {
        Say(call.err, QStringLiteral("give exactly one package (see --help)"));
        return false;
    }
    if (call.IsSet("trusted-keys") && call.Value("trusted-keys").isEmpty()) {
        Say(call.err, QStringLiteral("--trusted-keys needs a key file or a folder"));
        return false;
    }
    return true;
}

}  // namespace

int RunFlash(const Invocation& call) {
    FlashOptions options;
    if (!OnePackage(call) || !NumberGiven(call, "sn", options.sequenceNumber) ||
        !PortsGiven(call, options.ports)) {
        return kExitUsage;
    }
    options.packagePath = call.operands.first();
    options.json = call.IsSet("json");
    options.watch = call.IsSet("watch");
    options.station.journal = call.Given("journal");
    options.station.station = call.Given("station");
    options.station.counter = call.Given("counter");
    options.station.rework = call.Given("rework");
    options.station.trustedKeys = call.Given("trusted-keys");
    options.station.wiring = call.Given("fixture");
    if (call.IsSet("verify")) {
        options.station.verify = true;
    }
    std::optional<int> lease;
    if (!NumberGiven(call, "lease", lease)) {
        return kExitUsage;
    }
    if (lease) {
        options.station.lease = *lease;
    }
    if (call.IsSet("trace")) {
        qputenv("KORVANE_TRACE", "-");
    }
    if (options.watch) {
        options.stopDescriptor = ArmGentleStop();
        if (options.stopDescriptor < 0) {
            Say(call.err, QStringLiteral("no pipe for stopping the watch"));
            return kExitFailed;
        }
    }
    AbandonRunsOnSignals();
    const int status = FlashCommand(options, call.out, call.err);
    return InterruptSignal() != 0 ? 128 + InterruptSignal() : status;
}

int RunList(const Invocation& call) {
    if (!OnePackage(call)) {
        return kExitUsage;
    }
    return ListCommand(call.operands.first(), call.Given("trusted-keys"), call.out, call.err);
}

int RunIdentify(const Invocation& call) {
    QStringList ports;
    if (!PortsGiven(call, ports)) {
        return kExitUsage;
    }
    return IdentifyCommand(ports, call.IsSet("json"), call.Given("fixture"),
                           call.IsSet("try-wirings"), call.out, call.err);
}

int RunUnprotect(const Invocation& call) {
    QStringList ports;
    if (!PortsGiven(call, ports)) {
        return kExitUsage;
    }
    StationOptions station;
    station.journal = call.Given("journal");
    station.station = call.Given("station");
    station.wiring = call.Given("fixture");
    return UnprotectCommand(ports, call.IsSet("yes"), station, call.out, call.err);
}

int RunPack(const Invocation& call) {
    if (call.operands.size() < 2) {
        Say(call.err, QStringLiteral("usage: korvane-flash pack OUTPUT NAME=FILE ..."));
        return kExitUsage;
    }
    return PackCommand(call.operands.first(), call.operands.mid(1), call.out, call.err);
}

int RunJournal(const Invocation& call) {
    JournalOptions journal;
    if (!NumberGiven(call, "sn", journal.sequenceNumber)) {
        return kExitUsage;
    }
    journal.journal = call.Given("journal");
    journal.since = call.Given("since");
    journal.serial = call.Value("serial");
    journal.csv = call.IsSet("csv");
    journal.duplicates = call.IsSet("duplicates");
    journal.uid = call.Value("uid");
    if (call.IsSet("uid") && !ParseUniqueId(journal.uid.toStdString())) {
        Say(call.err,
            QStringLiteral("--uid takes 24 hexadecimal digits, not '%1'").arg(journal.uid));
        return kExitUsage;
    }
    journal.leases = call.IsSet("leases");
    return JournalCommand(journal, call.out, call.err);
}

int RunPorts(const Invocation& call) {
    return PortsCommand(call.Given("assign"), call.operands, call.out, call.err);
}

}  // namespace korvane
