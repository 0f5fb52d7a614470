// The gui tier's main: one QApplication for all tests, on a platform without a screen so the
// tests need no display and read back exactly what the controls painted.
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <cstdio>

#include "app/flasher_app.h"
#include "gui/gui_test_support.h"
#include "station/threads_setup.h"

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform has no real pointer to grab and says so at every grab; the grab
// the tests observe is the widget-level one, so the notice is only noise.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QStringLiteral("does not support grabbing the mouse"))) {
        defaultHandler(type, context, message);
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef Q_OS_WIN
    // The window's tests replace this user's settings in the registry and record runs in
    // this user's journal: on a station's own account that would take its sequence number
    // away. They run only where this is meant (scripts/wine-test.sh, in a Wine prefix of
    // its own, says so).
    if (qEnvironmentVariable("KORVANE_TESTS_MAY_REPLACE_SETTINGS") != QLatin1String("1")) {
        std::fputs(
            "These tests replace HKEY_CURRENT_USER\\Software\\STM32F10X Korvane and write "
            "into this user's journal. Run them on an account of their own with "
            "KORVANE_TESTS_MAY_REPLACE_SETTINGS=1.\n",
            stderr);
        return 2;
    }
    // The static Qt of the Windows build has no offscreen platform; the minimal one draws
    // into images as well, with the system's fonts once asked to.
    qputenv("QT_QPA_PLATFORM", "minimal:enable_fonts");
#else
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    defaultHandler = qInstallMessageHandler(QuietHandler);
    // The program's own application object, so a test can start the window the way the
    // program does.
    korvane::PrepareQtForWorkerThreads();
    korvane::FlasherApp app(argc, argv);
    korvane::test::UseTestLook();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
