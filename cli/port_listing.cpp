#include "cli/port_listing.h"

#include <QFileInfo>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "settings/profile.h"
#include "settings/serial_ports.h"

namespace korvane {

namespace {

// Each line made safe on its own: device names and the strings an adapter reports about
// itself come from outside, and the line ends are ours.
void Print(std::FILE* out, const QString& text) {
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        std::fprintf(out, "%s\n", TerminalSafe(line.toLocal8Bit().toStdString()).c_str());
    }
}

int ListPorts(std::FILE* out) {
    const std::vector<SerialPortListing> ports = ListSerialPorts();
    if (ports.empty()) {
        Print(out, QStringLiteral("No serial ports found."));
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        Print(out, (i == 0 ? QString() : QStringLiteral("\n")) + DescribeSerialPort(ports[i]));
    }
    return kExitSucceeded;
}

int AssignPort(const QString& portName, const QString& deviceName, std::FILE* out, std::FILE* err) {
    const std::optional<int> number = PortNumberIn(portName);
    if (!number || *number < 1 || *number > kMaxPortNumber) {
        Say(err,
            QStringLiteral("'%1' is no port: give COM1 … COM%2").arg(portName).arg(kMaxPortNumber));
        return kExitUsage;
    }
    const QFileInfo device(deviceName);
    if (!device.exists()) {
        Say(err, QStringLiteral("there is no device %1; COM%2 was left as it was")
                     .arg(deviceName)
                     .arg(*number));
        return kExitFailed;
    }
    // The name as given, links kept: a /dev/serial/by-id/… name follows the adapter from
    // socket to socket, where the device it leads to today may be another one tomorrow.
    const QString path = device.absoluteFilePath();
    QString problem;
    if (!SavePortDevice(*number, path, problem)) {
        Say(err, problem);
        return kExitFailed;
    }
    Print(out, QStringLiteral("COM%1 now stands for %2 (written to %3).\n")
                   .arg(*number)
                   .arg(path, ProfileLocation()));
    const PortMapping today = ResolvePort(*number);
    if (today.source == PortSource::kEnvironment) {
        Say(err, QStringLiteral("KORVANE_COM%1 is set here and comes first: in this environment "
                                "COM%1 still stands for %2")
                     .arg(*number)
                     .arg(QString::fromStdString(today.device)));
    } else {
        Print(out, DescribeSerialPort(ListingForDevice(path)));
    }
    return kExitSucceeded;
}

}  // namespace

int PortsCommand(const std::optional<QString>& assign, const QStringList& devices, std::FILE* out,
                 std::FILE* err) {
    if (assign ? devices.size() != 1 : !devices.isEmpty()) {
        Say(err, QStringLiteral("usage: korvane-flash ports [--assign COMn DEVICE]"));
        return kExitUsage;
    }
    return assign ? AssignPort(*assign, devices.first(), out, err) : ListPorts(out);
}

}  // namespace korvane
