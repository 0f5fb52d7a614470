// korvane-screenshots OUTDIR: shows the main window on the display, presses Update with a
// synthesized click, and saves what the screen shows into OUTDIR:
//   dialog-idle.png     the window before the run
//   dialog-mid-run.png  the window while a package goes in, the bar about half way
//   dialog-done.png     the window after the run
//   context-menu.png    the window with its context menu (the about entry) open; on
//                       Windows system-menu.png, the system menu with its about entry
//   about.png           the about box opened from that menu
// It is meant for scripts/screenshots.sh, which supplies a display, a simulated device on
// COM1 and a profile naming the package. Exits 0 when every picture was saved.
//
// korvane-screenshots --station OUTDIR STATEDIR...: opens the station window over COM1 …
// COMn, one for each empty simulated fixture whose --state-dir is given, plays a short
// shift by putting devices into them, and saves station-mid-shift.png once the first
// fixture has passed, the third has failed (its simulator refuses a write), the second is
// half way and the fourth is still empty.
#include <QContextMenuEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/about_dialog.h"
#include "app/flasher_app.h"
#include "app/flasher_dialog.h"
#include "app/station_window.h"
#include "app/synthetic_click.h"
#include "controls/gradient_progress.h"
#include "res/resource_ids.h"
#include "settings/profile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

using korvane::Click;
using korvane::FlasherDialog;
namespace res = korvane::res;

constexpr int kSettleMs = 400;
constexpr int kPollMs = 10;
constexpr int kGiveUpMs = 120000;

QString outputDir;
int saved = 0;

// What the screen shows of widget's window (and a little around it), as the display has it.
bool SaveScreen(QWidget* window, const QString& name, QRect area = QRect()) {
    window->repaint();
    QCoreApplication::processEvents();
    if (area.isNull()) {
        area = window->frameGeometry();
    }
    area = area.adjusted(-8, -8, 8, 8);
    const QPixmap shot =
        window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = outputDir + "/" + name;
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "korvane-screenshots: cannot save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    ++saved;
    return true;
}

// Calls step every kPollMs until it returns true.
void Poll(std::function<bool()> step) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        if (step()) {
            timer->deleteLater();
            timer->stop();
        }
    });
    timer->start(kPollMs);
}

#ifdef Q_OS_WIN
// The system menu as the operator opens it from the keyboard (Alt+Space); once it shows,
// Up reaches its last entry, the about entry, and Enter chooses it.
void OpenMenu(FlasherDialog& dialog) {
    const HWND window = reinterpret_cast<HWND>(dialog.winId());
    Poll([&dialog, window] {
        const HWND menu = FindWindowW(L"#32768", nullptr);
        if (menu == nullptr || !IsWindowVisible(menu)) {
            return false;
        }
        RECT shown;
        GetWindowRect(menu, &shown);
        SaveScreen(&dialog, "system-menu.png",
                   dialog.frameGeometry().united(QRect(
                       shown.left, shown.top, shown.right - shown.left, shown.bottom - shown.top)));
        PostMessageW(window, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
        return true;
    });
    PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, ' ');
}
#else
// The context menu; once it shows, its about entry is chosen.
void OpenMenu(FlasherDialog& dialog) {
    Poll([&dialog] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->actions().isEmpty()) {
            return false;
        }
        SaveScreen(&dialog, "context-menu.png",
                   dialog.frameGeometry().united(menu->frameGeometry()));
        menu->setActiveAction(menu->actions().first());
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(menu, &enter);
        return true;
    });
    const QPoint at(dialog.width() / 2, dialog.height() / 3);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, dialog.mapToGlobal(at));
    QCoreApplication::sendEvent(&dialog, &event);
}
#endif

// The about box, opened from the menu, then the end.
void ShowAbout(FlasherDialog& dialog) {
    Poll([&dialog] {
        auto* about = qobject_cast<korvane::AboutDialog*>(QApplication::activeModalWidget());
        if (about == nullptr) {
            return false;
        }
        QTimer::singleShot(kSettleMs, about, [&dialog, about] {
            SaveScreen(about, "about.png");
            about->accept();
            dialog.reject();
        });
        return true;
    });
    OpenMenu(dialog);
}

// Puts a new device into the simulated fixture that keeps its state in folder, by the
// request file it watches (written beside it and renamed in, so it is never read half
// written).
void PutDeviceIn(const QString& folder) {
    QFile request(folder + "/request.new");
    if (!request.open(QIODevice::WriteOnly) || request.write("put-in\n") < 0) {
        std::fprintf(stderr, "korvane-screenshots: cannot write into %s\n", qPrintable(folder));
        QCoreApplication::exit(1);
        return;
    }
    request.close();
    QFile::rename(request.fileName(), folder + "/request");
}

bool Shows(const korvane::StationWindow& window, int tile, const char* word) {
    return window.TileAt(tile).word == QLatin1String(word);
}

int StationShift(const QStringList& fixtures) {
    QStringList ports;
    for (int i = 1; i <= fixtures.size(); ++i) {
        ports << QStringLiteral("COM%1").arg(i);
    }
    korvane::StationWindow window(korvane::ReadProfile().file, ports);
    window.move(40, 40);
    window.resize(1024, 600);
    window.show();
    window.Start();
    if (fixtures.size() < 4 || !window.Watching()) {
        std::fprintf(stderr, "korvane-screenshots: the station did not start: %s\n",
                     qPrintable(window.Notice()));
        return 1;
    }
    PutDeviceIn(fixtures[0]);
    PutDeviceIn(fixtures[2]);
    bool secondIn = false;
    Poll([&] {
        if (!secondIn) {
            if (Shows(window, 0, "PASS") && Shows(window, 2, "FAIL")) {
                PutDeviceIn(fixtures[1]);
                secondIn = true;
            }
            return false;
        }
        const int position = window.TileAt(1).progress;
        if (!Shows(window, 1, "FLASHING") || position < 40 || position > 60) {
            return false;
        }
        SaveScreen(&window, "station-mid-shift.png");
        window.Stop();
        QCoreApplication::quit();
        return true;
    });
    QTimer::singleShot(kGiveUpMs, qApp, [] {
        std::fprintf(stderr, "korvane-screenshots: gave up waiting\n");
        QCoreApplication::exit(1);
    });
    const int result = QCoreApplication::exec();
    return result == 0 && saved == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    korvane::FlasherApp app(argc, argv);
    const bool station = argc >= 3 && std::strcmp(argv[1], "--station") == 0;
    if (argc != 2 && !station) {
        std::fprintf(stderr,
                     "usage: korvane-screenshots OUTDIR\n"
                     "       korvane-screenshots --station OUTDIR STATEDIR...\n");
        return 2;
    }
    outputDir = QString::fromLocal8Bit(argv[station ? 2 : 1]);
    korvane::RegisterApplicationIcons();
    if (station) {
        QStringList fixtures;
        for (int i = 3; i < argc; ++i) {
            fixtures << QString::fromLocal8Bit(argv[i]);
        }
        return StationShift(fixtures);
    }

    FlasherDialog dialog;
    dialog.move(40, 40);
    dialog.show();
    auto* progress = static_cast<korvane::GradientProgress*>(dialog.Control(res::kProgressBar));
    auto* status = static_cast<QLabel*>(dialog.Control(res::kStatusLine));

    QTimer::singleShot(kSettleMs, &dialog, [&] {
        SaveScreen(&dialog, "dialog-idle.png");
        Poll([&] {
            const int position = progress->GetPos();
            if (!dialog.RunActive() || position < 40 || position > 60) {
                return false;
            }
            SaveScreen(&dialog, "dialog-mid-run.png");
            Poll([&] {
                if (dialog.RunActive()) {
                    return false;
                }
                std::printf("status: %s\n", qPrintable(status->text()));
                QTimer::singleShot(kSettleMs, &dialog, [&] {
                    SaveScreen(&dialog, "dialog-done.png");
                    ShowAbout(dialog);
                });
                return true;
            });
            return true;
        });
        Click(dialog.Control(res::kOk));
    });
    QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit);
    QTimer::singleShot(kGiveUpMs, &app, [] {
        std::fprintf(stderr, "korvane-screenshots: gave up waiting\n");
        QCoreApplication::exit(1);
    });
    const int result = app.exec();
    return result == 0 && saved == 5 ? 0 : 1;
}
