#include "controls/icon_registry.h"

#include <map>

namespace korvane {

namespace {

std::map<int, QIcon>& Registry() {
    static std::map<int, QIcon> icons;
    return icons;
}

int ResourceId(int id) {
    return id & 0xFFFF;
}

}  // namespace

void RegisterIcon(int id, const QIcon& icon) {
    Registry()[ResourceId(id)] = icon;
}

void UnregisterIcon(int id) {
    Registry().erase(ResourceId(id));
}

IconHandle LoadIcon(int id) {
    const auto found = Registry().find(ResourceId(id));
    if (found == Registry().end() || found->second.availableSizes().isEmpty()) {
        return nullptr;
    }
    const QIcon& icon = found->second;
    return std::make_shared<const QPixmap>(icon.pixmap(icon.availableSizes().first()));
}

}  // namespace korvane
