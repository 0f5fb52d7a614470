#include "drivers/driver_bench.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace korvane::testing {

namespace {
// A boot takes 5 to 6 s on an idle machine; a loaded one may take several times that.
constexpr uint32_t kBootTimeoutMs = 120000;
// Received bytes shown on the timeline, at most, per block.
constexpr size_t kBytesShown = 16;

DriverBench* bench = nullptr;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HomeOf(const std::string& home) {
    return "/run/home/" + home;
}
}  // namespace

DriverBench& DriverBench::Get() {
    if (bench == nullptr) {
        bench = new DriverBench();
    }
    return *bench;
}

void DriverBench::TearDown() {
    if (bench != nullptr) {
        bench->guest.PowerOff();
        bench->ftdiDevice.Stop();
        bench->uartDevice.Stop();
        std::system(("rm -rf '" + bench->sockets + "'").c_str());
    }
}

std::string DriverBench::PortPath(GuestPort port) {
    return port == GuestPort::kFtdi ? "/dev/ttyUSB0" : "/dev/ttyS1";
}

std::string DriverBench::Quoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

DriverBench::DriverBench()
    : folder(KORVANE_DRIVERS_FOLDER),
      trace(folder + "/trace.log", timeline,
            [this](GuestPort port, bool dtr, bool rts, double time) {
                // From the trace's wall-clock stamp to the device's steady clock.
                const auto age = std::chrono::duration_cast<devsim::PtySimulator::Clock::duration>(
                    std::chrono::duration<double>(WallNow() - time));
                Device(port).ModemLinesAre(dtr, rts, devsim::PtySimulator::Clock::now() - age);
            }) {
    ready = Boot();
}

bool DriverBench::Boot() {
    GuestMachine::Setup setup;
    setup.kernel = Environment("KORVANE_GUEST_KERNEL");
    setup.initramfs = Environment("KORVANE_GUEST_INITRAMFS");
    if (setup.kernel.empty() || setup.initramfs.empty()) {
        errorText =
            "KORVANE_GUEST_KERNEL and KORVANE_GUEST_INITRAMFS name no guest; "
            "scripts/drivers-test.sh makes them";
        return false;
    }
    std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "/package'").c_str());
    char socketFolder[] = "/tmp/korvane-drivers-XXXXXX";
    if (mkdtemp(socketFolder) == nullptr) {
        errorText = "cannot make a folder for the sockets";
        return false;
    }
    sockets = socketFolder;
    packageImages = folder + "/package";
    package = packageImages + "/sample.bin";
    const std::string pack = "bash -c 'source \"$0\" && pack_sample \"$1\" \"$2\"' " +
                             Quoted(KORVANE_SOURCE_DIR "/scripts/sample_package.sh") + " " +
                             Quoted(KORVANE_FLASH_EXE) + " " + Quoted(packageImages) +
                             " >/dev/null";
    if (std::system(pack.c_str()) != 0) {
        errorText = "cannot pack the sample package";
        return false;
    }

    setup.agent = KORVANE_SOURCE_DIR "/tests/drivers/guest/agent.sh";
    setup.folder = folder;
    setup.sockets = sockets;
    setup.ftdiSocket = sockets + "/ftdi.sock";
    setup.uartSocket = sockets + "/uart.sock";
    setup.trace = folder + "/trace.log";
    for (const GuestPort port : {GuestPort::kFtdi, GuestPort::kUart}) {
        Device(port).SetLineObserver(
            [this, port](const uint8_t* bytes, size_t count) { Observe(port, bytes, count); });
        if (!Device(port).StartOnSocket(port == GuestPort::kFtdi ? setup.ftdiSocket
                                                                 : setup.uartSocket)) {
            errorText = Device(port).ErrorText();
            return false;
        }
        PutInDevice(port);
    }
    const double start = WallNow();
    if (!guest.Boot(setup, kBootTimeoutMs)) {
        errorText = guest.ErrorText();
        return false;
    }
    // The agent may start before the USB adapter is bound.
    if (!WaitForAdapter()) {
        errorText = "the guest has no /dev/ttyUSB0";
        return false;
    }
    Note("the guest is up after " + std::to_string(WallNow() - start) + " s");
    return true;
}

bool DriverBench::WaitForAdapter() {
    return Run("adapter",
               "for i in $(seq 200); do [ -e /dev/ttyUSB0 ] && exit 0; sleep 0.05; done; exit 1")
               .status == 0;
}

bool DriverBench::PullOutAdapter() {
    Note("pulling the adapter out");
    adapterOut = true;
    const bool pulled = guest.PullOutAdapter(5000);
    Note("QEMU: " + guest.LastAnswer() + (pulled ? ", and the adapter is gone" : ""));
    return pulled;
}

bool DriverBench::PutBackAdapter() {
    Note("putting the adapter back");
    const bool added = guest.PutBackAdapter();
    Note("QEMU: " + guest.LastAnswer());
    if (!added || !WaitForAdapter()) {
        return false;
    }
    adapterOut = false;
    return true;
}

void DriverBench::Observe(GuestPort port, const uint8_t* bytes, size_t count) {
    // Whatever the guest did to the lines before it sent these bytes is in the trace
    // by now, and reaches the device first.
    trace.Drain();
    const double now = WallNow();
    {
        std::lock_guard<std::mutex> lock(receivedMutex);
        received[port].push_back({now, std::vector<uint8_t>(bytes, bytes + count)});
    }
    std::string text = "device received " + std::to_string(count) + " bytes:";
    char hex[4];
    for (size_t i = 0; i < count && i < kBytesShown; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        text += hex;
    }
    timeline.Add(now, GuestPortName(port), text + (count > kBytesShown ? " ..." : ""));
}

void DriverBench::PutInDevice(GuestPort port, const devsim::ResetWiring& wiring,
                              const devsim::DeviceFaults& faults) {
    Device(port).PutIn(faults);
    Device(port).WireResetLines(wiring);
}

GuestMachine::Result DriverBench::Run(const std::string& home, const std::string& command,
                                      uint32_t timeoutMs) {
    const std::string folderOfHome = HomeOf(home);
    timeline.Add(WallNow(), "guest", "$ " + command);
    const GuestMachine::Result result =
        guest.Run("mkdir -p " + folderOfHome + " && cd " + folderOfHome +
                      " && export HOME=" + folderOfHome + " XDG_CONFIG_HOME=" + folderOfHome +
                      "/config XDG_DATA_HOME=" + folderOfHome + "/data && " + command,
                  timeoutMs);
    timeline.Add(WallNow(), "guest",
                 "exit status " + std::to_string(result.status) + "; output:\n" + result.output);
    return result;
}

GuestMachine::Result DriverBench::Flash(const std::string& home,
                                        const std::vector<std::string>& args, uint32_t timeoutMs) {
    std::string command = Quoted(KORVANE_FLASH_EXE);
    for (const std::string& arg : args) {
        command += " " + Quoted(arg);
    }
    return Run(home, command, timeoutMs);
}

bool DriverBench::WriteProfile(const std::string& home, const std::string& text) {
    const std::string name = "profile-" + home + ".conf";
    std::ofstream(folder + "/" + name, std::ios::binary) << text;
    return Run(home, "mkdir -p \"$XDG_CONFIG_HOME/STM32F10X Korvane\" && cp /run/korvane/" + name +
                         " \"$XDG_CONFIG_HOME/STM32F10X Korvane/korvane.conf\"")
               .status == 0;
}

std::vector<LineEvent> DriverBench::EventsFrom(double from, GuestPort port) {
    trace.Drain();
    std::vector<LineEvent> events;
    for (const LineEvent& event : trace.EventsFrom(from)) {
        if (event.port == port) {
            events.push_back(event);
        }
    }
    return events;
}

std::vector<Received> DriverBench::ReceivedFrom(double from, GuestPort port) {
    std::lock_guard<std::mutex> lock(receivedMutex);
    std::vector<Received> found;
    for (const Received& block : received[port]) {
        if (block.time >= from) {
            found.push_back(block);
        }
    }
    return found;
}

}  // namespace korvane::testing
