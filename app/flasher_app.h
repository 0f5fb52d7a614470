// The application object: starts the program, names the place of the settings, runs the
// main dialog modally, and ends the program when the dialog ends.
#pragma once

#include <QApplication>

namespace korvane {

class FlasherApp : public QApplication {
    Q_OBJECT

public:
    FlasherApp(int& argc, char** argv);

    // The program's start-up. Returns false: no message loop follows, the program ends
    // with the dialog.
    bool InitInstance();
};

// Makes the program's icons (128, 130, 131, 132) loadable by id, for the controls.
void RegisterApplicationIcons();

}  // namespace korvane
