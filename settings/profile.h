// The settings that the window and the command-line tool share: the per-user profile of
// the application "korvane" under the key "STM32F10X Korvane", section "Setting".
#pragma once

#include <QSettings>
#include <QString>
#include <map>
#include <memory>
#include <optional>

#include "link/fixture_wiring.h"

namespace korvane {

constexpr char kProfileKey[] = "STM32F10X Korvane";
constexpr char kProfileApplication[] = "korvane";
constexpr char kProfileSection[] = "Setting";
constexpr char kSequenceNumberName[] = "SN";
// The section that maps port numbers to devices: "COM3=/dev/ttyUSB0".
constexpr char kPortsSection[] = "Ports";

// "SN" as the profile holds it. A value that is there but is no sequence number is
// damage, never a reason to start again at 1: that would hand out numbers twice.
struct StoredSequenceNumber {
    enum class State {
        kMissing,     // first use: the numbering starts at 1
        kValid,       // a whole decimal number in 1 … 99999
        kUsedUp,      // 100000, as the counter leaves it once it has given 99999
        kDamaged,     // present, but not such a number (or out of the parser's reach, or
                      // given twice or spelled in another case)
        kUnreadable,  // the profile exists but cannot be read
    };
    State state = State::kMissing;
    int value = 1;  // when missing or valid
    QString text;   // as found, for the operator to see
    // When "SN" is given twice or in another case: what the profile holds, in words.
    QString ambiguity;

    bool Usable() const { return state == State::kMissing || state == State::kValid; }
};

struct ProfileValues {
    QString file;       // "File": the last chosen package
    int portIndex = 0;  // "Port": 0 = COM1 … 7 = COM8
    StoredSequenceNumber sequenceNumber;
};

constexpr char kStationSection[] = "Station";
constexpr char kPackagesSection[] = "Packages";

// Sections "Station" and "Packages": how this station flashes its devices. Each empty when
// not given.
struct StationSettings {
    QString rework;       // "Rework": new, keep or refuse, for a chip flashed before
    QString verify;       // "Verify": "loader" reads the loader image back after writing it
    QString probeMs;      // "ProbeMs": how often an empty fixture is probed
    QString ports;        // "Ports": the fixtures of a station, e.g. COM1-COM8
    QString trustedKeys;  // [Packages] "TrustedKeys": a minisign key file, or a folder of them
    QString shiftStart;   // "ShiftStart": the local times shifts start at, e.g. 06:00,14:00,22:00
    // Why these values cannot be trusted; empty when they can. The same damage that
    // JournalSettings::problem tells, found by the same reader.
    QString problem;
};
StationSettings ReadStationSettings();

constexpr char kFixtureSection[] = "Fixture";

// How the fixture is wired (see link/fixture_wiring.h): given, when the operator gave it
// (--fixture), else the profile's [Fixture] Wiring, else the default wiring. Null, with
// problem saying where and what, for text that is not understood.
std::optional<FixtureWiring> ReadFixtureWiring(const std::optional<QString>& given,
                                               QString& problem);

// Section "Journal": where runs are recorded and where numbers come from.
struct JournalSettings {
    QString database;  // "Database": a libpq URI; empty for the station's own SQLite file
    QString station;   // "Station": the station's name; empty for the host name
    QString counter;   // "Counter": "profile" (the default) or "journal"
    QString lease;     // "Lease": how many numbers a station claims at once; empty for 0
    // Why no run may start on this profile, for the operator; empty when none. A name of
    // the program's own (a key of "Setting", "Journal" or "Ports") given twice or spelled
    // in another case: the program would take one of them, its writer maybe another. The
    // counter's "SN" is left to ReadSequenceNumber, since a number the operator gives
    // replaces it.
    QString problem;
};
JournalSettings ReadJournalSettings();

// The profile, wherever the platform keeps per-user settings (the registry on Windows, an
// INI file under ~/.config elsewhere).
std::unique_ptr<QSettings> OpenProfile();

// Reads File, Port and SN, in this order, with their defaults, as the store holds them
// now (not as this process last saw them).
ProfileValues ReadProfile();
StoredSequenceNumber ReadSequenceNumber();

// Where the operator gives the next number: the tool's option, or the window's S/N box.
enum class NumberEntry { kOption, kWindow };

// What follows once 99999 has been given, the core of every sentence that says so:
// "the last number, 99999, has been given; give a new range with --sn".
QString UsedUpText(NumberEntry entry = NumberEntry::kOption);

// A sentence for the operator naming the profile, the key and what it holds.
QString DescribeSequenceNumber(const StoredSequenceNumber& stored,
                               NumberEntry entry = NumberEntry::kOption);

// Writes File and Port at once: in the profile file every other entry stays as it was,
// and a write that fails leaves the file as it was. True only when the store now holds
// them. SN is the counter's to write.
bool WriteProfile(const QString& file, int portIndex);

// Writes SN alone and reads it back from storage: true only when the store now holds it.
// problem says why not.
bool SaveSequenceNumber(int sequenceNumber, QString& problem);

// Writes "COM<portNumber>=device" into the [Ports] section, every other entry as it was,
// and reads it back from storage: true only when the store now holds it. problem says
// why not.
bool SavePortDevice(int portNumber, const QString& device, QString& problem);

// Every "COM<n>=device" entry of the [Ports] section, by n, read through the same reader
// as every other setting.
std::map<int, QString> ReadPortDevices();

// The profile's place, for messages: a file path, or the registry key on Windows.
QString ProfileLocation();

}  // namespace korvane
