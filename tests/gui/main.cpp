// The gui tier's main: one QApplication for all tests, on the offscreen platform so the
// tests need no display and read back exactly what the controls painted.
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>

#include "app/flasher_app.h"
#include "gui/gui_test_support.h"

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
    qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(QuietHandler);
    // The program's own application object, so a test can start the window the way the
    // program does.
    korvane::FlasherApp app(argc, argv);
    korvane::test::UseTestLook();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
