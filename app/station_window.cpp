#include "app/station_window.h"
#include "app/reason_text.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QTimerEvent>
#include <QVBoxLayout>
#include <cmath>

#include "flashing/operator_feedback.h"
#include "flashing/package.h"
#include "flashing/package_trust.h"
#include "settings/os_text.h"
#include "station/journal_reader.h"
#include "station/journal_run.h"
#include "station/station.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvane {

namespace {

constexpr int kClockPeriodMs = 1000;
// The shift's counts are read again this often, besides after every device: a shift
// starts, another station of the same name counts too.
constexpr int kTicksPerCountsRefresh = 30;

// The platform's own sounds: one for a pass, another for a failure.
void Sound(bool passed) {
#ifdef _WIN32
    MessageBeep(passed ? MB_OK : MB_ICONHAND);
#else
    QApplication::beep();
    if (!passed) {
        QApplication::beep();
    }
#endif
}

// Columns for count tiles: rows of up to four, as square a grid as that allows.
int ColumnsFor(size_t count) {
    if (count <= 3) {
        return std::max<int>(1, static_cast<int>(count));
    }
    return count == 4 ? 2 : count <= 6 ? 3 : 4;
}

}  // namespace

// What one fixture's watch tells the window, which hears it on its own thread.
class StationWindow::FixtureTile : public FixtureObserver, public OperatorFeedback {
public:
    FixtureTile(StationWindow* window, int index) : window(window), index(index) {}

    void StateChanged(FixtureState state, const std::string& detail) override {
        // A failure is told with the window's own advice, when its reason has one.
        const bool failure = state == FixtureState::kFailed || state == FixtureState::kProtected;
        const QString reason =
            AsSentence(failure && !lastReason.isEmpty() ? lastReason : Shown(detail));
        const QString serial = state == FixtureState::kFlashing || state == FixtureState::kEmpty
                                   ? QString()
                                   : lastSerial;
        Post([=](StationWindow* w) { w->ShowState(index, state, serial, reason); });
    }
    void Flashed(const RunOutcome& outcome, const JournalRecord&) override {
        const bool passed = outcome.Passed();
        lastReason = ReasonInWindow(outcome);
        if (lastReason.isEmpty() && !passed) {
            lastReason = Shown(outcome.Said());
        }
        // The serial the device was given, or the one a failed run consumed.
        lastSerial = QString::fromStdString(outcome.serial);
        QStringList alerts;
        for (const std::string& alert : outcome.alerts) {
            alerts << QString::fromStdString(alert);
        }
        Post([=](StationWindow* w) {
            w->Counted(index, passed);
            w->Alert(alerts);
        });
    }
    OperatorFeedback& RunFeedback() override { return *this; }

    void ShowStatus(const std::string& text) override {
        const QString status = Shown(text);
        Post([=](StationWindow* w) { w->tiles[static_cast<size_t>(index)]->ShowEntry(status); });
    }
    void Progress(int position) override {
        Post([=](StationWindow* w) {
            w->tiles[static_cast<size_t>(index)]->ShowProgress(position);
        });
    }
    void EnableCommands(bool) override {}
    void ShowSequenceNumber(int) override {}

private:
    template <typename Change>
    void Post(Change change) {
        StationWindow* target = window;
        QMetaObject::invokeMethod(
            window, [target, change] { change(target); }, Qt::QueuedConnection);
    }

    StationWindow* window;
    int index;
    QString lastReason;  // of the device last flashed here, as the window says it
    QString lastSerial;  // the serial text it was given, if any
};

StationWindow::StationWindow(const QString& packagePath, const QStringList& portNames,
                             QWidget* parent)
    : QWidget(parent), packagePath(packagePath) {
    setWindowTitle(QStringLiteral("Korvane station"));
    // The ports given, else the station's fixtures; a bad setting is said, not passed over.
    // A station with no fixture at all is told below.
    QString configProblem;
    SessionRefusal refusal;
    if (const auto opened = StationSession::Open(StationOptions{}, portNames,
                                                 StationSession::Unnamed::kFixtures, refusal)) {
        config = opened->Config();
        if (!portNames.isEmpty() || !opened->Config().ports.isEmpty()) {
            ports = opened->Ports();
        }
    } else {
        // Said as the tool says it; a port's refusal with the window's capital and full stop.
        configProblem = refusal.text;
        if (!configProblem.isEmpty() && configProblem[0].isLower()) {
            configProblem = AsSentence(configProblem) + '.';
        }
    }
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    package = new QLabel(this);
    package->setTextFormat(Qt::PlainText);
    package->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lineCounts = new QLabel(this);
    QFont emphasised = lineCounts->font();
    if (emphasised.pointSizeF() > 0) {
        emphasised.setPointSizeF(emphasised.pointSizeF() * 1.5);
    } else {
        emphasised.setPixelSize(emphasised.pixelSize() * 3 / 2);
    }
    emphasised.setBold(true);
    lineCounts->setFont(emphasised);
    startStop = new QPushButton(QStringLiteral("Start"), this);
    startStop->setFocusPolicy(Qt::NoFocus);  // Space belongs to the window
    startStop->setFont(emphasised);
    connect(startStop, &QPushButton::clicked, this, [this] { watching ? Stop() : Start(); });
    header->addWidget(package, 1);
    header->addWidget(lineCounts);
    header->addWidget(startStop);
    layout->addLayout(header);
    banner = new QLabel(this);
    banner->setAlignment(Qt::AlignCenter);
    banner->setAutoFillBackground(true);
    banner->setFont(emphasised);
    QPalette bannerColours = banner->palette();
    bannerColours.setColor(QPalette::Window, QColor(0x45, 0x4f, 0x5a));
    bannerColours.setColor(QPalette::WindowText, Qt::white);
    banner->setPalette(bannerColours);
    layout->addWidget(banner);
    notice = new QLabel(this);
    notice->setWordWrap(true);
    notice->setTextFormat(Qt::PlainText);
    layout->addWidget(notice);
    ShowPackage();
    LayTiles();
    ShowStopped();
    ShowShiftCounts();
    if (!configProblem.isEmpty()) {
        notice->setText(configProblem);
        startStop->setEnabled(false);
    } else if (ports.empty()) {
        notice->setText(
            QStringLiteral("Give the fixtures' ports (COM1 … COM255 or device paths) "
                           "with --port or in [Station] Ports."));
        startStop->setEnabled(false);
    }
    clockTimer = startTimer(kClockPeriodMs);
}

StationWindow::~StationWindow() {
    watch.reset();
}

void StationWindow::ShowPackage() {
    PackageFile file;
    QStringList parts{Shown(OsBytes(QFileInfo(packagePath).fileName()))};
    if (!file.Open(OsBytes(packagePath))) {
        parts << QStringLiteral("(cannot be read)");
    } else {
        parts << QStringLiteral("SHA-256 %1").arg(PackageSha256(file.Bytes()).left(12));
        const PackageTrust trust = CheckPackageTrust(file.Path(), file.Bytes(),
                                                     config ? config->trustedKeys : std::string());
        if (!trust.Signer().empty()) {
            parts << QStringLiteral("signed by %1").arg(Shown(trust.Signer()));
        }
        if (!trust.SignedComment().empty()) {
            parts << Shown(trust.SignedComment());
        }
        package->setToolTip(Shown(OsBytes(packagePath)) + '\n' + Shown(trust.Text()));
    }
    package->setText(parts.join(QStringLiteral("   ")));
}

void StationWindow::LayTiles() {
    auto* grid = new QGridLayout;
    const int columns = ColumnsFor(ports.size());
    const int rows = (static_cast<int>(ports.size()) + columns - 1) / columns;
    for (size_t i = 0; i < ports.size(); ++i) {
        auto* tile = new StationTile(ports[i], this);
        grid->addWidget(tile, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
        tiles.push_back(tile);
    }
    // Every tile an equal share, whatever it says.
    for (int column = 0; column < columns; ++column) {
        grid->setColumnStretch(column, 1);
    }
    for (int row = 0; row < rows; ++row) {
        grid->setRowStretch(row, 1);
    }
    static_cast<QVBoxLayout*>(layout())->addLayout(grid, 1);
}

void StationWindow::Start() {
    if (watching || ports.empty()) {
        return;
    }
    QStringList names;
    for (const PortChoice& port : ports) {
        names << QString::fromStdString(port.name);
    }
    SessionRefusal refusal;
    session =
        StationSession::Open(StationOptions{}, names, StationSession::Unnamed::kFixtures, refusal);
    const bool started = session && session->Start(std::nullopt, refusal);
    if (!started) {
        QStringList said = session ? session->Warnings() : QStringList();
        notice->setText((said << refusal.text).join('\n'));
        session.reset();
        return;
    }
    notice->setText(session->Warnings().join('\n'));
    fixtures.clear();
    std::vector<FixtureObserver*> observers;
    for (size_t i = 0; i < ports.size(); ++i) {
        fixtures.push_back(std::make_unique<FixtureTile>(this, static_cast<int>(i)));
        observers.push_back(fixtures.back().get());
    }
    watch = session->WatchInBackground(OsBytes(packagePath), observers, [this] {
        QMetaObject::invokeMethod(
            this, [this] { Ended(); }, Qt::QueuedConnection);
    });
    watching = true;
    banner->hide();
    startStop->setText(QStringLiteral("Stop"));
}

void StationWindow::Stop() {
    if (!watching || !watch) {
        return;
    }
    watch->StopStartingDevices();
    startStop->setText(QStringLiteral("Stopping…"));
    startStop->setEnabled(false);
}

void StationWindow::Ended() {
    watch.reset();
    fixtures.clear();
    session.reset();  // gives the numbers back
    watching = false;
    startStop->setText(QStringLiteral("Start"));
    startStop->setEnabled(true);
    ShowStopped();
}

void StationWindow::ShowStopped() {
    for (StationTile* tile : tiles) {
        tile->ShowStopped();
    }
    banner->setText(QStringLiteral("STOPPED — press Space or Start to flash"));
    banner->show();
}

void StationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && startStop->isEnabled()) {
        startStop->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void StationWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() != clockTimer) {
        QWidget::timerEvent(event);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (StationTile* tile : tiles) {
        tile->Tick(now);
    }
    if (++ticks % kTicksPerCountsRefresh == 0) {
        ShowShiftCounts();
    }
}

void StationWindow::ShowState(int i, FixtureState state, const QString& serial,
                              const QString& reason) {
    // A watch's last word may come after Stop: a stopped fixture stays STOPPED.
    if (watching) {
        tiles[static_cast<size_t>(i)]->ShowState(state, serial, reason);
    }
}

void StationWindow::Counted(int i, bool devicePassed) {
    tiles[static_cast<size_t>(i)]->Counted(devicePassed);
    ShowShiftCounts();
    Sound(devicePassed);
}

void StationWindow::Alert(const QStringList& alerts) {
    if (alerts.isEmpty()) {
        return;
    }
    const QString shown = notice->text();
    notice->setText(((shown.isEmpty() ? QStringList() : QStringList{shown}) + alerts).join('\n'));
}

void StationWindow::ShowShiftCounts() {
    if (!config) {
        return;
    }
    // The journal's count of the shift, whoever ran it and however often the window opened
    // since; a station that has recorded nothing yet (no journal at all) counts none.
    QString error;
    const QString where = JournalAddress(config->journal, error);
    SummaryPeriod period;
    period.since = ShiftStartAt(config->shiftStarts, QDateTime::currentDateTime());
    period.station = config->name;
    JournalSummary summary;
    const bool recorded = Journal(where).IsServer() || QFileInfo::exists(where);
    if (!where.isEmpty() && recorded && !JournalReader(where).Summarize(period, summary, error)) {
        lineCounts->setText(QStringLiteral("shift counts unknown"));
        lineCounts->setToolTip(error);
        return;
    }
    const SummaryFigures& shift = summary.line;
    QString text = QStringLiteral("passed %1 · failed %2").arg(shift.passed).arg(shift.failed);
    if (const std::optional<double> yield = shift.FirstPassYield()) {
        text += QStringLiteral(" · first-pass yield %1 %").arg(*yield, 0, 'f', 1);
    }
    if (shift.Runs() > 0) {
        // A shift's first hours count few devices: a tenth then, so it never reads 0.
        const double perHour = shift.PerHour();
        text += QStringLiteral(" · %1 per hour")
                    .arg(perHour < 10 ? QString::number(perHour, 'f', 1)
                                      : QString::number(std::lround(perHour)));
    }
    lineCounts->setText(text);
    lineCounts->setToolTip(
        QStringLiteral("This shift, since %1, at station %2, as the journal %3 has it.")
            .arg(period.since.toString(QStringLiteral("yyyy-MM-dd HH:mm")), config->name, where));
}

StationWindow::TileView StationWindow::TileAt(int i) const {
    return tiles[static_cast<size_t>(i)]->Shown();
}

const QWidget* StationWindow::TileWidget(int i) const {
    return tiles[static_cast<size_t>(i)];
}

QString StationWindow::LineCounts() const {
    return lineCounts->text();
}

QString StationWindow::PackageLine() const {
    return package->text();
}

QString StationWindow::Notice() const {
    return notice->text();
}

QString StationWindow::Banner() const {
    return banner->isVisibleTo(this) ? banner->text() : QString();
}

}  // namespace korvane
