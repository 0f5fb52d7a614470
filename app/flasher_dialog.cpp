#include "app/flasher_dialog.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextDocument>

#include "app/about_dialog.h"
#include "app/dialog_port.h"
#include "controls/colors.h"
#include "controls/gradient_progress.h"
#include "controls/icon_button.h"
#include "controls/icon_registry.h"
#include "flashing/package_trust.h"
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

constexpr uint8_t kCommandIconSize = 32;

void SetTextColor(QWidget* widget, COLORREF color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, ToQColor(color));
    widget->setPalette(palette);
}

}  // namespace

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
    SessionRefusal refusal;
    session =
        StationSession::Open(StationOptions{}, {}, StationSession::Unnamed::kProfilePort, refusal);
    stationProblem = refusal.text;
    if (session) {
        stationWarning = session->GetStation().Warning();
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

void FlasherDialog::ShowPackageSignature() {
    packageSignature.clear();
    PackageFile package;
    if (session && !packagePath.isEmpty() && package.Open(OsBytes(packagePath))) {
        packageSignature = QString::fromStdString(
            CheckPackageTrust(package.Path(), package.Bytes(), session->GetStation().TrustedKeys())
                .Text());
    }
    SetStatusToolTip(statusLine->text());
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

}  // namespace korvane
