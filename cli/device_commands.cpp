// korvane-flash identify and unprotect: what a service bench asks of a device without
// flashing it. Both reset the device into its bootloader on every port given, at once.
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "flashing/status_texts.h"
#include "platform/unique_id.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/port_runs.h"
#include "station/station.h"

namespace korvane {

namespace {

// What one port's device said of itself.
struct DeviceFacts {
    PortChoice port;
    bool answered = false;
    std::string problem;  // why nothing could be learnt
    BootloaderIdentity identity;
    std::optional<DeviceSignature> signature;
    bool readProtected = false;
    std::optional<FixtureWiring> wiring;  // the wiring that answered, when wirings were tried
    // The adapter's latency timer as it stood with the port open, after the tool asked the
    // driver for low latency.
    std::optional<LatencyTimer> latencyTimer;
};

// Opens the port, resets the device into its bootloader and asks it who it is. With
// tryWirings, the other common wirings follow when the configured one brings no
// bootloader.
DeviceFacts Ask(DeviceLink& link, const PortChoice& port, const FixtureWiring& wiring,
                bool tryWirings = false) {
    DeviceFacts facts;
    facts.port = port;
    if (!link.OpenDevice(port.device, DeviceLink::kBaudRate)) {
        facts.problem = "cannot open the serial port " + PortShown(port) + ": " +
                        (link.OpenError().empty() ? "it is in use" : link.OpenError());
        return facts;
    }
    facts.latencyTimer = LatencyTimerOf(QString::fromStdString(port.device));
    if (tryWirings) {
        facts.wiring = link.FindWiring(wiring);
    } else {
        link.ResetToBootloader(wiring);
    }
    if (tryWirings ? !facts.wiring : !link.Sync()) {
        facts.problem = link.LastFailure() == LinkFailure::kFlood
                            ? "the device on " + port.device + " talked without stopping"
                        : tryWirings ? "no bootloader answered on " + PortShown(port) +
                                           " with any of the common wirings"
                                     : "no bootloader answered on " + PortShown(port);
        return facts;
    }
    facts.answered = true;
    facts.identity = link.Identity();
    DeviceSignature signature;
    if (facts.identity.Lists(bootloader::kReadMemory)) {
        const MemoryRead read = link.ReadElectronicSignature(&signature);
        facts.readProtected = read == MemoryRead::kRefused;
        if (read == MemoryRead::kRead) {
            facts.signature = signature;
        }
    }
    return facts;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

QString VersionText(uint8_t version) {
    return QStringLiteral("%1.%2").arg(version >> 4).arg(version & 0x0F);
}

void PrintFacts(const DeviceFacts& facts, bool json, std::FILE* out) {
    if (json) {
        QJsonArray commands;
        for (const uint8_t command : facts.identity.commands) {
            commands.append(QString::fromStdString("0x" + Hex(command, 2)));
        }
        QJsonObject object{{"port", QString::fromStdString(facts.port.name)},
                           {"device", QString::fromStdString(facts.port.device)},
                           {"result", facts.answered ? "identified" : "failed"}};
        if (!facts.answered) {
            object["status"] = QString::fromStdString(facts.problem);
        } else {
            object["bootloader_version"] = VersionText(facts.identity.version);
            object["product_id"] = QString::fromStdString("0x" + Hex(facts.identity.productId, 4));
            object["uid"] =
                facts.signature
                    ? QJsonValue(QString::fromStdString(UniqueIdText(facts.signature->uid)))
                    : QJsonValue(QJsonValue::Null);
            object["flash_kib"] =
                facts.signature ? QJsonValue(facts.signature->flashKib) : QJsonValue::Null;
            object["read_protected"] = facts.readProtected;
            object["commands"] = commands;
        }
        if (facts.wiring) {
            object["wiring"] = QString::fromStdString(FixtureWiringText(*facts.wiring));
        }
        if (facts.latencyTimer) {
            object["latency_timer_ms"] = facts.latencyTimer->ms;
        }
        std::fprintf(out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        return;
    }
    std::fprintf(out, "%s\n", TerminalSafe(PortShown(facts.port)).c_str());
    if (facts.latencyTimer && facts.latencyTimer->ms > 1) {
        // Asked for low latency, the driver kept its timer: every exchange of a run waits.
        std::fprintf(out,
                     "  latency:          %d ms: the adapter holds each answer back that long, "
                     "and its driver would not lower it; lower it with: %s\n",
                     facts.latencyTimer->ms,
                     TerminalSafe(LowerLatencyCommand(*facts.latencyTimer).toStdString()).c_str());
    }
    if (!facts.answered) {
        std::fprintf(out, "  %s\n", TerminalSafe(facts.problem).c_str());
        return;
    }
    std::string commands;
    for (const uint8_t command : facts.identity.commands) {
        commands += (commands.empty() ? "" : " ") + Hex(command, 2);
    }
    std::fprintf(out, "  bootloader:       version %s, product ID 0x%s\n",
                 VersionText(facts.identity.version).toLocal8Bit().constData(),
                 Hex(facts.identity.productId, 4).c_str());
    std::fprintf(out, "  unique ID:        %s\n",
                 facts.signature ? UniqueIdText(facts.signature->uid).c_str() : "unknown");
    std::fprintf(
        out, "  flash:            %s\n",
        facts.signature ? (std::to_string(facts.signature->flashKib) + " KiB").c_str() : "unknown");
    std::fprintf(out, "  read protection:  %s\n", facts.readProtected ? "on" : "off");
    std::fprintf(out, "  commands:         %s\n", commands.c_str());
    if (facts.wiring) {
        // The line as the profile takes it, to be copied under [Fixture].
        std::fprintf(out, "  [Fixture] line:   Wiring=%s\n",
                     FixtureWiringText(*facts.wiring).c_str());
    }
}

// The ports named, or the profile's one; empty (said) for a bad one or one given twice.
std::optional<std::vector<PortChoice>> PortsOf(const QStringList& names, std::FILE* err) {
    std::vector<PortChoice> ports;
    QString problem;
    if (!ChoosePorts(names, ReadProfile().portIndex, ports, problem)) {
        Say(err, problem);
        return std::nullopt;
    }
    return ports;
}

enum class Consent { kGiven, kNoTerminal, kRefused };

// The operator's word that the whole flash may go; a script's is --yes.
Consent Confirmed(const std::vector<PortChoice>& ports, bool yes, std::FILE* out) {
    if (yes) {
        return Consent::kGiven;
    }
    if (isatty(STDIN_FILENO) == 0) {
        return Consent::kNoTerminal;
    }
    std::string names;
    for (const PortChoice& port : ports) {
        names += (names.empty() ? "" : ", ") + PortShown(port);
    }
    std::fprintf(out,
                 "Readout unprotect erases the whole flash of the device on %s. Type yes to go "
                 "on: ",
                 TerminalSafe(names).c_str());
    std::fflush(out);
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "yes" ? Consent::kGiven : Consent::kRefused;
}

}  // namespace

int IdentifyCommand(const QStringList& portNames, bool json, const std::optional<QString>& fixture,
                    bool tryWirings, std::FILE* out, std::FILE* err) {
    const auto ports = PortsOf(portNames, err);
    if (!ports) {
        return kExitUsage;
    }
    QString problem;
    const std::optional<FixtureWiring> wiring = ReadFixtureWiring(fixture, problem);
    if (!wiring) {
        Say(err, problem);
        return kExitUsage;
    }
    std::vector<DeviceFacts> facts(ports->size());
    // Nothing is written: resets, synchronisations and the identity reads, for each wiring
    // tried.
    OnEveryPortAtOnce(ports->size(), [&](size_t i) {
        DeviceLink link;
        facts[i] = Ask(link, (*ports)[i], *wiring, tryWirings);
    });
    bool all = true;
    for (const DeviceFacts& one : facts) {
        PrintFacts(one, json, out);
        all = all && one.answered;
    }
    return all ? kExitSucceeded : kExitFailed;
}

int UnprotectCommand(const QStringList& portNames, bool yes, const StationOptions& stationOptions,
                     std::FILE* out, std::FILE* err) {
    const auto ports = PortsOf(portNames, err);
    if (!ports) {
        return kExitUsage;
    }
    QString problem;
    const auto station = Station::SetUp(stationOptions, problem);
    if (!station) {
        Say(err, problem);
        return kExitUsage;
    }
    switch (Confirmed(*ports, yes, out)) {
        case Consent::kGiven:
            break;
        case Consent::kNoTerminal:
            Say(err,
                "readout unprotect erases the whole flash; without a terminal to confirm it, "
                "give --yes");
            return kExitUsage;
        case Consent::kRefused:
            Say(err, "readout unprotect was not confirmed; nothing was sent to any device");
            return kExitFailed;
    }
    std::vector<std::string> said(ports->size());
    std::vector<bool> cleared(ports->size(), false);
    OnEveryPortAtOnce(ports->size(), [&](size_t i) {
        const PortChoice& port = (*ports)[i];
        DeviceLink link;
        DeviceFacts before = Ask(link, port, station->Wiring());
        // Memory that could be read is not protected: there is nothing to lift, and the
        // readout unprotect would erase the flash for nothing.
        const bool unprotected = before.answered && !before.readProtected && before.signature;
        UnprotectResult result = UnprotectResult::kSilence;
        std::optional<DeviceSignature> after;
        if (unprotected) {
            cleared[i] = true;
        } else if (before.answered) {
            result = link.ReadoutUnprotect();
            // The part resets itself once it has erased its flash: a new conversation.
            link.ResetToBootloader(station->Wiring());
            const DeviceFacts now = result == UnprotectResult::kUnprotected
                                        ? Ask(link, port, station->Wiring())
                                        : DeviceFacts{};
            after = now.signature;
            cleared[i] =
                result == UnprotectResult::kUnprotected && now.answered && !now.readProtected;
        }
        const std::string uid = after              ? UniqueIdText(after->uid)
                                : before.signature ? UniqueIdText(before.signature->uid)
                                                   : std::string();
        const std::string chip = uid.empty() ? std::string() : " (chip " + uid + ")";
        said[i] = !before.answered ? before.problem
                  : unprotected    ? "read protection was already off; nothing was erased" + chip
                  : cleared[i]     ? "read protection is off; the flash is erased" + chip
                  : result == UnprotectResult::kRefused
                      ? "the bootloader refused the readout unprotect"
                      : "the device did not finish the readout unprotect";
        QString journalError;
        if (before.answered && !unprotected &&
            !station->Recorder().Store().RecordUnprotect(
                station->Name(), QString::fromStdString(port.name), QString::fromStdString(uid),
                cleared[i] ? QStringLiteral("succeeded") : QStringLiteral("failed"),
                journalError)) {
            said[i] += "; the journal " + station->Recorder().Store().Where().toStdString() +
                       " did not keep it: " + journalError.toStdString();
        }
    });
    bool all = true;
    for (size_t i = 0; i < ports->size(); ++i) {
        std::fprintf(out, "%s: %s\n", TerminalSafe(PortShown((*ports)[i])).c_str(),
                     TerminalSafe(said[i]).c_str());
        all = all && cleared[i];
    }
    return all ? kExitSucceeded : kExitFailed;
}

}  // namespace korvane
