#include "cli/commands.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "cli/console_feedback.h"
#include "cli/terminal_text.h"
#include "flashing/entry_kind.h"
#include "flashing/flash_run.h"
#include "flashing/package.h"
#include "flashing/serial_record.h"
#include "flashing/status_texts.h"
#include "link/device_link.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/station.h"

namespace korvane {

namespace {

constexpr char kTool[] = "korvane-flash";

}  // namespace

bool ChoosePort(const QString& text, int profileIndex, PortChoice& port, QString& shown) {
    if (text.isEmpty()) {
        // The profile's port index, as the window uses it: number index + 1, modulo 256.
        port.number = static_cast<uint8_t>(profileIndex + 1);
        shown = QString("COM%1 (%2)")
                    .arg(port.number)
                    .arg(QString::fromStdString(PortDeviceName(port.number)));
        return true;
    }
    if (const std::optional<int> number = PortNumberIn(text)) {
        if (*number < 1 || *number > kMaxPortNumber) {
            return false;
        }
        port.number = static_cast<uint8_t>(*number);
        shown = QString("COM%1 (%2)")
                    .arg(*number)
                    .arg(QString::fromStdString(PortDeviceName(port.number)));
        return true;
    }
    port.device = text.toStdString();
    shown = text;
    return true;
}

bool ExpandPortRanges(const QStringList& ports, QStringList& expanded, QString& error) {
    static const QRegularExpression range(QStringLiteral("^COM([0-9]{1,3})-COM([0-9]{1,3})$"),
                                          QRegularExpression::CaseInsensitiveOption);
    expanded.clear();
    for (const QString& port : ports) {
        // An empty name is no port: taking the profile's port instead would send bytes to
        // a device the operator did not name.
        if (port.trimmed().isEmpty()) {
            error = QStringLiteral("--port needs a port: give COM1 … COM255 or a device path");
            return false;
        }
        const auto match = range.match(port);
        if (!match.hasMatch()) {
            expanded << port;
            continue;
        }
        const int first = match.captured(1).toInt();
        const int last = match.captured(2).toInt();
        if (first > last) {
            error = QStringLiteral("the port range %1 runs backwards: give COM%2-COM%3")
                        .arg(port)
                        .arg(last)
                        .arg(first);
            return false;
        }
        for (int number = first; number <= last; ++number) {
            expanded << QStringLiteral("COM%1").arg(number);
        }
    }
    return true;
}

void Say(std::FILE* to, const QString& text) {
    std::fprintf(to, "%s: %s\n", kTool, TerminalSafe(text.toLocal8Bit().toStdString()).c_str());
}

std::optional<int> RefusedBeforeTheDevice(const FlashOptions& options, std::FILE* out,
                                          std::FILE* err) {
    if (options.sequenceNumber && !IsValidSequenceNumber(*options.sequenceNumber)) {
        Say(err, QString("the sequence number %1 is outside %2 … %3; a longer one would be cut "
                         "and repeat another device's serial number. Give one with --sn.")
                     .arg(*options.sequenceNumber)
                     .arg(kMinSequenceNumber)
                     .arg(kMaxSequenceNumber));
        return kExitFailed;
    }
    const std::string path = options.packagePath.toStdString();
    if (IsKnownImageName(path)) {
        Say(err, QString("%1 is an image file, not a package; nothing was written")
                     .arg(options.packagePath));
        return kExitFailed;
    }
    // A package that cannot be read, or is far too large to be one, is said before the
    // device is touched (and before a single byte of it is read).
    if (const std::string problem = PackageFileProblem(path); !problem.empty()) {
        std::fprintf(out, "%s\n",
                     TerminalSafe(FormatText(status::kFileNotOpened, path.c_str())).c_str());
        Say(err,
            QString("the package %1 %2").arg(options.packagePath, QString::fromStdString(problem)));
        return kExitFailed;
    }
    return std::nullopt;
}

int FlashCommand(const FlashOptions& options, std::FILE* out, std::FILE* err) {
    if (options.ports.size() > 1 || options.json) {
        return ManyPortsCommand(options, out, err);
    }
    const ProfileValues saved = ReadProfile();
    PortChoice port;
    QString portShown;
    if (!ChoosePort(options.ports.value(0), saved.portIndex, port, portShown)) {
        Say(err, QString("bad port '%1': give COM1 … COM255 or a device path")
                     .arg(options.ports.value(0)));
        return kExitUsage;
    }
    if (const auto refused = RefusedBeforeTheDevice(options, out, err)) {
        return *refused;
    }
    const std::string path = options.packagePath.toStdString();

    QString stationProblem;
    const auto station = Station::SetUp(options.station, stationProblem);
    if (!station) {
        Say(err, stationProblem);
        return kExitUsage;
    }
    if (const QString warning = station->Warning(); !warning.isEmpty()) {
        Say(err, warning);
    }

    DeviceLink link;
    ConsoleFeedback feedback(out);
    FlashRun run(link, feedback);
    FlashRequest request;
    request.packagePath = path;
    request.port = port;
    request.sequenceNumber = options.sequenceNumber;
    const RunResult result = run.Run(request, station->Numbers(), &station->Recorder());
    feedback.EndProgressLine();
    const NumberUse& numbers = run.Numbers();
    if (const QString problem = station->Recorder().CompletionProblem(); !problem.isEmpty()) {
        Say(err, problem);
    }
    if (link.ParityRefused()) {
        Say(err, QString("the serial port %1 does not take even parity, which the device's "
                         "bootloader needs; the device may not answer")
                     .arg(portShown));
    }
    switch (result) {
        case RunResult::kSucceeded:
            if (!numbers.problem.empty()) {
                Say(err, QString("the package went in, but %1")
                             .arg(QString::fromStdString(numbers.problem)));
                return kExitFailed;
            }
            return kExitSucceeded;
        case RunResult::kNotRecorded:
            Say(err, QString("%1 Nothing was sent to the device.")
                         .arg(QString::fromStdString(run.NotRecordedBecause())));
            return kExitFailed;
        case RunResult::kNumberUnavailable:
            Say(err, QString("%1 Nothing was sent to the device.")
                         .arg(QString::fromStdString(numbers.problem)));
            return kExitFailed;
        case RunResult::kPortNotOpened:
            Say(err, QString("cannot open the serial port %1").arg(portShown));
            if (!run.Reason().empty()) {
                Say(err, QString::fromStdString(run.Reason()));
            }
            return kExitFailed;
        case RunResult::kNotConnected:
            Say(err, run.Reason().empty() ? QString("no bootloader answered on %1").arg(portShown)
                                          : QString::fromStdString(run.Reason()));
            return kExitFailed;
        case RunResult::kFileNotOpened:
            Say(err, QString("cannot open the package %1").arg(options.packagePath));
            return kExitFailed;
        case RunResult::kPackageRefused:
            Say(err, QString("nothing was sent to the device on %1").arg(portShown));
            return kExitFailed;
        case RunResult::kFailed:
            if (!run.Reason().empty()) {
                Say(err, QString::fromStdString(run.Reason()));
            }
            Say(err, QString("the package %1 did not go in whole on %2")
                         .arg(options.packagePath)
                         .arg(portShown));
            return kExitFailed;
        case RunResult::kInterrupted:
            link.Close();
            Say(err, QString("interrupted; the port %1 is closed").arg(portShown));
            return kExitFailed;
        case RunResult::kBadSequenceNumber:
        case RunResult::kNotAPackage:
        case RunResult::kBusy:
            break;
    }
    Say(err, "the run did not take place");
    return kExitFailed;
}

int ListCommand(const QString& packagePath, std::FILE* out, std::FILE* err) {
    PackageFile package;
    PackageDirectory directory;
    if (!package.Open(packagePath.toStdString()) || !ReadDirectory(package, directory)) {
        Say(err, QString("cannot read the package %1").arg(packagePath));
        return kExitFailed;
    }
    const int64_t size = package.Size();
    std::fprintf(out, "%s: %lld bytes\n",
                 TerminalSafe(packagePath.toLocal8Bit().toStdString()).c_str(),
                 static_cast<long long>(size));
    std::fprintf(out, "%-4s  %-16s  %-6s  %-8s  %10s  %10s  %-11s  %s\n", "slot", "name", "kind",
                 "writer", "offset", "size", "first block", "warnings");
    for (const EntryListing& slot : ListDirectory(directory, static_cast<uint64_t>(size))) {
        std::string warnings;
        for (const std::string& w : slot.warnings) {
            warnings += (warnings.empty() ? "" : "; ") + w;
        }
        char kind[8];
        std::snprintf(kind, sizeof kind, "0x%04X", slot.kind);
        const std::string block =
            slot.inUse && slot.hasFirstBlock ? std::to_string(slot.firstBlock) : "-";
        std::fprintf(out, "%-4zu  %-16s  %-6s  %-8s  %10u  %10u  %-11s  %s\n", slot.slot,
                     slot.entry.name.empty() ? "-" : TerminalSafe(slot.entry.name).c_str(),
                     slot.inUse ? kind : "-", slot.inUse ? WriterName(slot.writer) : "unused",
                     slot.entry.offset, slot.entry.size, block.c_str(), warnings.c_str());
    }
    return kExitSucceeded;
}

int PackCommand(const QString& outputPath, const QStringList& entries, std::FILE* out,
                std::FILE* err) {
    if (entries.isEmpty()) {
        Say(err, "pack needs at least one NAME=FILE");
        return kExitUsage;
    }
    std::vector<PackageImage> images;
    for (const QString& entry : entries) {
        const int equals = entry.indexOf('=');
        const QString file = equals < 0 ? entry : entry.mid(equals + 1);
        const QString name = equals < 0 ? QFileInfo(entry).fileName() : entry.left(equals);
        QFile input(file);
        if (!input.open(QIODevice::ReadOnly)) {
            Say(err, QString("cannot read %1").arg(file));
            return kExitFailed;
        }
        const QByteArray bytes = input.readAll();
        images.push_back({name.toStdString(), std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    std::vector<uint8_t> package;
    std::string error;
    if (!BuildPackage(images, package, error)) {
        Say(err, QString::fromStdString(error));
        return kExitUsage;
    }
    QFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        output.write(reinterpret_cast<const char*>(package.data()),
                     static_cast<qint64>(package.size())) != static_cast<qint64>(package.size()) ||
        !output.flush()) {
        Say(err, QString("cannot write %1").arg(outputPath));
        return kExitFailed;
    }
    std::fprintf(out, "%s: %zu entries, %zu bytes\n",
                 TerminalSafe(outputPath.toLocal8Bit().toStdString()).c_str(), images.size(),
                 package.size());
    return kExitSucceeded;
}

}  // namespace korvane
