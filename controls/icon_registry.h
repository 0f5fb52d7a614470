// The application's icons by resource id. The application registers its icons once at
// start-up; controls load them by id. Each load makes a new image object owned by whoever
// loads it, so an owner can release what it loaded without touching anyone else's copy.
// Used on the GUI thread only.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <memory>

namespace korvane {

using IconHandle = std::shared_ptr<const QPixmap>;

// Makes id (its low 16 bits) name icon; a later registration of the same id replaces it.
void RegisterIcon(int id, const QIcon& icon);
void UnregisterIcon(int id);

// A new image of icon id at its own size (the first size the icon offers); null when no
// icon is registered under id.
IconHandle LoadIcon(int id);

}  // namespace korvane
