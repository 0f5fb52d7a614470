// The station window: what an operator watches while a line flashes every device put into
// its fixtures, readable from two metres. One tile per fixture (app/station_tile.h), all
// of one size in a grid that holds 1 to 16 without scrolling. Above them the package (its
// name, SHA-256, signer and release comment), the shift's counts as the journal has them
// (a restart does not zero them), Start/Stop (Space does the same), and while the station
// is stopped a banner that says so. The watch, its runs, counter and journal are the
// station session's, the same as korvane-flash --watch.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "app/station_tile.h"
#include "settings/station_config.h"
#include "station/port_runs.h"
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
    using TileView = StationTile::View;
    TileView TileAt(int i) const;
    // The tile itself, for its place on the screen.
    const QWidget* TileWidget(int i) const;
    QString LineCounts() const;
    QString PackageLine() const;
    QString Notice() const;
    // The banner of a stopped station; empty while it watches.
    QString Banner() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    class FixtureTile;

    void ShowPackage();
    void LayTiles();
    void ShowState(int i, FixtureState state, const QString& serial, const QString& reason);
    void Counted(int i, bool passed);
    // Shown at once above the tiles: what the station must know whichever fixture found it.
    void Alert(const QStringList& alerts);
    void Ended();
    void ShowStopped();
    void ShowShiftCounts();

    QString packagePath;
    std::optional<StationConfig> config;  // as read when the window opened
    std::vector<PortChoice> ports;
    std::vector<StationTile*> tiles;
    QLabel* package = nullptr;
    QLabel* lineCounts = nullptr;
    QLabel* banner = nullptr;
    QLabel* notice = nullptr;
    QPushButton* startStop = nullptr;

    std::unique_ptr<StationSession> session;             // while watching
    std::vector<std::unique_ptr<FixtureTile>> fixtures;  // what each fixture's watch tells
    std::unique_ptr<BackgroundWatch> watch;              // while watching
    bool watching = false;
    int clockTimer = 0;
    int ticks = 0;
};

}  // namespace korvane
