#include "app/flasher_dialog.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QTimerEvent>
#include <algorithm>

#include "app/about_dialog.h"
#include "app/gui_thread.h"
#include "controls/colors.h"
#include "controls/gradient_progress.h"
#include "controls/icon_button.h"
#include "controls/icon_registry.h"
#include "flashing/package_trust.h"
#include "flashing/serial_record.h"
#include "platform/ticks.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "settings/os_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace korvane {

namespace {

constexpr int kClockPeriodMs = 1000;
constexpr unsigned kWaitSliceMs = 2;
constexpr uint8_t kCommandIconSize = 32;
constexpr char kPackageFilter[] = "Data Files(*.bin)|*.bin||";
constexpr char kPackageExtension[] = "bin";
constexpr char kNotAnInteger[] = "Please enter an integer.";
constexpr char kOutOfRange[] = "Please enter an integer between %d and %d.";

// The port a port-box index stands for: COM(index + 1), the number taken modulo 256 as
// the port's number is a byte, and the device it stands for at this station.
PortChoice PortOf(int index) {
    return *ChoosePort(QString(), index);
}

// A reason as a sentence of its own, under the status line.
QString AsSentence(const std::string& reason) {
    QString text = QString::fromStdString(reason);
    if (!text.isEmpty()) {
        text[0] = text[0].toUpper();
    }
    return text;
}

void SetTextColor(QWidget* widget, COLORREF color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, ToQColor(color));
    widget->setPalette(palette);
}

}  // namespace

QString ClockText(qint64 elapsed) {
    // A wall clock set back during a run would give a negative time; it reads 00:00.
    elapsed = std::max<qint64>(elapsed, 0);
    return QString::asprintf("%.2d:%.2d", static_cast<int>((elapsed / 60) % 60),
                             static_cast<int>(elapsed % 60));
}

QStringList NameFilters(const QString& classicFilter) {
    // Pairs of a description and its patterns, separated by "|", ended by "||".
    const QStringList parts = classicFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        if (description.isEmpty()) {
            break;
        }
        // The file dialog reads the patterns from the description's last parentheses.
        const QString shown = QStringLiteral("(%1)").arg(patterns);
        filters << (description.endsWith(shown) ? description : description + " " + shown);
    }
    return filters;
}

FlasherDialog::FlasherDialog(QWidget* parent)
    : QDialog(parent),
      run(link, *this,
          // A run on the stored number shows it: another program may have moved it on.
          FlashRunHooks{[this](int number) {
                            if (!ChosenSequenceNumber()) {
                                TakeSequenceNumber(number);
                            }
                        },
                        [this] { StartClock(); },
                        [this](const std::function<bool(unsigned)>& workerEnded) {
                            WaitForWorker(workerEnded);
                        },
                        [this] { StopClock(); },
                        [this](const EarlierRun& earlier) { return AskRework(earlier); },
                        {}}),
      wallClock([] { return QDateTime::currentSecsSinceEpoch(); }) {
    station = Station::SetUp(StationOptions{}, stationProblem);
    if (station) {
        stationWarning = station->Warning();
    }
    const ProfileValues saved = ReadProfile();
    packagePath = saved.file;
    portIndex = saved.portIndex;
    sequenceNumber = seenSequenceNumber = saved.sequenceNumber.value;
    if (!saved.sequenceNumber.Usable()) {
        // Shown as found: the range prompt then stops Update until the operator gives a
        // number, instead of the numbering starting again at 1.
        damagedSequenceNumber = saved.sequenceNumber.text;
    }
    icon = res::ResourceIcon(res::kApplicationIcon);

    controls = BuildDialog(*this, *res::FindDialogTemplate(res::kMainDialog),
                           [this](const res::ControlTemplate& control, QWidget* parentWidget) {
                               return MakeBoundControl(control, parentWidget);
                           });
    OnInitDialog();
    ShowPackageSignature();
    // Why Update will ask for a number (damaged, or every number given), before it is
    // pressed.
    if (!saved.sequenceNumber.Usable()) {
        ShowStatus(
            DescribeSequenceNumber(saved.sequenceNumber, NumberEntry::kWindow).toStdString());
    }
}

FlasherDialog::~FlasherDialog() = default;

QWidget* FlasherDialog::Control(int id) const {
    const auto found = controls.find(id);
    return found == controls.end() ? nullptr : found->second;
}

QWidget* FlasherDialog::MakeBoundControl(const res::ControlTemplate& control,
                                         QWidget* parentWidget) {
    switch (control.id) {
        case res::kReset:
            return resetButton = new IconButton(parentWidget);
        case res::kCancel:
            return cancelButton = new IconButton(parentWidget);
        case res::kOk:
            return okButton = new IconButton(parentWidget);
        case res::kProgressBar:
            return progress = new GradientProgress(parentWidget);
        default:
            return nullptr;
    }
}

void FlasherDialog::OnInitDialog() {
    pathEdit = qobject_cast<QLineEdit*>(Control(res::kPackagePathEdit));
    sequenceNumberEdit = qobject_cast<QLineEdit*>(Control(res::kSequenceNumberEdit));
    portBox = qobject_cast<QComboBox*>(Control(res::kPortBox));
    statusLine = qobject_cast<QLabel*>(Control(res::kStatusLine));
    clock = qobject_cast<QLabel*>(Control(res::kClock));
    UpdateData(false);

    AppendAboutEntry();
    setWindowIcon(icon);

    progress->SetLabelColorOffBar(MakeColor(255, 0, 0));
    progress->SetLabelColorOnBar(MakeColor(255, 0, 0));
    progress->SetLabelFormat(QStringLiteral("%d%%"), GradientProgress::GPS_PERCENT);
    progress->SetBarColors({0x000080FF, 0x00FFFF00});
    progress->SetRange(0, 100);
    progress->SetPos(0);

    okButton->SetIcon(res::kUpdateIcon, 0, kCommandIconSize, kCommandIconSize);
    cancelButton->SetIcon(res::kCancelIcon, 0, kCommandIconSize, kCommandIconSize);
    resetButton->SetIcon(res::kResetIcon, 0, kCommandIconSize, kCommandIconSize);

    Control(res::kSequenceNumberLabel)->show();
    sequenceNumberEdit->show();

    // Status in blue and the clock in red, whatever the palette.
    SetTextColor(statusLine, MakeColor(0, 0, 255));
    SetTextColor(clock, MakeColor(255, 0, 0));

    // The run starts once the click that asked for it is over, so the button has given
    // the mouse back before the window spends the run in its wait loop.
    connect(okButton, &QPushButton::clicked, this, &FlasherDialog::OnOK, Qt::QueuedConnection);
    connect(cancelButton, &QPushButton::clicked, this, &FlasherDialog::reject);
    connect(resetButton, &QPushButton::clicked, this, &FlasherDialog::OnResetTarget);
    connect(qobject_cast<QPushButton*>(Control(res::kBrowseButton)), &QPushButton::clicked, this,
            &FlasherDialog::OnBrowse);
    connect(portBox, &QComboBox::currentIndexChanged, this, &FlasherDialog::ShowPortDevice);
    connect(pathEdit, &QLineEdit::editingFinished, this, [this] {
        packagePath = pathEdit->text();
        ShowPackageSignature();
    });
    // Adapters come and go and other programs take ports while the window stays open:
    // the description is made afresh each time it is about to be shown.
    portBox->installEventFilter(this);
    ShowPortDevice();
}

bool FlasherDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == portBox && event->type() == QEvent::ToolTip) {
        ShowPortDevice();
    }
    return QDialog::eventFilter(watched, event);
}

void FlasherDialog::ShowPortDevice() {
    const int index = portBox->currentIndex();
    portBox->setToolTip(index < 0 ? QString()
                                  : DescribeSerialPort(ListingForDevice(
                                        QString::fromStdString(PortOf(index).device))));
}

bool FlasherDialog::UpdateData(bool save) {
    if (!save) {
        pathEdit->setText(packagePath);
        portBox->setCurrentIndex(portIndex);
        sequenceNumberEdit->setText(
            damagedSequenceNumber.value_or(QString::number(sequenceNumber)));
        return true;
    }
    packagePath = pathEdit->text();
    portIndex = portBox->currentIndex();
    return ExchangeSequenceNumber();
}

bool FlasherDialog::ExchangeSequenceNumber() {
    bool isInteger = false;
    const int value = sequenceNumberEdit->text().trimmed().toInt(&isInteger);
    if (!isInteger) {
        Prompt(QString::fromLatin1(kNotAnInteger), sequenceNumberEdit);
        return false;
    }
    sequenceNumber = value;
    if (!IsValidSequenceNumber(value)) {
        Prompt(QString::asprintf(kOutOfRange, kMinSequenceNumber, kMaxSequenceNumber),
               sequenceNumberEdit);
        return false;
    }
    return true;
}

void FlasherDialog::Prompt(const QString& text, QWidget* control) {
    QMessageBox::warning(this, QCoreApplication::applicationName(), text);
    control->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->selectAll();
    }
}

std::optional<int> FlasherDialog::ChosenSequenceNumber() const {
    const bool typed = damagedSequenceNumber ? sequenceNumberEdit->text() != *damagedSequenceNumber
                                             : sequenceNumber != seenSequenceNumber;
    return typed ? std::optional<int>(sequenceNumber) : std::nullopt;
}

void FlasherDialog::TakeSequenceNumber(int number) {
    sequenceNumber = seenSequenceNumber = number;
    damagedSequenceNumber.reset();
    sequenceNumberEdit->setText(QString::number(number));
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
    if (!station) {
        ShowStatus(stationProblem.toStdString());
        return;
    }
    FlashRequest request = station->RequestFor(OsBytes(packagePath), PortOf(portIndex));
    request.sequenceNumber = ChosenSequenceNumber();
    if (request.sequenceNumber && station->NumbersFromJournal() &&
        !ConfirmSharedNumber(*request.sequenceNumber)) {
        return;
    }
    const RunOutcome outcome = run.Run(request, station->Numbers(), &station->Recorder());
    // What the run found of the bytes it read replaces what was found when it was chosen.
    packageSignature = QString::fromStdString(outcome.signature);
    SetStatusToolTip(statusLine->text());
    // Why the counter or the journal refused a number outweighs the generic failure in the
    // status line; any other reason is too long for it, and stands under it in the tooltip,
    // with what else the operator should know of the run.
    QStringList tooltip;
    if (outcome.reasonIsTheNumbers) {
        ShowStatus(outcome.reason);
    } else if (!outcome.reason.empty()) {
        tooltip << AsSentence(outcome.reason);
    }
    for (const std::string& note : outcome.notes) {
        tooltip << AsSentence(note);
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
                   .arg(station->Recorder().Store().Where())
                   .arg(number)) == QMessageBox::Yes;
}

void FlasherDialog::reject() {
    OnCancel();
}

void FlasherDialog::OnCancel() {
    // Nothing closes the link or the package under a running worker.
    if (run.Active()) {
        return;
    }
    // The package and the port are saved whatever the number holds; a number that fails its
    // check (the operator was just told so) is not: written, it would stop every later run
    // of the window and the tool on a damaged profile.
    const bool numberValid = UpdateData(true);
    link.Close();
    // The stored number is the counter's: it is written back only when the operator
    // typed another one, and never while another program holds it.
    const std::optional<int> chosen = numberValid ? ChosenSequenceNumber() : std::nullopt;
    if (chosen && station && station->Profile() != nullptr) {
        std::string why;
        // The window is going away: a status line would not be read, and the operator
        // must know that the number typed was not kept.
        if (!station->Profile()->SaveChosen(*chosen, why)) {
            QMessageBox::warning(this, QCoreApplication::applicationName(),
                                 QStringLiteral("The sequence number %1 was not saved. %2")
                                     .arg(*chosen)
                                     .arg(QString::fromStdString(why)));
        }
    }
    // A damaged profile is left as it is, the evidence included, until a number replaces it.
    if (!damagedSequenceNumber || chosen) {
        WriteProfile(packagePath, portIndex);
    }
    QDialog::reject();
}

void FlasherDialog::OnBrowse() {
    QFileDialog fileDialog(this);
    fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
    fileDialog.setFileMode(QFileDialog::AnyFile);
    fileDialog.setDefaultSuffix(QString::fromLatin1(kPackageExtension));
    fileDialog.setNameFilters(NameFilters(QString::fromLatin1(kPackageFilter)));
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty()) {
        return;
    }
    packagePath = QDir::toNativeSeparators(fileDialog.selectedFiles().first());
    // Every control is rewritten from its member: edits of the port and the number that
    // were not taken by a run are dropped.
    UpdateData(false);
    ShowPackageSignature();
}

void FlasherDialog::ShowPackageSignature() {
    packageSignature.clear();
    PackageFile package;
    if (station && !packagePath.isEmpty() && package.Open(OsBytes(packagePath))) {
        packageSignature = QString::fromStdString(
            CheckPackageTrust(package.Path(), package.Bytes(), station->TrustedKeys()).Text());
    }
    SetStatusToolTip(statusLine->text());
}

void FlasherDialog::OnResetTarget() {
    if (run.Active()) {
        return;
    }
    // The port as last exchanged; a port that does not open is not reported.
    if (!link.OpenDevice(PortOf(portIndex).device, DeviceLink::kBaudRate)) {
        return;
    }
    link.ResetToFirmware(station ? station->Wiring() : FixtureWiring{});
}

void FlasherDialog::OnSysCommand(int id) {
    if ((id & 0xFFF0) == res::kAboutCommand) {
        AboutDialog about(this);
        about.exec();
    }
}

void FlasherDialog::AppendAboutEntry() {
#ifdef Q_OS_WIN
    const QString text = res::LoadResourceString(res::kAboutMenuText);
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (menu != nullptr && !text.isEmpty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, res::kAboutCommand,
                    reinterpret_cast<const wchar_t*>(text.utf16()));
    }
#endif
}

#ifdef Q_OS_WIN
bool FlasherDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_SYSCOMMAND &&
        (static_cast<int>(msg->wParam) & 0xFFF0) == res::kAboutCommand) {
        OnSysCommand(static_cast<int>(msg->wParam));
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#endif

void FlasherDialog::contextMenuEvent(QContextMenuEvent* event) {
    const QString text = res::LoadResourceString(res::kAboutMenuText);
    if (text.isEmpty()) {
        QDialog::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    QAction* about = menu.addAction(text);
    about->setData(res::kAboutCommand);
    if (QAction* chosen = menu.exec(event->globalPos())) {
        OnSysCommand(chosen->data().toInt());
    }
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

void FlasherDialog::SetStatusToolTip(const QString& text) {
    QStringList lines;
    if (!text.isEmpty()) {
        lines << text;
    }
    // A refusal for the signature is in the status line itself, said once.
    if (!packageSignature.isEmpty() && !text.contains(packageSignature)) {
        lines << packageSignature;
    }
    if (!stationWarning.isEmpty()) {
        lines << stationWarning;
    }
    const QString all = lines.join('\n');
    // A tooltip that looks like markup would be taken as markup: names from a package
    // are shown as the text they are.
    statusLine->setToolTip(Qt::mightBeRichText(all) ? Qt::convertFromPlainText(all) : all);
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
