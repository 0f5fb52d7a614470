#include "res/resources.h"

#include "res/resource_ids.h"

// The embedded images live in this static library, whose resource initialiser nothing
// else refers to; this call keeps it linked in and run. It has to be made outside any
// namespace.
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace korvane::res {

QString LoadResourceString(int id) {
    switch (id) {
        case kAboutMenuText:
            return QString::fromUtf8("关于 Korvane(&A)...");
        default:
            return QString();
    }
}

QIcon ResourceIcon(int id) {
    static const bool initialised = (InitIconResources(), true);
    (void)initialised;
    const char* file = nullptr;
    switch (id) {
        case kApplicationIcon:
            file = ":/korvane/icons/app.png";
            break;
        case kCancelIcon:
            file = ":/korvane/icons/cancel.png";
            break;
        case kResetIcon:
            file = ":/korvane/icons/reset.png";
            break;
        case kUpdateIcon:
            file = ":/korvane/icons/update.png";
            break;
        default:
            return QIcon();
    }
    return QIcon(QString::fromLatin1(file));
}

}  // namespace korvane::res
