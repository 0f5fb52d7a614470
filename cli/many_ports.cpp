// korvane-flash with several ports: one device on each at the same time, one flash run
// per port on its own thread with its own link, every number drawn from the station's one
// counter at the moment that device's record goes out. A port whose device fails or
// vanishes holds up no other.
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <thread>

#include "cli/commands.h"
#include "cli/port_board.h"
#include "settings/profile.h"
#include "station/station.h"

namespace korvane {

namespace {

struct PortOutcome {
    QString name;  // as given
    QString device;
    RunResult result = RunResult::kFailed;
    JournalRecord record;  // as the journal completed it (when the run began)
    QString status;        // the last thing said about this port
};

// The package's SHA-256 is that of the bytes this port's run read and wrote.
QByteArray JsonLine(const PortOutcome& port, const QString& package) {
    const bool succeeded = port.result == RunResult::kSucceeded;
    QJsonArray entries;
    for (const JournalEntry& entry : port.record.entries) {
        entries.append(QJsonObject{{"name", entry.name},
                                   {"kind", entry.kind},
                                   {"bytes", entry.bytes},
                                   {"result", entry.result}});
    }
    const QJsonObject object{
        {"port", port.name},
        {"device", port.device},
        {"package", package},
        {"sha256", port.record.sha256.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                : QJsonValue(port.record.sha256)},
        {"sn", port.record.sequenceNumber ? QJsonValue(*port.record.sequenceNumber)
                                          : QJsonValue(QJsonValue::Null)},
        {"serial", port.record.serial.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                : QJsonValue(port.record.serial)},
        {"result", succeeded ? "succeeded" : "failed"},
        {"status", port.status},
        {"seconds", port.record.seconds},
        {"entries", entries},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void PrintSummary(const std::vector<PortOutcome>& ports, std::FILE* out) {
    qsizetype width = 4;
    for (const PortOutcome& port : ports) {
        width = std::max(width, port.name.size());
    }
    std::fprintf(out, "%s  %-5s  %-13s  %-9s  %7s\n",
                 QString("port").leftJustified(width).toLocal8Bit().constData(), "sn", "serial",
                 "result", "seconds");
    for (const PortOutcome& port : ports) {
        const bool succeeded = port.result == RunResult::kSucceeded;
        const QString number = port.record.sequenceNumber
                                   ? QString::number(*port.record.sequenceNumber)
                                   : QStringLiteral("-");
        QString line = QString::asprintf(
            "%s  %-5s  %-13s  %-9s  %7.2f",
            port.name.leftJustified(width).toLocal8Bit().constData(),
            number.toLocal8Bit().constData(),
            port.record.serial.isEmpty() ? "-" : port.record.serial.toLocal8Bit().constData(),
            succeeded ? "succeeded" : "failed", port.record.seconds);
        if (!succeeded) {
            line += "  " + port.status;  // why it failed
        }
        std::fprintf(out, "%s\n", line.toLocal8Bit().constData());
    }
}

}  // namespace

int ManyPortsCommand(const FlashOptions& options, std::FILE* out, std::FILE* err) {
    // With JSON, standard output carries nothing but the objects.
    std::FILE* said = options.json ? err : out;
    const ProfileValues saved = ReadProfile();
    const QStringList names = options.ports.isEmpty() ? QStringList{QString()} : options.ports;
    std::vector<PortOutcome> ports(static_cast<size_t>(names.size()));
    std::vector<PortChoice> choices(ports.size());
    std::vector<QString> shown;
    for (size_t i = 0; i < ports.size(); ++i) {
        QString described;
        if (!ChoosePort(names[static_cast<qsizetype>(i)], saved.portIndex, choices[i], described)) {
            Say(err, QString("bad port '%1': give COM1 … COM255 or a device path")
                         .arg(names[static_cast<qsizetype>(i)]));
            return kExitUsage;
        }
        ports[i].name = choices[i].device.empty() ? QStringLiteral("COM%1").arg(choices[i].number)
                                                  : names[static_cast<qsizetype>(i)];
        ports[i].device = QString::fromStdString(
            choices[i].device.empty() ? PortDeviceName(choices[i].number) : choices[i].device);
        shown.push_back(ports[i].name);
    }
    if (const auto refused = RefusedBeforeTheDevice(options, said, err)) {
        return *refused;
    }
    QString problem;
    const auto station = Station::SetUp(options.station, problem);
    if (!station) {
        Say(err, problem);
        return kExitUsage;
    }
    if (const QString warning = station->Warning(); !warning.isEmpty()) {
        Say(err, warning);
    }
    std::string why;
    if (!station->TakeForRuns(options.sequenceNumber, why)) {
        Say(err, QString("%1 Nothing was sent to any device.").arg(QString::fromStdString(why)));
        return kExitFailed;
    }

    PortBoard board(out, shown,
                    options.json               ? PortBoard::Mode::kSilent
                    : isatty(fileno(out)) != 0 ? PortBoard::Mode::kLiveLines
                                               : PortBoard::Mode::kPlainLines);
    std::mutex printing;
    std::vector<std::thread> runs;
    for (size_t i = 0; i < ports.size(); ++i) {
        runs.emplace_back([&, i] {
            PortOutcome& port = ports[i];
            const std::unique_ptr<StationRun> share = station->NewRun();
            DeviceLink link;
            FlashRun run(link, board.Feedback(i));
            FlashRequest request;
            request.packagePath = options.packagePath.toStdString();
            request.port = choices[i];
            board.Started(i, port.device);
            port.result = run.Run(request, *share->numbers, share->recorder.get());
            if (!share->recorder->RunId().isEmpty()) {
                port.record = share->recorder->LastRecord();
                port.status = port.record.status;
            }
            if (!run.Reason().empty()) {
                port.status = QString::fromStdString(run.Reason());
            }
            board.Ended(i, port.result == RunResult::kSucceeded
                               ? QStringLiteral("succeeded, number %1")
                                     .arg(port.record.sequenceNumber.value_or(0))
                               : "failed: " + port.status);
            if (options.json) {
                const QByteArray line = JsonLine(port, options.packagePath);
                std::lock_guard<std::mutex> lock(printing);
                std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out);
                std::fflush(out);
            }
            if (const QString unrecorded = share->recorder->CompletionProblem();
                !unrecorded.isEmpty()) {
                Say(err, port.name + ": " + unrecorded);
            }
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    station->GiveForRuns();
    board.Finish();
    if (!options.json) {
        PrintSummary(ports, out);
    }
    const bool allSucceeded = std::all_of(ports.begin(), ports.end(), [](const PortOutcome& p) {
        return p.result == RunResult::kSucceeded;
    });
    return allSucceeded ? kExitSucceeded : kExitFailed;
}

}  // namespace korvane
