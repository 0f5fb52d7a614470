// The window's flash run: Update and Reset, the questions a run asks the operator, its
// clock, and the feedback the run gives through the window.
#include "app/flasher_dialog.h"
#include "app/reason_text.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimerEvent>
#include <algorithm>

#include "app/dialog_port.h"
#include "app/gui_thread.h"
#include "controls/gradient_progress.h"
#include "controls/icon_button.h"
#include "settings/os_text.h"
#include "settings/serial_ports.h"

namespace korvane {

namespace {

constexpr int kClockPeriodMs = 1000;
constexpr unsigned kWaitSliceMs = 2;

}  // namespace

PortChoice PortOf(int index) {
    return *ChoosePort(QString(), index);
}

QString ClockText(qint64 elapsed) {
    // A wall clock set back during a run would give a negative time; it reads 00:00.
    elapsed = std::max<qint64>(elapsed, 0);
    return QString::asprintf("%.2d:%.2d", static_cast<int>((elapsed / 60) % 60),
                             static_cast<int>(elapsed % 60));
}

void FlasherDialog::OnOK() {
    // A failing entry enables Update while the worker still runs; one run at a time.
    if (run.Active()) {
        return;
    }
    // A sequence number outside 1 … 99999 would be cut in the serial record and repeat
    // another device's number: the prompt has been shown, and nothing is started.
    if (!UpdateData(true)) {
        return;
    }
    if (!session) {
        ShowStatus(stationProblem.toStdString());
        return;
    }
    const std::optional<int> chosen = ChosenSequenceNumber();
    if (chosen && session->GetStation().NumbersFromJournal() && !ConfirmSharedNumber(*chosen)) {
        return;
    }
    const RunOutcome outcome =
        session->RunOne(run, OsBytes(packagePath), PortOf(portIndex), chosen);
    // What the run found of the bytes it read replaces what was found when it was chosen.
    packageSignature = QString::fromStdString(outcome.signature);
    SetStatusToolTip(statusLine->text());
    // Why the counter or the journal refused a number outweighs the generic failure in the
    // status line; any other reason is too long for it, and stands under it in the tooltip,
    // with what else the operator should know of the run.
    QStringList tooltip;
    if (outcome.reasonIsTheNumbers) {
        ShowStatus(ReasonInWindow(outcome).toStdString());
    } else if (!outcome.reason.empty()) {
        tooltip << AsSentence(ReasonInWindow(outcome));
    }
    for (const std::string& note : outcome.notes) {
        tooltip << AsSentence(QString::fromStdString(note));
    }
    if (!outcome.uid.empty()) {
        tooltip << QStringLiteral("The device: chip %1, %2 KiB of flash.")
                       .arg(QString::fromStdString(outcome.uid))
                       .arg(outcome.flashKib.value_or(0));
    }
    if (!tooltip.isEmpty()) {
        SetStatusToolTip(statusLine->text() + "\n" + tooltip.join('\n'));
    }
}

Rework FlasherDialog::AskRework(const EarlierRun& earlier) {
    QMessageBox ask(
        QMessageBox::Question, QCoreApplication::applicationName(),
        QStringLiteral("This device was flashed before: it was given %1 by station %2 "
                       "on %3.")
            .arg(QString::fromStdString(earlier.serial), QString::fromStdString(earlier.station),
                 QString::fromStdString(earlier.started)),
        QMessageBox::NoButton, this);
    QPushButton* fresh = ask.addButton(QStringLiteral("New number"), QMessageBox::AcceptRole);
    QPushButton* keep = ask.addButton(QStringLiteral("Keep its number"), QMessageBox::AcceptRole);
    QPushButton* refuse = ask.addButton(QStringLiteral("Do not flash"), QMessageBox::RejectRole);
    ask.setDefaultButton(fresh);
    ask.exec();
    return ask.clickedButton() == keep     ? Rework::kKeep
           : ask.clickedButton() == refuse ? Rework::kRefuse
                                           : Rework::kNew;
}

bool FlasherDialog::ConfirmSharedNumber(int number) {
    return QMessageBox::question(
               this, QCoreApplication::applicationName(),
               QStringLiteral("Set the next sequence number of every station of the journal %1 "
                              "to %2?")
                   .arg(session->GetStation().Recorder().Store().Where())
                   .arg(number)) == QMessageBox::Yes;
}

void FlasherDialog::OnResetTarget() {
    if (run.Active()) {
        return;
    }
    // The port as last exchanged; a port that does not open is not reported.
    if (!link.OpenDevice(PortOf(portIndex).device, DeviceLink::kBaudRate)) {
        return;
    }
    link.ResetToFirmware(session ? session->GetStation().Wiring() : FixtureWiring{});
}

void FlasherDialog::StartClock() {
    runStartTime = wallClock();
    clockTimer = startTimer(kClockPeriodMs);
    RefreshClock();
}

void FlasherDialog::StopClock() {
    if (clockTimer != 0) {
        killTimer(clockTimer);
        clockTimer = 0;
    }
}

void FlasherDialog::RefreshClock() {
    clock->setText(ClockText(wallClock() - runStartTime));
}

void FlasherDialog::timerEvent(QTimerEvent* event) {
    RefreshClock();
    QDialog::timerEvent(event);
}

void FlasherDialog::WaitForWorker(const std::function<bool(unsigned)>& workerEnded) {
    // Between short waits the window handles what is pending: the worker's changes to the
    // controls, the clock, repaints, and the operator's input.
    while (!workerEnded(kWaitSliceMs)) {
        QCoreApplication::processEvents();
    }
}

void FlasherDialog::ShowStatus(const std::string& text) {
    ApplyOnThreadOf(this, [&] {
        const QString shown = QString::fromLocal8Bit(text.data(), static_cast<int>(text.size()));
        statusLine->setText(shown);
        // A long text does not fit the line; the tooltip shows it whole.
        SetStatusToolTip(shown);
    });
}

void FlasherDialog::Progress(int position) {
    ApplyOnThreadOf(this, [&] { progress->SetPos(position); });
}

void FlasherDialog::EnableCommands(bool on) {
    ApplyOnThreadOf(this, [&] {
        cancelButton->setEnabled(on);
        okButton->setEnabled(on);
        resetButton->setEnabled(on);
    });
}

void FlasherDialog::ShowSequenceNumber(int number) {
    // The member follows the edit: whatever the window does during a run (a browse
    // rewrites every control from its member) never brings back an older number.
    ApplyOnThreadOf(this, [&] { TakeSequenceNumber(number); });
}

}  // namespace korvane
