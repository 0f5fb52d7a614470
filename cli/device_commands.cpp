// korvane-flash identify and unprotect: what a service bench asks of a device without
// flashing it. Both reset the device into its bootloader on every port given, at once.
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "cli/port_outcome.h"
#include "cli/terminal_text.h"
#include "flashing/device_operations.h"
#include "platform/unique_id.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/station_session.h"
#include "station/unprotect_record.h"

namespace korvane {

namespace {

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

QString VersionText(uint8_t version) {
    return QStringLiteral("%1.%2").arg(version >> 4).arg(version & 0x0F);
}

// latencyTimer: the adapter's latency timer as it stood with the port open, after the tool
// asked the driver for low latency.
void PrintFacts(const DeviceFacts& facts, const std::optional<LatencyTimer>& latencyTimer,
                bool json, const QString& station, std::FILE* out) {
    const DeviceContact& contact = facts.contact;
    if (json) {
        QJsonArray commands;
        for (const uint8_t command : contact.identity.commands) {
            commands.append(QString::fromStdString("0x" + Hex(command, 2)));
        }
        QJsonObject object = JsonHeading(station, ContactCode(contact));
        object["port"] = QString::fromStdString(facts.port.name);
        object["device"] = QString::fromStdString(facts.port.device);
        object["result"] = facts.Answered() ? "identified" : "failed";
        if (!facts.Answered()) {
            object["status"] = QString::fromStdString(facts.problem);
        } else {
            object["bootloader_version"] = VersionText(contact.identity.version);
            object["product_id"] =
                QString::fromStdString("0x" + Hex(contact.identity.productId, 4));
            object["uid"] =
                contact.signature
                    ? QJsonValue(QString::fromStdString(UniqueIdText(contact.signature->uid)))
                    : QJsonValue(QJsonValue::Null);
            object["flash_kib"] =
                contact.signature ? QJsonValue(contact.signature->flashKib) : QJsonValue::Null;
            object["read_protected"] = contact.ReadProtected();
            object["commands"] = commands;
        }
        if (contact.wiring) {
            object["wiring"] = QString::fromStdString(FixtureWiringText(*contact.wiring));
        }
        if (latencyTimer) {
            object["latency_timer_ms"] = latencyTimer->ms;
        }
        std::fprintf(out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        return;
    }
    std::fprintf(out, "%s\n", TerminalSafe(PortShown(facts.port)).c_str());
    if (latencyTimer && latencyTimer->ms > 1) {
        // Asked for low latency, the driver kept its timer: every exchange of a run waits.
        std::fprintf(out,
                     "  latency:          %d ms: the adapter holds each answer back that long, "
                     "and its driver would not lower it; lower it with: %s\n",
                     latencyTimer->ms,
                     TerminalSafe(LowerLatencyCommand(*latencyTimer).toStdString()).c_str());
    }
    if (!facts.Answered()) {
        std::fprintf(out, "  %s\n", TerminalSafe(facts.problem).c_str());
        return;
    }
    std::string commands;
    for (const uint8_t command : contact.identity.commands) {
        commands += (commands.empty() ? "" : " ") + Hex(command, 2);
    }
    std::fprintf(out, "  bootloader:       version %s, product ID 0x%s\n",
                 VersionText(contact.identity.version).toLocal8Bit().constData(),
                 Hex(contact.identity.productId, 4).c_str());
    std::fprintf(out, "  unique ID:        %s\n",
                 contact.signature ? UniqueIdText(contact.signature->uid).c_str() : "unknown");
    std::fprintf(out, "  flash:            %s\n",
                 contact.signature ? (std::to_string(contact.signature->flashKib) + " KiB").c_str()
                                   : "unknown");
    std::fprintf(out, "  read protection:  %s\n", contact.ReadProtected() ? "on" : "off");
    std::fprintf(out, "  commands:         %s\n", commands.c_str());
    if (contact.wiring) {
        // The line as the profile takes it, to be copied under [Fixture].
        std::fprintf(out, "  [Fixture] line:   Wiring=%s\n",
                     FixtureWiringText(*contact.wiring).c_str());
    }
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
    StationOptions given;
    given.wiring = fixture;
    SessionRefusal refusal;
    const auto session =
        StationSession::Open(given, portNames, StationSession::Unnamed::kProfilePort, refusal);
    if (!session) {
        Say(err, refusal.text);
        return kExitUsage;
    }
    const std::vector<PortChoice>& ports = session->Ports();
    std::vector<DeviceFacts> facts(ports.size());
    std::vector<std::optional<LatencyTimer>> latencyTimers(ports.size());
    // Nothing is written: resets, synchronisations and the identity reads, for each wiring
    // tried.
    session->OnEveryPort([&](size_t i) {
        const PortChoice& port = ports[i];
        ConnectOptions options;
        options.wiring = session->Config().wiring;
        options.tryWirings = tryWirings;
        options.opened = [&] {
            latencyTimers[i] = LatencyTimerOf(QString::fromStdString(port.device));
        };
        DeviceLink link;
        facts[i] = IdentifyDevice(link, port, options);
    });
    bool all = true;
    for (size_t i = 0; i < facts.size(); ++i) {
        PrintFacts(facts[i], latencyTimers[i], json, session->GetStation().Name(), out);
        all = all && facts[i].Answered();
    }
    return all ? kExitSucceeded : kExitFailed;
}

int UnprotectCommand(const QStringList& portNames, bool yes, const StationOptions& stationOptions,
                     std::FILE* out, std::FILE* err) {
    SessionRefusal refusal;
    const auto session = StationSession::Open(stationOptions, portNames,
                                              StationSession::Unnamed::kProfilePort, refusal);
    if (!session) {
        Say(err, refusal.text);
        return kExitUsage;
    }
    const std::vector<PortChoice>& ports = session->Ports();
    switch (Confirmed(ports, yes, out)) {
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
    std::vector<UnprotectOutcome> done(ports.size());
    session->OnEveryPort(
        [&](size_t i) { done[i] = UnprotectAndRecord(session->GetStation(), ports[i]); });
    bool all = true;
    for (size_t i = 0; i < ports.size(); ++i) {
        std::fprintf(out, "%s: %s\n", TerminalSafe(PortShown(ports[i])).c_str(),
                     TerminalSafe(done[i].said).c_str());
        all = all && done[i].cleared;
    }
    return all ? kExitSucceeded : kExitFailed;
}

}  // namespace korvane
