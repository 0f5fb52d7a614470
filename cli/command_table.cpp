#include "cli/command_table.h"

#include "cli/subcommands.h"

namespace korvane {

namespace {

// Options that mean the same for every command that takes them, written once.
const Option kJournal{
    "journal", "URI",
    "The journal: a PostgreSQL URI (postgresql://user@host:port/dbname) or an SQLite file. "
    "Default: the profile's [Journal] Database, else the station's own file."};
const Option kStation{
    "station", "NAME",
    "This station's name in the journal. Default: [Journal] Station, else the host name."};
const Option kFixture{
    "fixture", "WIRING",
    "How the fixture wires DTR and RTS to RESET and BOOT0, as the profile's [Fixture] Wiring: "
    "e.g. reset=dtr,boot0=rts (swapped), reset=!rts (through an inverter), pulse=500ms, "
    "exit=run (start the new firmware). Default: [Fixture] Wiring, else "
    "reset=rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none."};
const Option kTrustedKeys{
    "trusted-keys", "PATH",
    "Flash only packages whose minisign signature (PACKAGE.minisig) was made by one of these "
    "keys: a public-key file, or a folder whose *.pub files are all trusted. Default: "
    "[Packages] TrustedKeys, else none (a signature is then only shown)."};
const Option kCsv{"csv", nullptr, "CSV instead of a table."};
const Option kDevicePort{
    "port", "COMn|DEVICE",
    "Serial port: COM1 … COM255 or a device path, given more than once or as a range "
    "(COM1-COM8) for several devices. Default: the port saved in the profile.",
    true};

const Command kFlash{
    "",
    "Flash one device on each port given.",
    "Writes a package into an STM32F10x device through its serial bootloader, and gives "
    "it the next sequence number.",
    "PACKAGE",
    1,
    1,
    "a flash",
    {{"Flashing options",
      {{"port", "COMn|DEVICE",
        "Serial port: COM1 … COM255 (mapped as the window maps them) or a device path. "
        "Default: the port saved in the profile. Given more than once (or as a range, "
        "COM1-COM8), one device is flashed on each port at the same time.",
        true},
       {"verify", nullptr, "Read the loader image back after writing it, before it is started."},
       {"json", nullptr,
        "One JSON object for each device on standard output as it ends, and nothing "
        "else there."},
       {"trace", nullptr, "Show every byte sent on standard error."}}},
     {"Numbering options",
      {{"sn", "N", "Sequence number of this device (1 … 99999). Default: the profile's."},
       {"counter", "profile|journal",
        "Where sequence numbers come from: profile (this user's profile) or journal (one "
        "sequence for every station of the journal). Default: [Journal] Counter, else "
        "profile."},
       {"lease", "N",
        "With --counter journal: claim N numbers at once and go on from them while the "
        "journal's server is away. Default: [Journal] Lease, else 0 (no run without the "
        "server)."},
       {"rework", "new|keep|refuse",
        "A chip the journal has flashed before: new (give it a new number, the default), "
        "keep (send it its earlier serial record again) or refuse (write nothing). "
        "Default: [Station] Rework."}}},
     {"Journal options", {kJournal, kStation}},
     {"Station options",
      {{"watch", nullptr,
        "Keep every port's fixture going until stopped: flash each new device put in, "
        "wait for it to be taken out, and start over. The first Ctrl-C lets the devices "
        "being flashed finish and prints a summary; a second abandons them."},
       kFixture}},
     {"Trust options", {kTrustedKeys}}},
    {},
    RunFlash};
const Command kList{
    "--list",
    "List the package's directory and its signature instead of flashing.",
    "Lists each directory slot of the package (name, kind, writer, offset, size, first "
    "data block, warnings), then its signature.",
    "PACKAGE",
    1,
    1,
    "--list",
    {{"Trust options", {kTrustedKeys}}},
    {},
    RunList};
const Command kIdentify{
    "identify",
    "Show what the device on each port says of itself.",
    "Shows what the device on each port says of itself: bootloader, unique ID, flash "
    "size, read protection. Nothing is written.",
    "",
    0,
    0,
    "identify",
    {{"Device options",
      {kDevicePort,
       {"json", nullptr, "One JSON object for each device on standard output."},
       {"try-wirings", nullptr,
        "When the wiring brings no bootloader, try the other common ones (lines swapped, "
        "inverted, longer pulses) and show the [Fixture] line of the one that "
        "answered."}}},
     {"Station options", {kFixture}}},
    {},
    RunIdentify};
const Command kUnprotect{
    "unprotect",
    "Lift a device's read protection, erasing its whole flash.",
    "Lifts the read protection of the device on each port, which erases its whole flash; "
    "the journal keeps each one.",
    "",
    0,
    0,
    "unprotect",
    {{"Device options",
      {kDevicePort, {"yes", nullptr, "Erase the whole flash without asking (for scripts)."}}},
     {"Journal options", {kJournal, kStation}},
     {"Station options", {kFixture}}},
    {},
    RunUnprotect};
const Command kPack{
    "pack",
    "Build a package from image files.",
    "Builds a package of up to 8 images (names of at most 15 characters); a FILE without "
    "NAME= is stored under its file name.",
    "OUTPUT NAME=FILE...",
    0,
    -1,
    "pack",
    {},
    {},
    RunPack};
const Command kJournalCommand{
    "journal",
    "Print the journal's records or leases.",
    "Prints the journal's records, oldest first: a table for a person, or CSV.",
    "",
    0,
    0,
    "journal",
    {{"Journal options",
      {kJournal,
       {"leases", nullptr, "The stations' leases, with their used and unused numbers."},
       kCsv}},
     {"Selection options",
      {{"since", "WHEN",
        "Records from this time on: an ISO date (2026-12-01) or date and time "
        "(2026-12-01T08:00), local unless it ends in Z or an offset; today; or a number "
        "of hours or days back (8h, 7d)."},
       {"sn", "N", "The record with this sequence number."},
       {"serial", "TEXT", "The record with this serial text."},
       {"uid", "HEX", "The records of the chip with this unique ID (24 hexadecimal digits)."},
       {"duplicates", nullptr,
        "Only the records whose sequence number another record holds too."}}}},
    {{nullptr, {"journal", "since", "sn", "serial", "uid", "duplicates", "csv"}},
     {"leases", {"journal", "csv"}}},
    RunJournal};
#ifdef KORVANE_DASHBOARD
const Command kJournalServe{
    "journal serve",
    "Serve the journal as a live dashboard and a JSON API.",
    "Serves a page that shows the line at a glance (the shift's figures, every station and "
    "fixture live, failures by cause, the packages on the line, a chip's history) and the "
    "JSON API it reads, from the journal, read-only. Ctrl-C ends it.",
    "",
    0,
    0,
    "journal serve",
    {{"Journal options", {kJournal}},
     {"Server options",
      {{"listen", "ADDRESS:PORT",
        "Where to listen: an address of this machine and a port (0.0.0.0:8080 for every "
        "address). Default: 127.0.0.1:8080, this machine alone."},
       {"token-file", "FILE",
        "Ask every request for the token this file holds: as an \"Authorization: Bearer\" "
        "header, or through the page's login form."},
       {"offline-after", "SECONDS",
        "Show a station as offline when it has not been heard from for this long. Default: "
        "30."}}}},
    {},
    RunJournalServe};
#endif
const Command kPorts{
    "ports",
    "List the serial ports, or make a COM number stand for a device.",
    "Lists the serial ports of this machine and the COM number that stands for each, or "
    "makes a COM number stand for a device.",
    "",
    0,
    -1,
    "ports",
    {{"Port options",
      {{"assign", "COMn",
        "Make COMn (COM1 … COM255) stand for DEVICE: writes COMn=DEVICE into the [Ports] "
        "section of the profile. Best give the device's /dev/serial/by-id/… name."}}}},
    {{nullptr, {}}, {"assign", {}, "DEVICE"}},
    RunPorts};

}  // namespace

const std::vector<Command>& Commands() {
    // A command of two words comes before the command of its first.
    static const std::vector<Command> commands = {kFlash,          kList, kIdentify,
                                                  kUnprotect,      kPack,
#ifdef KORVANE_DASHBOARD
                                                  kJournalServe,
#endif
                                                  kJournalCommand, kPorts};
    return commands;
}

const Option* FindOption(const Command& command, const QString& name) {
    for (const OptionGroup& group : command.groups) {
        for (const Option& option : group.options) {
            if (name == QLatin1String(option.name)) {
                return &option;
            }
        }
    }
    return nullptr;
}

}  // namespace korvane
