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
    // korvane --station: the station window over the fixtures on ports (the profile's
    // [Station] Ports when none), flashing packagePath (the profile's File when empty),
    // until it is closed. The program's exit status.
    int RunStation(const QStringList& ports, const QString& packagePath);
};

// Makes the program's icons (128, 130, 131, 132) loadable by id, for the controls.
void RegisterApplicationIcons();

}  // namespace korvane
