#include "app/station_tile.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace korvane {

// A line of text that never widens its tile: shortened in the middle to the width it is
// given, whole in its tooltip.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent), whole(text) {
        setToolTip(text);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        setTextFormat(Qt::PlainText);
        Elide();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        Elide();
    }
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange) {
            Elide();
        }
    }

private:
    void Elide() { setText(fontMetrics().elidedText(whole, Qt::ElideMiddle, width())); }

    QString whole;
};

namespace {

// Everything is drawn to the tile's size: the word from about a quarter of its height, the
// serial at more than half the word, the rest small but legible.
constexpr double kWordShareOfHeight = 0.22;
constexpr double kWordShareOfWidth = 0.13;
constexpr double kSerialShareOfWord = 0.55;
constexpr double kTextShareOfWord = 0.34;
constexpr int kSmallestWordPx = 16;
constexpr int kLargestWordPx = 120;
constexpr int kSmallestTextPx = 11;
constexpr int kLargestTextPx = 22;

const QColor kStoppedColour(0x45, 0x4f, 0x5a);

QString WordOf(FixtureState state) {
    // A chip that waits to be taken out, nothing written: read-protected, or through before.
    return state == FixtureState::kProtected || state == FixtureState::kFlashedBefore
               ? QStringLiteral("TAKE OUT")
               : QString::fromLatin1(FixtureStateWord(state));
}

QString CountsText(int passed, int failed) {
    return QStringLiteral("passed %1 · failed %2").arg(passed).arg(failed);
}

// A run's time as minutes and seconds.
QString RunTime(qint64 ms) {
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    return QString::asprintf("%d:%02d", static_cast<int>(seconds / 60),
                             static_cast<int>(seconds % 60));
}

// A label whose wrapped text never asks for a height of its own: a tile with a long
// reason would otherwise grow its whole row of the grid.
class FixedShareLabel : public QLabel {
public:
    using QLabel::QLabel;
    bool hasHeightForWidth() const override { return false; }
};

QLabel* TextLine(QWidget* parent, bool wraps) {
    auto* label = new FixedShareLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wraps);
    // The text never decides the tile's size: what does not fit is cut, not widened for.
    label->setSizePolicy(QSizePolicy::Ignored, wraps ? QSizePolicy::Ignored : QSizePolicy::Fixed);
    return label;
}

void SetPixelSize(QWidget* widget, int px, bool bold) {
    QFont font = widget->font();
    font.setPixelSize(px);
    font.setBold(bold);
    widget->setFont(font);
}

}  // namespace

QColor StateColour(FixtureState state) {
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
        case FixtureState::kFlashedBefore:
            return QColor(0x55, 0x8b, 0x2f);  // a good board, only not to be flashed again
    }
    return {};
}

StationTile::StationTile(const PortChoice& choice, QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::Box);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    auto* inner = new QVBoxLayout(this);
    // What the tile holds never sets its minimum: the grid gives every tile the same.
    inner->setSizeConstraint(QLayout::SetNoConstraint);
    port = new ElidedLabel(QStringLiteral("%1   %2").arg(QString::fromStdString(choice.name),
                                                         QString::fromStdString(choice.device)),
                           this);
    word = TextLine(this, false);
    word->setAlignment(Qt::AlignCenter);
    word->setAutoFillBackground(true);
    serial = TextLine(this, false);
    serial->setAlignment(Qt::AlignCenter);
    serial->setTextInteractionFlags(Qt::TextSelectableByMouse);
    detail = TextLine(this, true);
    detail->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    auto* footer = new QHBoxLayout;
    time = TextLine(this, false);
    counts = TextLine(this, false);
    counts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    footer->addWidget(time, 1);
    footer->addWidget(counts, 2);
    inner->addWidget(port);
    inner->addWidget(word);
    inner->addWidget(serial);
    inner->addWidget(bar);
    inner->addWidget(detail, 1);
    inner->addLayout(footer);
    counts->setText(CountsText(0, 0));
    ShowStopped();
}

void StationTile::ShowWord(const QString& text, const QColor& shade) {
    colour = shade;
    word->setText(text);
    QPalette palette = word->palette();
    palette.setColor(QPalette::Window, shade);
    palette.setColor(QPalette::WindowText, Qt::white);
    word->setPalette(palette);
}

void StationTile::ShowStopped() {
    stopped = true;
    runStartedMs = 0;
    ShowWord(QStringLiteral("STOPPED"), kStoppedColour);
    serial->clear();
    detail->setText(QStringLiteral("Not watching: a device put in is not flashed."));
    bar->hide();
}

void StationTile::ShowState(FixtureState newState, const QString& serialText,
                            const QString& reason) {
    stopped = false;
    state = newState;
    ShowWord(WordOf(newState), StateColour(newState));
    bar->setVisible(newState == FixtureState::kFlashing);
    switch (newState) {
        case FixtureState::kEmpty:
            serial->clear();
            detail->clear();
            break;
        case FixtureState::kFlashing:
            runStartedMs = QDateTime::currentMSecsSinceEpoch();
            bar->setValue(0);
            serial->clear();
            detail->clear();
            time->setText(RunTime(0));
            break;
        case FixtureState::kPassed:
        case FixtureState::kFailed:
        case FixtureState::kProtected:
            if (runStartedMs != 0) {
                time->setText(QStringLiteral("took %1").arg(
                    RunTime(QDateTime::currentMSecsSinceEpoch() - runStartedMs)));
                runStartedMs = 0;
            }
            serial->setText(serialText);
            detail->setText(newState == FixtureState::kPassed
                                ? QStringLiteral("Take the device out.")
                                : reason + QStringLiteral("\nTake the device out."));
            break;
        case FixtureState::kFlashedBefore:
            serial->clear();
            detail->setText(reason);
            break;
    }
}

void StationTile::ShowEntry(const QString& status) {
    if (!stopped && state == FixtureState::kFlashing) {
        detail->setText(status);
    }
}

void StationTile::ShowProgress(int position) {
    bar->setValue(position);
}

void StationTile::Counted(bool devicePassed) {
    ++(devicePassed ? passed : failed);
    counts->setText(CountsText(passed, failed));
}

void StationTile::Tick(qint64 nowMs) {
    if (runStartedMs != 0) {
        time->setText(RunTime(nowMs - runStartedMs));
    }
}

StationTile::View StationTile::Shown() const {
    View view;
    view.word = word->text();
    view.colour = colour;
    view.detail = detail->text();
    view.counts = counts->text();
    view.progress = bar->isVisibleTo(this) ? bar->value() : -1;
    view.serial = serial->text();
    view.time = time->text();
    view.port = port->text();
    view.wordBand = word->geometry();
    view.wordPixels = word->font().pixelSize();
    view.serialPixels = serial->font().pixelSize();
    return view;
}

void StationTile::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    const QSize size = event->size();
    const int wordPx = std::clamp(static_cast<int>(std::min(size.height() * kWordShareOfHeight,
                                                            size.width() * kWordShareOfWidth)),
                                  kSmallestWordPx, kLargestWordPx);
    const int textPx =
        std::clamp(static_cast<int>(wordPx * kTextShareOfWord), kSmallestTextPx, kLargestTextPx);
    SetPixelSize(word, wordPx, true);
    word->setFixedHeight(wordPx * 3 / 2);
    SetPixelSize(serial, static_cast<int>(wordPx * kSerialShareOfWord) + 1, true);
    for (QWidget* small : std::initializer_list<QWidget*>{port, detail, time, counts}) {
        SetPixelSize(small, textPx, false);
    }
}

}  // namespace korvane
