#include "app/station_window.h"
#include "app/reason_text.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <cmath>

#include "flashing/operator_feedback.h"
#include "flashing/package.h"
#include "settings/os_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"
#include "station/port_runs.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvane {

namespace {

QColor ColourOf(FixtureState state) {
    switch (state) {
        case FixtureState::kEmpty:
            return QColor(0x9e, 0x9e, 0x9e);
        case FixtureState::kFlashing:
            return QColor(0x1e, 0x6f, 0xd9);
        case FixtureState::kPassed:
            return QColor(0x2e, 0x7d, 0x32);
        case FixtureState::kFailed:
            return QColor(0xc6, 0x28, 0x28);
        case FixtureState::kProtected:
            return QColor(0xef, 0x6c, 0x00);
    }
    return {};
}

// A read-protected chip waits, nothing written, for the operator to take it out.
QString WordOf(FixtureState state) {
    return state == FixtureState::kProtected ? QStringLiteral("TAKE OUT")
                                             : QString::fromLatin1(FixtureStateWord(state));
}

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

QString CountsText(int passed, int failed) {
    return QStringLiteral("passed %1 · failed %2").arg(passed).arg(failed);
}

}  // namespace

struct StationWindow::Tile {
    QLabel* port = nullptr;
    QLabel* word = nullptr;
    QLabel* detail = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* counts = nullptr;
    FixtureState state = FixtureState::kEmpty;
    int passed = 0;
    int failed = 0;
};

// What one fixture's watch tells the window, which hears it on its own thread.
class StationWindow::FixtureTile : public FixtureObserver, public OperatorFeedback {
public:
    FixtureTile(StationWindow* window, int index) : window(window), index(index) {}

    void StateChanged(FixtureState state, const std::string& detail) override {
        // A failure is told with the window's own advice, when its reason has one.
        const bool failure = state == FixtureState::kFailed || state == FixtureState::kProtected;
        const QString text = failure && !lastReason.isEmpty() ? lastReason : Shown(detail);
        Post([=](StationWindow* w) { w->ShowState(index, state, text); });
    }
    void Flashed(const RunOutcome& outcome, const JournalRecord&) override {
        const bool passed = outcome.Passed();
        lastReason = ReasonInWindow(outcome);
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
        Post([=](StationWindow* w) { w->ShowEntry(index, status); });
    }
    void Progress(int position) override {
        Post([=](StationWindow* w) { w->ShowProgress(index, position); });
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
};

StationWindow::StationWindow(const QString& packagePath, const QStringList& portNames,
                             QWidget* parent)
    : QWidget(parent), packagePath(packagePath) {
    setWindowTitle(QStringLiteral("Korvane station"));
    // The ports given, else the station's fixtures; a bad setting is said, not passed over.
    // A station with no fixture at all is told below.
    QString configProblem;
    SessionRefusal refusal;
    if (const auto session = StationSession::Open(StationOptions{}, portNames,
                                                  StationSession::Unnamed::kFixtures, refusal)) {
        if (!portNames.isEmpty() || !session->Config().ports.isEmpty()) {
            ports = session->Ports();
        }
    } else {
        // Said as the tool says it; a port's refusal with the window's capital and full stop.
        configProblem = refusal.text;
        if (!configProblem.isEmpty() && configProblem[0].isLower()) {
            configProblem[0] = configProblem[0].toUpper();
            configProblem += '.';
        }
    }
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    package = new QLabel(this);
    PackageFile file;
    const QString digest =
        file.Open(OsBytes(packagePath))
            ? QString::fromLatin1(QCryptographicHash::hash(
                                      QByteArrayView(file.Bytes().data(),
                                                     static_cast<qsizetype>(file.Bytes().size())),
                                      QCryptographicHash::Sha256)
                                      .toHex())
                  .left(12)
            : QStringLiteral("(cannot be read)");
    package->setText(QStringLiteral("%1   SHA-256 %2")
                         .arg(Shown(OsBytes(QFileInfo(packagePath).fileName())), digest));
    package->setToolTip(Shown(OsBytes(packagePath)));
    lineCounts = new QLabel(this);
    startStop = new QPushButton(QStringLiteral("Start"), this);
    startStop->setFocusPolicy(Qt::NoFocus);  // Space belongs to the window
    connect(startStop, &QPushButton::clicked, this, [this] { watching ? Stop() : Start(); });
    header->addWidget(package, 1);
    header->addWidget(lineCounts);
    header->addWidget(startStop);
    layout->addLayout(header);
    notice = new QLabel(this);
    notice->setWordWrap(true);
    layout->addWidget(notice);

    auto* grid = new QGridLayout;
    const int columns = ports.size() > 4 ? 4 : std::max<int>(1, static_cast<int>(ports.size()));
    QFont big = font();
    big.setPointSize(big.pointSize() * 3);
    big.setBold(true);
    for (size_t i = 0; i < ports.size(); ++i) {
        auto tile = std::make_unique<Tile>();
        auto* frame = new QFrame(this);
        frame->setFrameShape(QFrame::Box);
        auto* inner = new QVBoxLayout(frame);
        tile->port =
            new QLabel(QStringLiteral("%1   %2").arg(QString::fromStdString(ports[i].name),
                                                     QString::fromStdString(ports[i].device)),
                       frame);
        tile->word = new QLabel(frame);
        tile->word->setFont(big);
        tile->word->setAlignment(Qt::AlignCenter);
        tile->word->setAutoFillBackground(true);
        tile->word->setMinimumHeight(big.pointSize() * 3);
        tile->detail = new QLabel(frame);
        tile->detail->setWordWrap(true);
        tile->detail->setTextFormat(Qt::PlainText);
        tile->bar = new QProgressBar(frame);
        tile->bar->setRange(0, 100);
        tile->counts = new QLabel(CountsText(0, 0), frame);
        for (QWidget* part : std::initializer_list<QWidget*>{tile->port, tile->word, tile->detail,
                                                             tile->bar, tile->counts}) {
            inner->addWidget(part);
        }
        grid->addWidget(frame, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
        tiles.push_back(std::move(tile));
        ShowState(static_cast<int>(i), FixtureState::kEmpty, {});
    }
    layout->addLayout(grid, 1);
    ShowLineCounts();
    if (!configProblem.isEmpty()) {
        notice->setText(configProblem);
        startStop->setEnabled(false);
    } else if (ports.empty()) {
        notice->setText(
            QStringLiteral("Give the fixtures' ports (COM1 … COM255 or device paths) "
                           "with --port or in [Station] Ports."));
        startStop->setEnabled(false);
    }
}

StationWindow::~StationWindow() {
    watch.reset();
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
    startedMs = QDateTime::currentMSecsSinceEpoch();
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
}

void StationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && startStop->isEnabled()) {
        startStop->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void StationWindow::ShowState(int i, FixtureState state, const QString& detail) {
    Tile& tile = *tiles[static_cast<size_t>(i)];
    tile.state = state;
    tile.word->setText(WordOf(state));
    QPalette palette = tile.word->palette();
    palette.setColor(QPalette::Window, ColourOf(state));
    palette.setColor(QPalette::WindowText, Qt::white);
    tile.word->setPalette(palette);
    tile.bar->setVisible(state == FixtureState::kFlashing);
    if (state == FixtureState::kFlashing) {
        tile.bar->setValue(0);
    }
    tile.detail->setText(state == FixtureState::kPassed || state == FixtureState::kFailed ||
                                 state == FixtureState::kProtected
                             ? detail + QStringLiteral("\nTake the device out.")
                             : detail);
}

void StationWindow::ShowEntry(int i, const QString& status) {
    Tile& tile = *tiles[static_cast<size_t>(i)];
    if (tile.state == FixtureState::kFlashing) {
        tile.detail->setText(status);
    }
}

void StationWindow::ShowProgress(int i, int position) {
    tiles[static_cast<size_t>(i)]->bar->setValue(position);
}

void StationWindow::Counted(int i, bool devicePassed) {
    Tile& tile = *tiles[static_cast<size_t>(i)];
    ++(devicePassed ? tile.passed : tile.failed);
    ++(devicePassed ? passed : failed);
    tile.counts->setText(CountsText(tile.passed, tile.failed));
    ShowLineCounts();
    Sound(devicePassed);
}

void StationWindow::Alert(const QStringList& alerts) {
    if (alerts.isEmpty()) {
        return;
    }
    const QString shown = notice->text();
    notice->setText(((shown.isEmpty() ? QStringList() : QStringList{shown}) + alerts).join('\n'));
}

void StationWindow::ShowLineCounts() {
    FixtureCounts line;
    line.passed = passed;
    line.failed = failed;
    const double hours =
        watching ? (QDateTime::currentMSecsSinceEpoch() - startedMs) / 3600000.0 : 0.0;
    QString text = CountsText(passed, failed);
    if (const std::optional<double> yield = line.YieldPercent()) {
        text += QStringLiteral(" · yield %1 %").arg(*yield, 0, 'f', 1);
        if (hours > 0) {
            text += QStringLiteral(" · %1 per hour").arg(std::lround(line.PerHour(hours)));
        }
    }
    lineCounts->setText(text);
}

StationWindow::TileView StationWindow::TileAt(int i) const {
    const auto& tile = *tiles[static_cast<size_t>(i)];
    return {tile.word->text(), ColourOf(tile.state), tile.detail->text(), tile.counts->text(),
            tile.bar->isVisibleTo(this) ? tile.bar->value() : -1};
}

QString StationWindow::LineCounts() const {
    return lineCounts->text();
}

QString StationWindow::Notice() const {
    return notice->text();
}

}  // namespace korvane
