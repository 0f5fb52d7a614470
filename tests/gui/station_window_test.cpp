// The station window as the floor sees it: tiles of one size however many fixtures and
// whatever they say, a stopped station that says so, each outcome in its word, colour,
// serial and reason, and a restart that neither flashes a board again nor forgets the
// shift's counts.
#include <gtest/gtest.h>

#include <QImage>

#include "app/station_window.h"
#include "devsim/pty_simulator.h"
#include "gui/app_fixture.h"
#include "support/flash_fixture.h"

namespace korvane::test {
namespace {

using korvane::testing::Pattern;

const std::vector<PackageImage> kPackage = {
    {"DIAG.BIN", Pattern(700, 1)},
    {"MCU.BIN", Pattern(1500, 2)},
    {"CFG.BIN", Pattern(600, 3)},
};

const QColor kStopped(0x45, 0x4f, 0x5a);

class StationFloor : public AppTest {
protected:
    // Every tile of the window the same size within two pixels, and inside the window.
    static void ExpectEqualTiles(const StationWindow& window, int count) {
        const QRect first = window.TileWidget(0)->geometry();
        for (int i = 0; i < count; ++i) {
            const QRect tile = window.TileWidget(i)->geometry();
            EXPECT_LE(std::abs(tile.width() - first.width()), 2) << "tile " << i;
            EXPECT_LE(std::abs(tile.height() - first.height()), 2) << "tile " << i;
            EXPECT_TRUE(window.rect().contains(tile)) << "tile " << i << " leaves the window";
        }
    }
};

// 1, 4, 8 and 16 fixtures on a small panel and a full-HD screen: every tile fits, none
// is wider for a long device name (shortened in the middle instead), the word is drawn on
// the stopped colour, and the serial's size is at least half the word's.
TEST_F(StationFloor, TilesShareTheWindowEquallyAtEverySize) {
    const std::string package = korvane::testing::WritePackage(kPackage);
    const QString longName =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3J8Q-if00-port0");
    for (const int count : {1, 4, 8, 16}) {
        QStringList ports;
        for (int i = 1; i <= count; ++i) {
            ports << (i == count && count > 1 ? longName : QStringLiteral("COM%1").arg(i));
        }
        for (const QSize size : {QSize(1024, 600), QSize(1920, 1080)}) {
            SCOPED_TRACE(::testing::Message()
                         << count << " fixtures at " << size.width() << "x" << size.height());
            StationWindow window(QString::fromStdString(package), ports);
            window.resize(size);
            window.show();
            QCoreApplication::processEvents();
            ExpectEqualTiles(window, count);
            const QImage shot = window.grab().toImage();
            for (int i = 0; i < count; ++i) {
                const StationWindow::TileView tile = window.TileAt(i);
                EXPECT_EQ(tile.word, QStringLiteral("STOPPED"));
                EXPECT_GE(tile.wordPixels, 16);
                EXPECT_GE(2 * tile.serialPixels, tile.wordPixels);
                // Just inside the tile's word band, left of where the word is drawn.
                const QPoint band = window.TileWidget(i)->geometry().topLeft() +
                                    tile.wordBand.topLeft() + QPoint(3, 3);
                EXPECT_EQ(shot.pixelColor(band), kStopped) << "tile " << i;
            }
            if (count > 1) {
                const QString shown = window.TileAt(count - 1).port;
                EXPECT_TRUE(shown.contains(QChar(0x2026)) && shown.endsWith("port0"))
                    << shown.toStdString();
            }
            EXPECT_FALSE(window.Banner().isEmpty());
        }
    }
}

#ifndef _WIN32
// Four fixtures through a shift and a restart: a board that passes, one whose loader
// refuses a write, a read-protected one, and an empty fixture.
TEST_F(StationFloor, FourFixturesThroughAShiftAndARestart) {
    devsim::DeviceFaults refusing;
    refusing.refuseWriteAt = 0x08000100;
    devsim::DeviceFaults locked;
    locked.readProtected = true;
    std::vector<std::unique_ptr<devsim::PtySimulator>> fixtures;
    QStringList ports;
    for (const devsim::DeviceFaults& faults :
         {devsim::DeviceFaults{}, refusing, locked, devsim::DeviceFaults{}}) {
        fixtures.push_back(std::make_unique<devsim::PtySimulator>(faults));
        ASSERT_TRUE(fixtures.back()->Start()) << fixtures.back()->ErrorText();
        ports << QString::fromStdString(fixtures.back()->PortPath());
    }
    fixtures[3]->TakeOut();
    const std::string package = korvane::testing::WritePackage(kPackage);
    WriteProfileFile(QString("[Setting]\nFile=%1\nPort=0\nSN=30\n[Station]\nProbeMs=200\n")
                         .arg(QString::fromStdString(package)));

    auto window = std::make_unique<StationWindow>(QString::fromStdString(package), ports);
    window->resize(1024, 600);
    window->show();
    const auto word = [&](int i) { return window->TileAt(i).word; };
    PressKey(window.get(), Qt::Key_Space);
    ASSERT_TRUE(window->Watching()) << window->Notice().toStdString();
    ASSERT_TRUE(WaitUntil([&] {
        return word(0) == "PASS" && word(1) == "FAIL" && word(2) == "TAKE OUT" &&
               word(3) == "EMPTY";
    })) << word(0).toStdString()
        << " " << word(1).toStdString() << " " << word(2).toStdString();
    ExpectEqualTiles(*window, 4);
    const StationWindow::TileView passed = window->TileAt(0);
    EXPECT_EQ(passed.colour, QColor(0x2e, 0x7d, 0x32));
    EXPECT_TRUE(passed.serial.startsWith('K') && passed.serial.size() == 13)
        << passed.serial.toStdString();
    const StationWindow::TileView failed = window->TileAt(1);
    EXPECT_EQ(failed.colour, QColor(0xc6, 0x28, 0x28));
    EXPECT_TRUE(failed.detail.contains("DIAG.BIN")) << failed.detail.toStdString();
    // The number the failed board consumed is shown with it, never the passed board's.
    EXPECT_NE(failed.serial, passed.serial);
    const StationWindow::TileView locked_ = window->TileAt(2);
    EXPECT_EQ(locked_.colour, QColor(0xef, 0x6c, 0x00));
    EXPECT_TRUE(locked_.detail.contains("read-protected")) << locked_.detail.toStdString();
    EXPECT_TRUE(window->LineCounts().startsWith("passed 1 · failed 2 · first-pass yield 33.3 %"))
        << window->LineCounts().toStdString();

    PressKey(window.get(), Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return !window->Watching(); }));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(word(i), QStringLiteral("STOPPED"));
    }
    ExpectEqualTiles(*window, 4);

    // Opened again with every board still in: the shift's counts are the journal's, and
    // the board that went through is told to come out, not flashed again.
    window = std::make_unique<StationWindow>(QString::fromStdString(package), ports);
    window->resize(1024, 600);
    window->show();
    EXPECT_TRUE(window->LineCounts().startsWith("passed 1 · failed 2"))
        << window->LineCounts().toStdString();
    PressKey(window.get(), Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return word(0) == "TAKE OUT" && word(1) == "FAIL"; }))
        << word(0).toStdString();
    const StationWindow::TileView again = window->TileAt(0);
    EXPECT_TRUE(again.detail.startsWith("Already flashed as " + passed.serial + ", at "))
        << again.detail.toStdString();
    fixtures[0]->Inspect(
        [](const devsim::SimulatedDevice& d) { EXPECT_EQ(d.Loader().ClosingRequests(), 1); });
    PressKey(window.get(), Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return !window->Watching(); }));
}
#endif

}  // namespace
}  // namespace korvane::test
