// The program's resources besides the dialog templates: the string table, the icons and
// the version.
#pragma once

#include <QIcon>
#include <QString>

#include "res/version.h"

namespace korvane::res {

// The file and product version, as the version block holds it.
constexpr char kVersionText[] = KORVANE_VERSION;

// The string with this id; empty when the table has none.
QString LoadResourceString(int id);

// The icon with this id, in its 32 × 32 image; a null icon for an unknown id.
QIcon ResourceIcon(int id);

// The ids of every icon the program carries.
constexpr int kIconIds[] = {128, 130, 131, 132};

}  // namespace korvane::res
