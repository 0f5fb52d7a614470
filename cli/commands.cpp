#include "cli/commands.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "cli/console_feedback.h"
#include "cli/terminal_text.h"
#include "flashing/entry_kind.h"
#include "flashing/flash_run.h"
#include "flashing/package.h"
#include "flashing/package_trust.h"
#include "flashing/run_checks.h"
#include "flashing/serial_record.h"
#include "link/device_link.h"
#include "settings/os_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/station.h"

namespace korvane {

namespace {

constexpr char kTool[] = "korvane-flash";

}  // namespace

void Say(std::FILE* to, const QString& text) {
    std::fprintf(to, "%s: %s\n", kTool, TerminalSafe(OsBytes(text)).c_str());
}

std::optional<int> RefusedBeforeTheDevice(const FlashOptions& options, std::FILE* out,
                                          std::FILE* err, RunCheck& check) {
    FlashRequest request;
    request.packagePath = OsBytes(options.packagePath);
    request.sequenceNumber = options.sequenceNumber;
    ConsoleFeedback feedback(out);
    check = CheckBeforeTheDevice(request, feedback);
    if (!check.Refused()) {
        return std::nullopt;
    }
    if (check.result == RunResult::kBadSequenceNumber) {
        Say(err, QString("the sequence number %1 is outside %2 … %3; a longer one would be cut "
                         "and repeat another device's serial number. Give one with --sn.")
                     .arg(*options.sequenceNumber)
                     .arg(kMinSequenceNumber)
                     .arg(kMaxSequenceNumber));
    } else {
        Say(err, FromOsBytes(check.reason));
    }
    return kExitFailed;
}

int ListCommand(const QString& packagePath, const std::optional<QString>& trustedKeys,
                std::FILE* out, std::FILE* err) {
    // A profile a run would refuse says nothing true about what the station flashes.
    const StationSettings settings = ReadStationSettings();
    if (!settings.problem.isEmpty()) {
        Say(err, settings.problem);
        return kExitUsage;
    }
    PackageFile package;
    PackageDirectory directory;
    if (!package.Open(OsBytes(packagePath)) || !ReadDirectory(package, directory)) {
        Say(err, QString("cannot read the package %1").arg(packagePath));
        return kExitFailed;
    }
    const int64_t size = package.Size();
    std::fprintf(out, "%s: %lld bytes\n", TerminalSafe(OsBytes(packagePath)).c_str(),
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
    // The same check a run makes, on the bytes just read.
    const PackageTrust trust = CheckPackageTrust(
        package.Path(), package.Bytes(),
        QFile::encodeName(trustedKeys.value_or(settings.trustedKeys)).toStdString());
    const std::string said = trust.Text();
    std::fprintf(out, "signature: %s\n", said.empty() ? "none" : TerminalSafe(said).c_str());
    if (!trust.SignedComment().empty()) {
        std::fprintf(out, "trusted comment: %s\n", TerminalSafe(trust.SignedComment()).c_str());
    }
    if (trust.Refused()) {
        std::fprintf(out, "this station does not flash it\n");
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
    // A package that no run would flash (two firmware images, say) is of no use on a line.
    if (const std::string refusal = PackageRefusal(ParseDirectory(package.data(), package.size()));
        !refusal.empty()) {
        Say(err,
            QString("%1: a run would refuse the package").arg(QString::fromStdString(refusal)));
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
