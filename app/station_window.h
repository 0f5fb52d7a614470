// The station window: what an operator watches while a line flashes every device put into
// its fixtures. One tile per fixture, readable from two metres: the port and its device,
// the state in a large word and colour (EMPTY grey, FLASHING blue with the entry and a
// bar, PASS green with the serial text, FAIL red with why, TAKE OUT for a read-protected
// chip), and that fixture's counts. Above them the package, the line's counts and
// Start/Stop (Space does the same). Every fixture is watched on a thread of its own, by
// the same watch, runs, counter and journal as korvane-flash --watch.
#pragma once

#include <QColor>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <vector>

#include "station/fixture_watch.h"
#include "station/port_runs.h"
#include "station/station.h"
#include "station/station_session.h"

namespace korvane {

class StationWindow : public QWidget {
    Q_OBJECT

public:
    // ports as the tool takes them (COMn or device paths); packagePath may be empty until
    // one is given.
    StationWindow(const QString& packagePath, const QStringList& ports, QWidget* parent = nullptr);
    // Lets the devices being flashed finish first.
    ~StationWindow() override;

    void Start();
    // No new device is started; the window is idle once the runs under way have ended.
    void Stop();
    bool Watching() const { return watching; }

    // What a tile shows, for the tests and the screenshots.
    struct TileView {
        QString word;
        QColor colour;
        QString detail;
        QString counts;
        int progress = -1;  // -1: no bar
    };
    TileView TileAt(int i) const;
    QString LineCounts() const;
    QString Notice() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    class FixtureTile;
    struct Tile;

    void ShowState(int i, FixtureState state, const QString& detail);
    void ShowEntry(int i, const QString& status);
    void ShowProgress(int i, int position);
    void Counted(int i, bool passed);
    // Shown at once above the tiles: what the station must know whichever fixture found it.
    void Alert(const QStringList& alerts);
    void Ended();
    void ShowLineCounts();

    QString packagePath;
    std::vector<PortChoice> ports;
    std::vector<std::unique_ptr<Tile>> tiles;
    QLabel* package = nullptr;
    QLabel* lineCounts = nullptr;
    QLabel* notice = nullptr;
    QPushButton* startStop = nullptr;

    std::unique_ptr<StationSession> session;             // while watching
    std::vector<std::unique_ptr<FixtureTile>> fixtures;  // what each fixture's watch tells
    std::unique_ptr<BackgroundWatch> watch;              // while watching
    bool watching = false;
    int passed = 0;
    int failed = 0;
    qint64 startedMs = 0;
};

}  // namespace korvane
