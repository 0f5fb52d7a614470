// The station window as an operator starts it, for the drivers tier's guest, where the
// offscreen platform takes no clicks from outside: opens the window on one port and a
// package, presses Space as the operator does to start the watch, and waits until the
// fixture's tile says how its device went. Prints the tile's word and detail; exits 0 for
// PASS, 1 for anything else or after a minute without an answer.
//
//   drivers-station-window PACKAGE PORT
#include <QKeyEvent>
#include <QTimer>
#include <cstdio>

#include "app/flasher_app.h"
#include "app/station_window.h"

int main(int argc, char** argv) {
    korvane::FlasherApp app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: drivers-station-window PACKAGE PORT\n");
        return 2;
    }
    korvane::StationWindow window(QString::fromLocal8Bit(argv[1]),
                                  {QString::fromLocal8Bit(argv[2])});
    window.resize(1000, 600);
    window.show();
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QCoreApplication::sendEvent(&window, &space);
    if (!window.Watching()) {
        std::fprintf(stderr, "drivers-station-window: the station did not start: %s\n",
                     qPrintable(window.Notice()));
        return 1;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&window] {
        const korvane::StationWindow::TileView tile = window.TileAt(0);
        if (tile.word == QLatin1String("PASS") || tile.word == QLatin1String("FAIL")) {
            std::printf("%s %s\n", qPrintable(tile.word), qPrintable(tile.detail));
            window.Stop();
            QCoreApplication::exit(tile.word == QLatin1String("PASS") ? 0 : 1);
        }
    });
    poll.start(20);
    QTimer::singleShot(60000, [] {
        std::fprintf(stderr, "drivers-station-window: no device went through in a minute\n");
        QCoreApplication::exit(1);
    });
    return QCoreApplication::exec();
}
