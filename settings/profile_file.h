// What the profile's readers and its writer share: the keys of section "Setting",
// and the profile file's bytes as plain lines. Internal to the settings library.
#pragma once

#include <QSettings>
#include <QString>
#include <optional>
#include <vector>

#include "settings/profile_text.h"

namespace korvane {

constexpr char kFileKey[] = "Setting/File";
constexpr char kPortKey[] = "Setting/Port";
constexpr char kSequenceNumberKey[] = "Setting/SN";

// Outside Windows the profile is an INI file, whose bytes can be looked at directly; on
// Windows it is the registry.
bool ProfileIsFile(const QSettings& profile);

// Every entry of the profile file as plain lines; nothing when it cannot be read.
std::optional<std::vector<RawEntry>> RawEntriesOfFile(const QString& path);

}  // namespace korvane
