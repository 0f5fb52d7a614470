// The settings that the window and the command-line tool share: the per-user profile of
// the application "korvane" under the key "STM32F10X Korvane", section "Setting".
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace korvane {

constexpr char kProfileKey[] = "STM32F10X Korvane";
constexpr char kProfileApplication[] = "korvane";

struct ProfileValues {
    QString file;            // "File": the last chosen package
    int portIndex = 0;       // "Port": 0 = COM1 … 7 = COM8
    int sequenceNumber = 1;  // "SN": the next device's sequence number
};

// The profile, wherever the platform keeps per-user settings (the registry on Windows, an
// INI file under ~/.config elsewhere).
std::unique_ptr<QSettings> OpenProfile();

// Reads File, Port and SN, in this order, with their defaults.
ProfileValues ReadProfile(QSettings& profile);
// Writes File, SN and Port, in this order.
void WriteProfile(QSettings& profile, const ProfileValues& values);
// Writes SN alone and makes sure it reached storage: a device's number must never be
// handed out twice, whatever happens to the process next.
bool SaveSequenceNumber(QSettings& profile, int sequenceNumber);

}  // namespace korvane
