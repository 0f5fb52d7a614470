// The command-line tool's three jobs: flash a package, list a package, build a package.
// Each returns the process's exit status: 0 done, 1 failed, 2 bad usage.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>

#include "flashing/run_checks.h"

#include "flashing/flash_run.h"
#include "settings/serial_ports.h"
#include "station/station.h"

namespace korvane {

enum ExitStatus { kExitSucceeded = 0, kExitFailed = 1, kExitUsage = 2 };

struct FlashOptions {
    QString packagePath;
    QStringList ports;                  // "COMn" or devices; none: the profile's port
    std::optional<int> sequenceNumber;  // empty: the counter's next number
    StationOptions station;             // --journal, --station, --counter, --lease over [Journal]
    bool json = false;                  // one JSON object a device on standard output, nothing else
    bool watch = false;                 // keep every fixture going: flash each new device in it
    // With watch: readable once the operator asks to stop (the first Ctrl-C); the devices
    // being flashed finish, and no new one starts.
    int stopDescriptor = -1;
};

struct JournalOptions {
    std::optional<QString> journal;  // --journal URI; the station's journal otherwise
    // --since: an ISO date or date and time (local unless it says its offset), "today", or
    // hours or days back ("8h", "7d")
    std::optional<QString> since;
    std::optional<int> sequenceNumber;
    QString serial;
    QString uid;              // --uid HEX: the records of one chip
    bool duplicates = false;  // --duplicates: records sharing a sequence number
    bool leases = false;      // --leases: the stations' leases instead of records
    bool csv = false;
};

// One line for the operator on to, after the tool's name, safe for a terminal.
void Say(std::FILE* to, const QString& text);

// Flashes one device on each port given (the profile's port when none is): one run per
// port, numbers from the one counter.
int FlashCommand(const FlashOptions& options, std::FILE* out, std::FILE* err);
// With --watch: every port a fixture, each new device in it flashed, until stopped; then
// the summary. 0 when no device of the watch failed.
int WatchCommand(const FlashOptions& options, std::FILE* out, std::FILE* err);
// The run's checks before any port is opened (CheckBeforeTheDevice), said for the tool:
// the exit status when one refuses, and the check in check.
std::optional<int> RefusedBeforeTheDevice(const FlashOptions& options, std::FILE* out,
                                          std::FILE* err, RunCheck& check);
// What the device on each port says of itself (bootloader, unique ID, flash size, read
// protection); nothing is written. fixture (--fixture) is the wiring over the profile's;
// with tryWirings, the common other wirings are tried when it brings no bootloader, and
// the one that answered is shown as the profile's [Fixture] line.
int IdentifyCommand(const QStringList& ports, bool json, const std::optional<QString>& fixture,
                    bool tryWirings, std::FILE* out, std::FILE* err);
// Lifts the read protection of the device on each port, which erases its whole flash;
// without --yes (yes) only after the operator confirms on a terminal. The journal keeps
// each one.
int UnprotectCommand(const QStringList& ports, bool yes, const StationOptions& station,
                     std::FILE* out, std::FILE* err);
// Prints the journal's records, oldest first: a table for a person, or CSV.
int JournalCommand(const JournalOptions& options, std::FILE* out, std::FILE* err);
// Lists the package's directory and its signature, checked against the trusted keys given
// (the profile's [Packages] TrustedKeys when not).
int ListCommand(const QString& packagePath, const std::optional<QString>& trustedKeys,
                std::FILE* out, std::FILE* err);
// entries are NAME=FILE (or FILE, named after the file).
int PackCommand(const QString& outputPath, const QStringList& entries, std::FILE* out,
                std::FILE* err);

}  // namespace korvane
