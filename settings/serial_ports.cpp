#include "settings/serial_ports.h"

#include "settings/profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#ifdef KORVANE_SERIAL_PORT_MODULE
#include <QSerialPortInfo>
#endif
#include <map>
#include <optional>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace korvane {

namespace {

// One port number's mapping, with the device it reaches once links are followed.
struct Resolved {
    PortNumberUse use;
    QString device;
};

QString Canonical(const QString& path) {
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

// What port number stands for, given the profile's [Ports] entries.
PortMapping Resolve(int number, const std::map<int, QString>& profilePorts) {
    const std::string platform = PlatformPortName(static_cast<uint8_t>(number));
#ifdef Q_OS_WIN
    Q_UNUSED(profilePorts);
    return {platform, PortSource::kDefault};
#else
    if (const QByteArray mapped = qgetenv(QStringLiteral("KORVANE_COM%1").arg(number).toLatin1());
        !mapped.isEmpty()) {
        return {mapped.toStdString(), PortSource::kEnvironment};
    }
    if (const auto entry = profilePorts.find(number);
        entry != profilePorts.end() && !entry->second.isEmpty()) {
        return {entry->second.toStdString(), PortSource::kProfile};
    }
    return {platform, PortSource::kDefault};
#endif
}

// Every port number's mapping, with the profile read once.
std::vector<Resolved> ResolveAll() {
    const std::map<int, QString> profilePorts = ReadPortDevices();
    std::vector<Resolved> all;
    for (int number = 1; number <= kMaxPortNumber; ++number) {
        PortMapping mapping = Resolve(number, profilePorts);
        const QString device = Canonical(QString::fromStdString(mapping.device));
        all.push_back({{number, std::move(mapping)}, device});
    }
    return all;
}

// The platform's serial ports, each with its own name (links not resolved) and what its
// USB descriptors say; none where Qt was built without its serial-port module (the static
// Windows build), which leaves the ports that COM numbers map.
std::vector<SerialPortListing> EnumeratedPorts() {
    std::vector<SerialPortListing> ports;
#ifdef KORVANE_SERIAL_PORT_MODULE
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortListing port;
        port.device = info.systemLocation();
        if (info.hasVendorIdentifier()) {
            port.vendorId = info.vendorIdentifier();
        }
        if (info.hasProductIdentifier()) {
            port.productId = info.productIdentifier();
        }
        port.manufacturer = info.manufacturer();
        port.product = info.description();
        port.serialNumber = info.serialNumber();
        ports.push_back(port);
    }
#endif
    return ports;
}

// device is a canonical path, or a mapping's path where nothing is there.
SerialPortListing ListingFor(const QString& device, const std::vector<Resolved>& mappings,
                             const std::vector<SerialPortListing>& enumerated) {
    SerialPortListing port;
    for (const SerialPortListing& found : enumerated) {
        if (Canonical(found.device) == device) {
            port = found;
        }
    }
    port.device = device;
    port.present = QFileInfo::exists(device);
    if (port.present) {
        port.stableName = StableNameOf(device);
        port.holder = QString::fromStdString(PortHolderNow(device.toStdString()));
        port.latencyTimer = LatencyTimerOf(device);
    }
    for (const Resolved& resolved : mappings) {
        if (resolved.device == device) {
            port.portNumbers.push_back(resolved.use);
        }
    }
    return port;
}

QString DescribeUse(const PortNumberUse& use) {
    const QString device = QString::fromStdString(use.mapping.device);
    QString origin;
    switch (use.mapping.source) {
        case PortSource::kEnvironment:
            origin = QStringLiteral("environment: KORVANE_COM%1=%2").arg(use.number).arg(device);
            break;
        case PortSource::kProfile:
            origin = QStringLiteral("profile: COM%1=%2").arg(use.number).arg(device);
            break;
        case PortSource::kDefault:
            origin = QStringLiteral("default: %1").arg(device);
            break;
    }
    return QStringLiteral("COM%1 (%2)").arg(use.number).arg(origin);
}

QString HexId(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

}  // namespace

std::vector<SerialPortListing> ListSerialPorts() {
    const std::vector<SerialPortListing> enumerated = EnumeratedPorts();
    const std::vector<Resolved> mappings = ResolveAll();
    // Sorted by name, present ones first.
    std::map<std::pair<bool, QString>, SerialPortListing> ports;
    const auto add = [&](const QString& device) {
        SerialPortListing port = ListingFor(device, mappings, enumerated);
        ports.emplace(std::make_pair(!port.present, port.device), std::move(port));
    };
    for (const SerialPortListing& info : enumerated) {
        add(Canonical(info.device));
    }
    for (const Resolved& resolved : mappings) {
        if (resolved.use.mapping.source != PortSource::kDefault) {
            add(resolved.device);
        }
    }
    std::vector<SerialPortListing> listing;
    for (auto& entry : ports) {
        listing.push_back(std::move(entry.second));
    }
    return listing;
}

SerialPortListing ListingForDevice(const QString& device) {
    return ListingFor(Canonical(device), ResolveAll(), EnumeratedPorts());
}

QString DescribeSerialPort(const SerialPortListing& port) {
    QStringList lines{port.device};
    const auto add = [&lines](const char* label, const QString& value) {
        if (!value.isEmpty()) {
            lines << QStringLiteral("  %1 %2").arg(QLatin1String(label), -13).arg(value);
        }
    };
    if (!port.present) {
        lines << QStringLiteral("  not there now");
    } else {
        add("stable name:", port.stableName);
        if (port.vendorId && port.productId) {
            add("USB ids:", HexId(*port.vendorId) + QLatin1Char(':') + HexId(*port.productId));
        }
        add("manufacturer:", port.manufacturer);
        add("product:", port.product);
        add("serial:", port.serialNumber);
        add("in use:",
            port.holder.isEmpty() ? QStringLiteral("no") : QStringLiteral("by ") + port.holder);
        if (port.latencyTimer && port.latencyTimer->ms > 1) {
            // The driver usually lowers it while the tool has the port; identify tells.
            add("latency:", QStringLiteral("%1 ms (korvane-flash asks for 1 ms while it has the "
                                           "port; identify says whether the driver follows)\n"
                                           "%2to lower it for every program: %3")
                                .arg(port.latencyTimer->ms)
                                .arg(QString(15, QLatin1Char(' ')))
                                .arg(LowerLatencyCommand(*port.latencyTimer)));
        } else if (port.latencyTimer) {
            add("latency:", QStringLiteral("%1 ms").arg(port.latencyTimer->ms));
        }
    }
    QStringList numbers;
    for (const PortNumberUse& use : port.portNumbers) {
        numbers << DescribeUse(use);
    }
    add("COM number:",
        numbers.isEmpty()
            ? QStringLiteral("none; give it one with: korvane-flash ports --assign COMn %1")
                  .arg(port.stableName.isEmpty() ? port.device : port.stableName)
            : numbers.join(QStringLiteral(", ")));
    return lines.join(QLatin1Char('\n'));
}

std::optional<LatencyTimer> LatencyTimerOf(const QString& device) {
    const QByteArray folder = qgetenv("KORVANE_USB_SERIAL_SYSFS");
    LatencyTimer timer;
    timer.file =
        QDir(folder.isEmpty() ? QStringLiteral("/sys/bus/usb-serial/devices")
                              : QString::fromLocal8Bit(folder))
            .filePath(QFileInfo(Canonical(device)).fileName() + QStringLiteral("/latency_timer"));
    QFile file(timer.file);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    bool ok = false;
    timer.ms = QString::fromLatin1(file.read(16)).trimmed().toInt(&ok);
    if (!ok || timer.ms < 0) {
        return std::nullopt;
    }
    return timer;
}

QString LowerLatencyCommand(const LatencyTimer& timer) {
    return QStringLiteral("echo 1 | sudo tee ") + timer.file;
}

QString StableNameOf(const QString& device, const QString& folder) {
    const QString target = Canonical(device);
    const QDir links(folder);
    for (const QString& name :
         links.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString link = links.filePath(name);
        if (Canonical(link) == target) {
            return link;
        }
    }
    return {};
}

PortMapping ResolvePort(int portNumber) {
    return Resolve(portNumber, ReadPortDevices());
}

std::optional<PortChoice> ChoosePort(const QString& text, int profileIndex) {
    int number = 0;
    if (text.isEmpty()) {
        number = static_cast<uint8_t>(profileIndex + 1);
    } else if (const std::optional<int> named = PortNumberIn(text)) {
        if (*named < 1 || *named > kMaxPortNumber) {
            return std::nullopt;
        }
        number = *named;
    } else {
        return PortChoice{text.toStdString(), text.toStdString()};
    }
    return PortChoice{"COM" + std::to_string(number), ResolvePort(number).device};
}

namespace {

// What tells one port from another whatever it is called: the device number of a device
// node, the target of a link, or the name itself where there is nothing to look at.
QString PortIdentity(const std::string& device) {
#ifdef Q_OS_WIN
    QString name = QString::fromStdString(device).toUpper();
    return name.startsWith(QLatin1String("\\\\.\\")) ? name.mid(4) : name;
#else
    struct stat node {};
    if (stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
        return QStringLiteral("device %1").arg(static_cast<qulonglong>(node.st_rdev));
    }
    const QString path = QFile::decodeName(QByteArray::fromStdString(device));
    const QString target = QFileInfo(path).canonicalFilePath();
    return target.isEmpty() ? QDir::cleanPath(path) : target;
#endif
}

}  // namespace

bool ChoosePorts(const QStringList& names, int profileIndex, std::vector<PortChoice>& ports,
                 QString& error) {
    ports.clear();
    std::map<QString, size_t> seen;  // identity -> index in ports
    for (const QString& name : names.isEmpty() ? QStringList{QString()} : names) {
        const std::optional<PortChoice> port = ChoosePort(name, profileIndex);
        if (!port) {
            error = QStringLiteral("bad port '%1': give COM1 … COM%2 or a device path")
                        .arg(name)
                        .arg(kMaxPortNumber);
            return false;
        }
        const auto [earlier, fresh] = seen.emplace(PortIdentity(port->device), ports.size());
        if (!fresh) {
            error = QStringLiteral(
                        "the port %1 is given twice, as %2 and as %3: each fixture needs a port "
                        "of its own")
                        .arg(QString::fromStdString(port->device),
                             QString::fromStdString(PortShown(ports[earlier->second])),
                             QString::fromStdString(PortShown(*port)));
            return false;
        }
        ports.push_back(*port);
    }
    return true;
}

std::optional<int> PortNumberIn(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^COM([0-9]+):?$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const int number = match.captured(1).toInt(&ok);
    return ok ? number : 0;
}

bool ExpandPortRanges(const QStringList& ports, QStringList& expanded, QString& error) {
    static const QRegularExpression range(QStringLiteral("^COM([0-9]{1,3})-COM([0-9]{1,3})$"),
                                          QRegularExpression::CaseInsensitiveOption);
    expanded.clear();
    for (const QString& port : ports) {
        // An empty name is no port: taking the profile's port instead would send bytes to
        // a device the operator did not name.
        if (port.trimmed().isEmpty()) {
            error = QStringLiteral("--port needs a port: give COM1 … COM255 or a device path");
            return false;
        }
        const auto match = range.match(port);
        if (!match.hasMatch()) {
            expanded << port;
            continue;
        }
        const int first = match.captured(1).toInt();
        const int last = match.captured(2).toInt();
        if (first > last) {
            error = QStringLiteral("the port range %1 runs backwards: give COM%2-COM%3")
                        .arg(port)
                        .arg(last)
                        .arg(first);
            return false;
        }
        for (int number = first; number <= last; ++number) {
            expanded << QStringLiteral("COM%1").arg(number);
        }
    }
    return true;
}

}  // namespace korvane
