// korvane-flash's flash: one device on each port given (one port is a list of one), one
// flash run per port on its own thread with its own link, every number drawn from the
// station's one counter at the moment that device's record goes out. A port whose device
// fails or vanishes holds up no other. One port is shown as the window would show it:
// status lines and a bar; several (or JSON) on a board, one line a port, and a summary.
#include <unistd.h>
#include <QElapsedTimer>
#include <mutex>
#include <thread>

#include "cli/commands.h"
#include "cli/console_feedback.h"
#include "cli/port_board.h"
#include "cli/port_outcome.h"
#include "cli/terminal_text.h"
#include "settings/os_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/port_runs.h"
#include "station/station.h"
#include "station/station_session.h"

namespace korvane {

namespace {

// What the station must hear at once, whichever port's run found it.
void SayAlerts(const RunOutcome& outcome, std::FILE* err) {
    for (const std::string& alert : outcome.alerts) {
        Say(err, QString::fromStdString(alert));
    }
}

void PrintSummary(const std::vector<PortOutcome>& ports, std::FILE* out) {
    qsizetype width = 4;
    for (const PortOutcome& port : ports) {
        width = std::max(width, port.Name().size());
    }
    std::fprintf(out, "%s  %-5s  %-13s  %-9s  %7s  %-24s\n",
                 QString("port").leftJustified(width).toLocal8Bit().constData(), "sn", "serial",
                 "result", "seconds", "uid");
    for (const PortOutcome& port : ports) {
        const QString number =
            port.outcome.number ? QString::number(*port.outcome.number) : QStringLiteral("-");
        QString line =
            QString::asprintf("%s  %-5s  %-13s  %-9s  %7.2f  %-24s",
                              port.Name().leftJustified(width).toLocal8Bit().constData(),
                              number.toLocal8Bit().constData(),
                              port.outcome.serial.empty() ? "-" : port.outcome.serial.c_str(),
                              port.Succeeded() ? "succeeded" : "failed", port.record.seconds,
                              port.outcome.uid.empty() ? "-" : port.outcome.uid.c_str());
        if (!port.Succeeded()) {
            line += "  " + port.status;  // why it failed
        }
        std::fprintf(out, "%s\n", line.toLocal8Bit().constData());
    }
}

// What the tool says of one port's run after its status lines, and its exit status. The
// serial the device was given and the next number come after the notes; why the run
// failed, last.
int SayOutcome(const PortOutcome& port, const QString& packagePath, std::optional<int> nextNumber,
               std::FILE* err) {
    const RunOutcome& outcome = port.outcome;
    const QString reason = ReasonWithAdvice(outcome, port.port);
    const QString shown = QString::fromStdString(PortShown(port.port));
    // A refusal for the signature is the status line itself.
    if (!outcome.signature.empty() && outcome.result != RunResult::kPackageRefused) {
        Say(err, QString::fromStdString(outcome.signature));
    }
    for (const std::string& note : outcome.notes) {
        Say(err, QString::fromStdString(note));
    }
    // Not a status line: standard output carries the run's status lines only, so the last
    // one there is always how the run ended.
    const QString next = nextNumber ? QString("next sequence number %1").arg(*nextNumber) : "";
    if (!outcome.serial.empty()) {
        Say(err,
            QString("%1 given to the device%2")
                .arg(QString::fromStdString(outcome.serial), next.isEmpty() ? "" : "; " + next));
    } else if (!next.isEmpty()) {
        Say(err, next);
    }
    switch (outcome.result) {
        case RunResult::kSucceeded:
            if (!reason.isEmpty()) {
                Say(err, QString("the package went in, but %1").arg(reason));
                return kExitFailed;
            }
            return kExitSucceeded;
        case RunResult::kNotRecorded:
        case RunResult::kNumberUnavailable:
            Say(err, QString("%1 Nothing was sent to the device.").arg(reason));
            return kExitFailed;
        case RunResult::kPortNotOpened:
            Say(err, QString("cannot open the serial port %1").arg(shown));
            if (!reason.isEmpty()) {
                Say(err, reason);
            }
            return kExitFailed;
        case RunResult::kNotConnected:
            Say(err,
                reason.isEmpty() ? QString("no bootloader answered on %1").arg(shown) : reason);
            return kExitFailed;
        case RunResult::kFileNotOpened:
            Say(err,
                reason.isEmpty() ? QString("cannot open the package %1").arg(packagePath) : reason);
            return kExitFailed;
        case RunResult::kPackageRefused:
            Say(err, QString("nothing was sent to the device on %1").arg(shown));
            return kExitFailed;
        case RunResult::kFailed: {
            // Why, on the last line: what failed, where, and how.
            const QString failed =
                QString("the package %1 did not go in whole on %2").arg(packagePath, shown);
            Say(err, reason.isEmpty() ? failed : failed + ": " + reason);
            return kExitFailed;
        }
        case RunResult::kInterrupted:
            Say(err, QString("interrupted; the port %1 is closed").arg(shown));
            return kExitFailed;
        case RunResult::kReadProtected:
        case RunResult::kReworkRefused:
        case RunResult::kChipElsewhere:
            Say(err, reason);
            return kExitFailed;
        case RunResult::kBadSequenceNumber:
        case RunResult::kNotAPackage:
        case RunResult::kBusy:
            break;
    }
    Say(err, "the run did not take place");
    return kExitFailed;
}

// With JSON, one object for each port whose run was refused before its port was opened:
// the line's software hears of every device it expected, flashed or not.
void WriteRefusals(StationSession& session, const FlashOptions& options, const std::string& code,
                   const std::string& reason, std::FILE* out) {
    std::mutex printing;
    for (const PortChoice& port : session.Ports()) {
        PortOutcome refused{port, {}, {}, QString::fromStdString(reason)};
        refused.outcome.code = code;
        refused.outcome.reason = reason;
        WriteJsonLine(refused, options.packagePath, session.GetStation().Name(), printing, out);
    }
}

// What every flash needs before its first device: the ports, the checks that need no
// device, and the station with its counter taken for the runs. An exit status when it
// cannot go on.
std::optional<int> Prepare(const FlashOptions& options, bool onePort, std::FILE* out,
                           std::FILE* err, std::unique_ptr<StationSession>& session) {
    // With JSON, standard output carries nothing but the objects.
    std::FILE* said = options.json ? err : out;
    SessionRefusal refusal;
    // A watch without ports given watches the station's fixtures.
    session = StationSession::Open(
        options.station, options.ports,
        options.watch ? StationSession::Unnamed::kFixtures : StationSession::Unnamed::kProfilePort,
        refusal);
    if (!session) {
        Say(err, refusal.text);
        return kExitUsage;
    }
    RunCheck check;
    if (const auto refused = RefusedBeforeTheDevice(options, said, err, check)) {
        if (options.json) {
            WriteRefusals(*session, options, ResultCode(check.result),
                          FromOsBytes(check.reason).toStdString(), out);
        }
        return *refused;
    }
    const bool started = session->Start(options.sequenceNumber, refusal);
    for (const QString& warning : session->Warnings()) {
        Say(err, warning);
    }
    if (!started) {
        if (options.json) {
            WriteRefusals(*session, options, ResultCode(RunResult::kNumberUnavailable),
                          refusal.text.toStdString(), out);
        }
        // Said as the run would have said it, had it been its own to take.
        if (onePort) {
            std::fprintf(out, "%s\n", TerminalSafe(OsBytes(refusal.text)).c_str());
        }
        Say(err, QString("%1 Nothing was sent to %2.")
                     .arg(refusal.text, onePort ? "the device" : "any device"));
        return kExitFailed;
    }
    return std::nullopt;
}

PortBoard::Mode BoardMode(const FlashOptions& options, std::FILE* out) {
    return options.json               ? PortBoard::Mode::kSilent
           : isatty(fileno(out)) != 0 ? PortBoard::Mode::kLiveLines
                                      : PortBoard::Mode::kPlainLines;
}

// What the watch tells of one fixture: its state on the board, and with JSON one object
// for each device as it ends.
class FixtureLine : public FixtureObserver {
public:
    FixtureLine(PortBoard& board, size_t row, const PortChoice& port, const FlashOptions& options,
                QString station, std::mutex& printing, std::FILE* out, std::FILE* err)
        : board(board),
          row(row),
          port(port),
          options(options),
          station(std::move(station)),
          printing(printing),
          out(out),
          err(err) {}

    void StateChanged(FixtureState state, const std::string& detail) override {
        const QString word = FixtureStateWord(state);
        const QString said = QString::fromStdString(detail);
        switch (state) {
            case FixtureState::kEmpty:
                board.Ended(row, word, {}, {});
                break;
            case FixtureState::kFlashing:
                board.Started(row, QString::fromStdString(port.device));
                break;
            case FixtureState::kPassed:
                board.Ended(row, word, said, "take the device out");
                break;
            case FixtureState::kFailed:
            case FixtureState::kProtected:
                // Why, as the tool says it: with its own advice.
                board.Ended(row, word, lastSerial, lastStatus + " - take the device out");
                break;
            case FixtureState::kFlashedBefore:
                board.Ended(row, word, {}, said);
                break;
        }
    }

    void Flashed(const RunOutcome& outcome, const JournalRecord& record) override {
        const PortOutcome ended = OutcomeOf({port, outcome, record});
        lastStatus = ended.status;
        lastSerial = QString::fromStdString(outcome.serial);
        if (options.json) {
            WriteJsonLine(ended, options.packagePath, station, printing, out);
        }
        for (const std::string& note : outcome.notes) {
            Say(err, ended.Name() + ": " + QString::fromStdString(note));
        }
        SayAlerts(outcome, err);
    }

    OperatorFeedback& RunFeedback() override { return board.Feedback(row); }

private:
    PortBoard& board;
    size_t row;
    QString lastStatus;  // of the device last flashed here, for its board line
    QString lastSerial;  // the serial it was given, if any
    const PortChoice& port;
    const FlashOptions& options;
    const QString station;
    std::mutex& printing;
    std::FILE* out;
    std::FILE* err;
};

// Per fixture and in all: the devices that passed and failed, the yield, devices an hour
// over the watch's time, and how long the fixtures were busy flashing.
void PrintWatchSummary(const std::vector<PortChoice>& ports,
                       const std::vector<FixtureCounts>& counts, double hours, std::FILE* out) {
    qsizetype width = 5;
    for (const PortChoice& port : ports) {
        width = std::max<qsizetype>(width, QString::fromStdString(port.name).size());
    }
    std::fprintf(out, "%s  %6s  %6s  %6s  %9s  %8s\n",
                 QString("port").leftJustified(width).toLocal8Bit().constData(), "passed", "failed",
                 "yield", "per hour", "busy");
    FixtureCounts all;
    const auto line = [&](const QString& name, const FixtureCounts& c) {
        const std::optional<double> yieldPercent = c.YieldPercent();
        const QString yield =
            yieldPercent ? QString::asprintf("%5.1f%%", *yieldPercent) : QStringLiteral("-");
        std::fprintf(out, "%s  %6d  %6d  %6s  %9.0f  %7.0fs\n",
                     name.leftJustified(width).toLocal8Bit().constData(), c.passed, c.failed,
                     yield.toLocal8Bit().constData(), c.PerHour(hours), c.busySeconds);
    };
    for (size_t i = 0; i < ports.size(); ++i) {
        line(QString::fromStdString(ports[i].name), counts[i]);
        all.passed += counts[i].passed;
        all.failed += counts[i].failed;
        all.busySeconds += counts[i].busySeconds;
    }
    line(QStringLiteral("all"), all);
}

// The board's line names of the ports.
std::vector<QString> ShownNames(const std::vector<PortChoice>& ports) {
    std::vector<QString> shown;
    for (const PortChoice& port : ports) {
        shown.push_back(QString::fromStdString(port.name));
    }
    return shown;
}

// What the tool tells of the runs on every port: a board line each, an object each with
// JSON, and their notes.
class PortLines : public PortRunsObserver {
public:
    PortLines(PortBoard& board, const std::vector<PortChoice>& ports, const FlashOptions& options,
              QString station, std::FILE* out, std::FILE* err)
        : board(board),
          ports(ports),
          options(options),
          station(std::move(station)),
          out(out),
          err(err) {}

    OperatorFeedback& Feedback(size_t port) override { return board.Feedback(port); }
    void Started(size_t port) override {
        board.Started(port, QString::fromStdString(ports[port].device));
    }
    void Ended(size_t row, const PortRun& run) override {
        const PortOutcome port = OutcomeOf(run);
        board.Ended(row,
                    QLatin1String(FixtureStateWord(port.Succeeded() ? FixtureState::kPassed
                                                                    : FixtureState::kFailed)),
                    QString::fromStdString(port.outcome.serial),
                    port.Succeeded() ? QString() : port.status);
        if (options.json) {
            WriteJsonLine(port, options.packagePath, station, printing, out);
        }
        for (const std::string& note : port.outcome.notes) {
            Say(err, port.Name() + ": " + QString::fromStdString(note));
        }
        SayAlerts(port.outcome, err);
    }

private:
    PortBoard& board;
    const std::vector<PortChoice>& ports;
    const FlashOptions& options;
    const QString station;
    std::FILE* out;
    std::FILE* err;
    std::mutex printing;
};

}  // namespace

int WatchCommand(const FlashOptions& options, std::FILE* out, std::FILE* err) {
    std::unique_ptr<StationSession> session;
    if (const auto refused = Prepare(options, false, out, err, session)) {
        return *refused;
    }
    const std::vector<PortChoice> ports = session->Ports();
    // The summary goes where the board is; with JSON, standard output has only the objects.
    std::FILE* summaryTo = options.json ? err : out;
    WatchControl control;
    // The operator's first stop: the devices being flashed finish, no new one starts. The
    // watch ends only through it, so this thread has ended by the time the fixtures have.
    std::thread stopper([&] {
        char byte = 0;
        while (read(options.stopDescriptor, &byte, 1) < 0 && errno == EINTR) {
        }
        control.StopStartingDevices();
    });
    QElapsedTimer watched;
    watched.start();
    std::vector<FixtureCounts> counts;
    {
        PortBoard board(out, ShownNames(ports), BoardMode(options, out));
        std::mutex printing;
        std::vector<std::unique_ptr<FixtureLine>> lines;
        std::vector<FixtureObserver*> observers;
        for (size_t i = 0; i < ports.size(); ++i) {
            lines.push_back(std::make_unique<FixtureLine>(
                board, i, ports[i], options, session->GetStation().Name(), printing, out, err));
            observers.push_back(lines.back().get());
        }
        counts = session->Watch(OsBytes(options.packagePath), observers, control);
        board.Finish();
    }
    stopper.join();
    session.reset();  // the numbers go back before the summary is read
    PrintWatchSummary(ports, counts, watched.elapsed() / 3600000.0, summaryTo);
    const bool anyFailed = std::any_of(counts.begin(), counts.end(),
                                       [](const FixtureCounts& c) { return c.failed > 0; });
    return anyFailed ? kExitFailed : kExitSucceeded;
}

int FlashCommand(const FlashOptions& options, std::FILE* out, std::FILE* err) {
    if (options.watch) {
        return WatchCommand(options, out, err);
    }
    const bool onePort = options.ports.size() <= 1 && !options.json;
    std::unique_ptr<StationSession> session;
    if (const auto refused = Prepare(options, onePort, out, err, session)) {
        return *refused;
    }
    const std::vector<PortChoice> ports = session->Ports();

    if (onePort) {
        // One run, on this thread: nothing else is going on.
        ConsoleFeedback feedback(out);
        PortRun run{ports.front(), {}, {}};
        DeviceLink link;
        run.outcome = session->GetStation().RunOn(OsBytes(options.packagePath), run.port, link,
                                                  feedback, run.record);
        feedback.EndProgressLine();
        session.reset();
        SayAlerts(run.outcome, err);
        return SayOutcome(OutcomeOf(run), options.packagePath, feedback.NextNumber(), err);
    }

    PortBoard board(out, ShownNames(ports), BoardMode(options, out));
    PortLines lines(board, ports, options, session->GetStation().Name(), out, err);
    const std::vector<PortRun> runs = session->RunOnEveryPort(OsBytes(options.packagePath), lines);
    session.reset();
    board.Finish();
    std::vector<PortOutcome> ended;
    for (const PortRun& run : runs) {
        ended.push_back(OutcomeOf(run));
    }
    if (!options.json) {
        PrintSummary(ended, out);
    }
    const bool allSucceeded =
        std::all_of(ended.begin(), ended.end(), [](const PortOutcome& p) { return p.Succeeded(); });
    return allSucceeded ? kExitSucceeded : kExitFailed;
}

}  // namespace korvane
