// The program's main window: the operator picks the serial port and the package, checks
// the sequence number and presses Update; the flash run then reports through the status
// line, the gradient progress bar, the clock and the sequence-number edit. The dialog owns
// the link to the device and the run for its whole life, and keeps the operator's choices
// in the per-user profile.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "app/dialog_builder.h"
#include "flashing/flash_run.h"
#include "flashing/operator_feedback.h"
#include "link/device_link.h"
#include "station/station_session.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace korvane {

class GradientProgress;
class IconButton;

class FlasherDialog : public QDialog, private OperatorFeedback {
    Q_OBJECT

public:
    // Reads File, Port and SN from the profile and builds the window from template 102.
    explicit FlasherDialog(QWidget* parent = nullptr);
    ~FlasherDialog() override;

    // The control with a template identifier, nullptr for none.
    QWidget* Control(int id) const;
    const DeviceLink& Link() const { return link; }
    bool RunActive() const { return run.Active(); }

    // Where the clock takes the time from, in whole seconds. The wall clock by default.
    void SetWallClock(std::function<qint64()> clock) { wallClock = std::move(clock); }

    // Escape, the close box and the Cancel button: saves the settings and ends the dialog,
    // unless a run is active.
    void reject() override;

protected:
    // The clock tick, for any timer of the dialog.
    void timerEvent(QTimerEvent* event) override;
    // Where the window manager owns the system menu, the about entry is in this menu.
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    // Creates the controls and binds the custom ones.
    QWidget* MakeBoundControl(const res::ControlTemplate& control, QWidget* parent);
    void OnInitDialog();
    void AppendAboutEntry();

    // Data exchange: controls into members (save) or members into controls. Saving checks
    // that the sequence number is an integer in 1 … 99999 and prompts when it is not;
    // the result tells whether it was.
    bool UpdateData(bool save = true);
    bool ExchangeSequenceNumber();
    void Prompt(const QString& text, QWidget* control);

    // Handlers.
    void OnOK();
    // An operator's own number changes the sequence of every station that shares the
    // journal: asked once more, naming the journal.
    bool ConfirmSharedNumber(int number);
    // What the operator wants done with a chip flashed before, when the station's profile
    // does not say.
    Rework AskRework(const EarlierRun& earlier);
    void OnCancel();
    void OnBrowse();
    void OnResetTarget();
    void OnSysCommand(int id);

    // The clock of a run.
    void StartClock();
    void StopClock();
    void RefreshClock();
    // Keeps the window live until the worker ends.
    void WaitForWorker(const std::function<bool(unsigned)>& workerEnded);

    // The number the operator typed, when it is not the one the window last read from
    // the profile, wrote there, or was shown by a run: only then does it override the
    // counter, which may have moved on meanwhile in another program.
    std::optional<int> ChosenSequenceNumber() const;
    // The number now in force, in the member, the edit and as the last one seen.
    void TakeSequenceNumber(int number);

    // Operator feedback, applied on the dialog's thread whoever calls.
    void ShowStatus(const std::string& text) override;
    void Progress(int position) override;
    void EnableCommands(bool on) override;
    void ShowSequenceNumber(int number) override;

    void ShowPortDevice();
    // Checks the chosen package's signature as a run would, for the status line's tooltip.
    void ShowPackageSignature();
    void SetStatusToolTip(const QString& text);

    DeviceLink link;
    IconButton* resetButton = nullptr;
    IconButton* cancelButton = nullptr;
    IconButton* okButton = nullptr;
    GradientProgress* progress = nullptr;
    QString packagePath;
    int portIndex = 0;
    int sequenceNumber = 1;
    QIcon icon;

    int seenSequenceNumber = 1;
    // What the profile held instead of a sequence number, shown as found until a number
    // replaces it.
    std::optional<QString> damagedSequenceNumber;
    // Where numbers come from and where runs are recorded; null when the profile names
    // neither counter, which stationProblem then says.
    std::unique_ptr<StationSession> session;
    QString stationProblem;
    // What the operator should know of this station before any run (a line that will give
    // out numbers twice); it stands in the status line's tooltip.
    QString stationWarning;
    // What the chosen package's signature is, in a sentence; it stands in the status
    // line's tooltip. Empty when there is nothing to say.
    QString packageSignature;
    DialogControls controls;
    QLineEdit* pathEdit = nullptr;
    QLineEdit* sequenceNumberEdit = nullptr;
    QComboBox* portBox = nullptr;
    QLabel* statusLine = nullptr;
    QLabel* clock = nullptr;
    FlashRun run;
    std::function<qint64()> wallClock;
    qint64 runStartTime = 0;
    int clockTimer = 0;
};

// The clock's text for a run that has lasted elapsed seconds: minutes and seconds, hours
// dropped.
QString ClockText(qint64 elapsed);

// The platform file dialog's filter for a classic filter string ("Text|*.txt|...||").
QStringList NameFilters(const QString& classicFilter);

}  // namespace korvane
