// One fixture's tile in the station window, made to be read from two metres: the state in
// a large word on its colour, the serial a device was given at half that size beneath it,
// why a device failed, the time of the run under way or of the last one, and the fixture's
// counts. Every tile takes an equal share of the window whatever its text says; a long
// device name is shortened in the middle, whole in its tooltip.
#pragma once

#include <QColor>
#include <QFrame>
#include <QRect>
#include <QString>

#include "flashing/port_choice.h"
#include "station/fixture_watch.h"

class QLabel;
class QProgressBar;

namespace korvane {

class ElidedLabel;

class StationTile : public QFrame {
    Q_OBJECT

public:
    StationTile(const PortChoice& port, QWidget* parent);

    // The station is not watching this fixture: nothing put in is flashed.
    void ShowStopped();
    // serial: the serial text the device was given, or the one a failed run consumed;
    // reason: why it failed or is to be taken out, in the window's words.
    void ShowState(FixtureState state, const QString& serial, const QString& reason);
    // A run's status line, while it flashes.
    void ShowEntry(const QString& status);
    void ShowProgress(int position);
    void Counted(bool passed);
    // Brings the clock of a run under way up to nowMs (milliseconds since the epoch).
    void Tick(qint64 nowMs);

    // What the tile shows, for the tests and the screenshots.
    struct View {
        QString word;
        QColor colour;
        QString detail;  // why it failed, what to do, the entry being written
        QString counts;
        int progress = -1;  // -1: no bar
        QString serial;
        QString time;  // of the run under way, or of the last run
        QString port;  // as it fits the tile
        QRect wordBand;  // where the word is drawn on its colour, in the tile
        int wordPixels = 0;
        int serialPixels = 0;
    };
    View Shown() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowWord(const QString& word, const QColor& colour);

    ElidedLabel* port = nullptr;
    QLabel* word = nullptr;
    QLabel* serial = nullptr;
    QLabel* detail = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* time = nullptr;
    QLabel* counts = nullptr;
    QColor colour;
    FixtureState state = FixtureState::kEmpty;
    bool stopped = true;
    qint64 runStartedMs = 0;  // of the run under way; 0: none
    int passed = 0;
    int failed = 0;
};

// The colour a fixture's state is shown on.
QColor StateColour(FixtureState state);

}  // namespace korvane
