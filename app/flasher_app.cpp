#include "app/flasher_app.h"

#include "app/flasher_dialog.h"
#include "app/station_window.h"
#include "controls/icon_registry.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"

namespace korvane {

void RegisterApplicationIcons() {
    for (const int id : res::kIconIds) {
        RegisterIcon(id, res::ResourceIcon(id));
    }
}

FlasherApp::FlasherApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The application name stays the executable's base name, as the profile expects.
    setApplicationVersion(QString::fromLatin1(res::kVersionText));
}

namespace {
void SetUpApplication(QApplication& app) {
    app.setOrganizationName(QString::fromLatin1(kProfileKey));
    app.setWindowIcon(res::ResourceIcon(res::kApplicationIcon));
    RegisterApplicationIcons();
}
}  // namespace

int FlasherApp::RunStation(const QStringList& givenPorts, const QString& givenPackage) {
    SetUpApplication(*this);
    const QString package = givenPackage.isEmpty() ? ReadProfile().file : givenPackage;
    StationWindow window(package, givenPorts);
    window.resize(1000, 600);
    window.show();
    return exec();
}

bool FlasherApp::InitInstance() {
    // Embedded controls and three-dimensional control drawing need no enabling here: the
    // widget toolkit hosts its controls and draws them in its style as it is.
    SetUpApplication(*this);

    FlasherDialog dialog;
    dialog.exec();
    return false;
}

}  // namespace korvane
