#include "app/flasher_app.h"

#include "app/flasher_dialog.h"
#include "controls/icon_registry.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "settings/profile.h"

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

bool FlasherApp::InitInstance() {
    // Embedded controls and three-dimensional control drawing need no enabling here: the
    // widget toolkit hosts its controls and draws them in its style as it is.
    setOrganizationName(QString::fromLatin1(kProfileKey));
    setWindowIcon(res::ResourceIcon(res::kApplicationIcon));
    RegisterApplicationIcons();

    FlasherDialog dialog;
    dialog.exec();
    return false;
}

}  // namespace korvane
