// The serial ports this machine has and the port numbers that stand for them today: what
// `korvane-flash ports` lists, and what the window's port box shows for its port. One
// description serves both, so the operator reads the same words in either place.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "flashing/port_choice.h"
#include "link/serial_port.h"

namespace korvane {

constexpr int kMaxPortNumber = 255;

// Where the device that a port number stands for was named.
enum class PortSource {
    kEnvironment,  // the variable KORVANE_COM<n>
    kProfile,      // the entry COM<n> of the profile's [Ports] section
    kDefault,      // nowhere: the platform's own name for the port
};

struct PortMapping {
    std::string device;
    PortSource source = PortSource::kDefault;
};

// The device that port number portNumber stands for at this station, and who named it. On
// Windows its own "COM<n>:"; elsewhere the environment variable KORVANE_COM<n>, then the
// profile's [Ports] entry COM<n>, then /dev/ttyS<n-1>.
PortMapping ResolvePort(int portNumber);

// The port a run opens for the operator's choice: "COMn" (any case, a colon allowed) by
// its number, resolved as ResolvePort says, an empty text the profile's Port (index + 1,
// modulo 256, as the window takes it), anything else as a device path. Empty for a number
// outside 1 … kMaxPortNumber.
std::optional<PortChoice> ChoosePort(const QString& text, int profileIndex);

// The ports the operator named, each chosen as ChoosePort does (no names: the profile's
// port). False, with a sentence for the operator in error, for a name that is no port and
// for one port given twice under any names: the same path, a COM number and the device it
// stands for, a link under /dev/serial/by-id/ and its target. Two runs on one port would
// take turns opening it, each seeing the fixture empty while the other flashes, and
// number its device twice.
bool ChoosePorts(const QStringList& names, int profileIndex, std::vector<PortChoice>& ports,
                 QString& error);

// The ports as given, each range "COMm-COMn" (any case) made the ports it spans. False with
// the reason in error for an empty name or a range that runs backwards.
bool ExpandPortRanges(const QStringList& ports, QStringList& expanded, QString& error);

struct PortNumberUse {
    int number = 0;
    PortMapping mapping;  // how COM<number> came to stand for the port
};

// A USB serial adapter's latency timer: how long it holds back a short answer before
// passing it on (16 ms by default on FTDI adapters), and the file that sets it.
struct LatencyTimer {
    int ms = 0;
    QString file;
};

// The latency timer of the adapter behind device (links followed), from the folder that
// KORVANE_USB_SERIAL_SYSFS names or else /sys/bus/usb-serial/devices; empty for a port
// that shows none (a built-in port, a pseudo-terminal, Windows).
std::optional<LatencyTimer> LatencyTimerOf(const QString& device);

// The command that lowers it to 1 ms, until the adapter is plugged in again.
QString LowerLatencyCommand(const LatencyTimer& timer);

struct SerialPortListing {
    // The system's name for the port (/dev/ttyUSB0, links resolved); for a mapped device
    // that is not there, the name as the mapping gives it.
    QString device;
    bool present = true;
    QString stableName;  // the /dev/serial/by-id/… link to it, which survives replugging
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
    QString manufacturer;
    QString product;
    QString serialNumber;
    QString holder;                            // another program that has it; empty when none
    std::optional<LatencyTimer> latencyTimer;  // where the adapter shows one
    std::vector<PortNumberUse> portNumbers;    // in ascending order
};

// Every port the system enumerates, then every device that a COM number is mapped to by
// the environment or the profile (pseudo-terminals are not enumerated, and a mapping is
// what the operator relies on), present ones first.
std::vector<SerialPortListing> ListSerialPorts();

// One device (as a COM number's mapping or the operator names it), described as
// ListSerialPorts would.
SerialPortListing ListingForDevice(const QString& device);

// Lines of text without a final line end: the device, then what is known of it, whether
// someone holds it, and the COM numbers that stand for it.
QString DescribeSerialPort(const SerialPortListing& port);

// The link in folder that leads to device, or empty: the name that stays the same
// whichever socket an adapter is plugged into.
QString StableNameOf(const QString& device, const QString& folder = "/dev/serial/by-id");

// The number in "COM3", "com3" or "COM3:"; empty when text does not name a port that way.
// The number may lie outside 1 … kMaxPortNumber (0 when it does not even fit an int).
std::optional<int> PortNumberIn(const QString& text);

}  // namespace korvane
