#include "drivers/guest_machine.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace korvane::testing {

namespace {

using Clock = std::chrono::steady_clock;

// The adapter as QEMU knows it: its id, the USB bus and the character device it speaks on.
constexpr const char* kAdapterId = "ftdi";
constexpr const char* kAdapterArguments =
    R"({"driver": "usb-serial", "bus": "usbhc.0", "chardev": "ftdi", "id": "ftdi"})";

sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

int Listen(const std::string& path) {
    unlink(path.c_str());
    const sockaddr_un address = AddressOf(path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                    listen(fd, 1) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int Connect(const std::string& path) {
    const sockaddr_un address = AddressOf(path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteText(int fd, const std::string& text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

GuestMachine::GuestMachine() = default;

GuestMachine::~GuestMachine() {
    PowerOff();
}

bool GuestMachine::ReadLine(int fd, std::string& buffer, std::string& line, uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return true;
        }
        pollfd waiter{fd, POLLIN, 0};
        const int ready = fd < 0 ? -1 : poll(&waiter, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(got));
    }
}

bool GuestMachine::Boot(const Setup& wanted, uint32_t timeoutMs) {
    setup = wanted;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    agentListener = Listen(setup.sockets + "/agent.sock");
    if (agentListener < 0) {
        errorText = "cannot listen for the guest's agent: " + std::string(std::strerror(errno));
        return false;
    }
    monitorPath = setup.sockets + "/monitor.sock";
    const std::vector<std::string> options = {
        "-nodefaults", "-no-reboot", "-display", "none", "-machine", "q35", "-accel", "tcg", "-m",
        "1024", "-smp", "1", "-kernel", setup.kernel, "-initrd", setup.initramfs, "-append",
        "console=hvc0 quiet panic=-1 korvane_agent=" + setup.agent,
        // The console and the agent on virtio, so that the only 16550 is the one under test.
        "-device", "virtio-serial-pci", "-chardev",
        "file,id=console,path=" + setup.folder + "/console.log", "-device",
        "virtconsole,chardev=console", "-chardev",
        "socket,id=agent,path=" + setup.sockets + "/agent.sock", "-device",
        "virtserialport,chardev=agent,name=korvane.agent", "-virtfs",
        "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
        "-virtfs", "local,path=" + setup.folder + ",mount_tag=harness,security_model=none",
        // The ports' far ends listen; QEMU connects, and again after a connection ends.
        "-chardev", "socket,id=uart,path=" + setup.uartSocket + ",reconnect=1", "-device",
        "isa-serial,chardev=uart,index=1", "-device", "qemu-xhci,id=usbhc", "-chardev",
        "socket,id=ftdi,path=" + setup.ftdiSocket + ",reconnect=1", "-device",
        "usb-serial,bus=usbhc.0,chardev=ftdi,id=" + std::string(kAdapterId), "-qmp",
        "unix:" + monitorPath + ",server=on,wait=off",
        // Without the time stamp option the trace's lines carry none.
        "-msg", "timestamp=on", "-trace", "usb_serial_*", "-trace", "serial_write", "-trace",
        "serial_update_parameters", "-D", setup.trace};
    std::vector<std::string> arguments = {
        "-c", "exec \"$0\" \"$@\" >'" + setup.folder + "/qemu.log' 2>&1", "qemu-system-x86_64"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    qemu = std::make_unique<ChildProcess>("/bin/sh", arguments);

    pollfd waiter{agentListener, POLLIN, 0};
    if (poll(&waiter, 1, RemainingMs(deadline)) <= 0 ||
        (agent = accept4(agentListener, nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
        errorText = "QEMU did not start: " + FileText(setup.folder + "/qemu.log");
        return false;
    }
    std::string line;
    if (!ReadLine(agent, agentBuffer, line, static_cast<uint32_t>(RemainingMs(deadline))) ||
        line != "ready") {
        errorText = "the guest's agent did not start; its console:\n" +
                    FileText(setup.folder + "/console.log");
        return false;
    }
    if (!ConnectMonitor()) {
        errorText = "QEMU's monitor does not answer";
        return false;
    }
    return true;
}

bool GuestMachine::ConnectMonitor() {
    if (monitor >= 0) {
        close(monitor);
    }
    monitorBuffer.clear();
    monitor = Connect(monitorPath);
    std::string greeting;
    return monitor >= 0 && ReadLine(monitor, monitorBuffer, greeting, 5000) &&
           !Ask(R"({"execute": "qmp_capabilities"})", 5000).empty();
}

GuestMachine::Result GuestMachine::Run(const std::string& command, uint32_t timeoutMs) {
    Result result;
    const std::string id = std::to_string(++commands);
    if (command.find('\n') != std::string::npos || !WriteText(agent, id + " " + command + "\n")) {
        return result;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (ReadLine(agent, agentBuffer, line, static_cast<uint32_t>(RemainingMs(deadline)))) {
        if (line.compare(0, id.size() + 1, id + " ") == 0) {
            result.status = std::atoi(line.c_str() + id.size() + 1);
            break;
        }
    }
    result.output = FileText(setup.folder + "/" + id + ".out");
    return result;
}

std::string GuestMachine::Monitor(const std::string& command, uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string answer = Ask(command, timeoutMs);
    if (!answer.empty() || RemainingMs(deadline) <= 0 || !ConnectMonitor()) {
        return answer;
    }
    return Ask(command, static_cast<uint32_t>(std::max(RemainingMs(deadline), 1000)));
}

std::string GuestMachine::Ask(const std::string& command, uint32_t timeoutMs) {
    if (monitor < 0 || !WriteText(monitor, command + "\n")) {
        return {};
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (ReadLine(monitor, monitorBuffer, line, static_cast<uint32_t>(RemainingMs(deadline)))) {
        if (line.find("\"event\"") != std::string::npos) {
            monitorEvents += line + "\n";
        } else {
            return line;
        }
    }
    return {};
}

bool GuestMachine::WaitForEvent(const std::string& name, uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        const size_t found = monitorEvents.find("\"" + name + "\"");
        if (found != std::string::npos) {
            monitorEvents.erase(0, monitorEvents.find('\n', found) + 1);
            return true;
        }
        if (!ReadLine(monitor, monitorBuffer, line, static_cast<uint32_t>(RemainingMs(deadline)))) {
            return false;
        }
        monitorEvents += line + "\n";
    }
}

bool GuestMachine::PullOutAdapter(uint32_t timeoutMs) {
    lastAnswer = Monitor(
        std::string(R"({"execute": "device_del", "arguments": {"id": ")") + kAdapterId + "\"}}",
        timeoutMs);
    return lastAnswer.find("\"return\"") != std::string::npos &&
           WaitForEvent("DEVICE_DELETED", timeoutMs);
}

bool GuestMachine::PutBackAdapter() {
    lastAnswer = Monitor(
        std::string(R"({"execute": "device_add", "arguments": )") + kAdapterArguments + "}", 5000);
    return lastAnswer.find("\"return\"") != std::string::npos;
}

void GuestMachine::PowerOff() {
    if (qemu) {
        // The machine's state is of no more use: QEMU ends at once.
        if (Monitor(R"({"execute": "quit"})", 5000).empty()) {
            qemu->Signal(SIGKILL);
        }
        qemu->Wait();
        qemu.reset();
    }
    for (int* fd : {&agent, &agentListener, &monitor}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace korvane::testing
