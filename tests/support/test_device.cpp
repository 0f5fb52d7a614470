#include "support/test_device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devsim/device_faults.h"
#include "platform/ticks.h"
#include "support/test_device_backend.h"

namespace korvane::testing {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "" : value;
}

// A korvane-devsim that a runner started, served through its state folder: each request
// is a file that the simulator removes once it has taken in what the host sent before,
// done what was asked, and written its files.
class ExternalBackend : public TestDevice::Backend {
public:
    ExternalBackend(std::string port, std::string folder)
        : port(std::move(port)), folder(std::move(folder)) {}

    bool Start(std::string* error) override {
        if (folder.empty()) {
            *error = "KORVANE_TEST_DUMP_DIR names no folder";
            return false;
        }
        if (!Request("reset")) {
            *error = "the simulator did not serve a request in " + folder;
            return false;
        }
        return true;
    }
    std::string Port() const override { return port; }
    devsim::DeviceSnapshot Snapshot() const override {
        devsim::DeviceSnapshot snapshot;
        const bool read = Request("dump") && devsim::ReadDeviceFiles(folder, &snapshot);
        EXPECT_TRUE(read) << "cannot read the simulator's state in " << folder;
        return snapshot;
    }
    void ClearReceived() override {
        EXPECT_TRUE(Request("clear-received")) << "the simulator did not clear in " << folder;
    }
    void PutIn() override { EXPECT_TRUE(Request("put-in")) << folder; }
    void TakeOut() override { EXPECT_TRUE(Request("take-out")) << folder; }

private:
    // Longer than any pause the simulator can be in (a slow erase) when asked.
    static constexpr uint32_t kServeTimeoutMs = 15000;
    static constexpr uint32_t kPollMs = 5;

    bool Request(const char* action) const {
        const std::string request = folder + "/request";
        const std::string partial = request + ".part";
        FILE* file = std::fopen(partial.c_str(), "w");
        if (file == nullptr) {
            return false;
        }
        std::fputs(action, file);
        // Renamed into place, so that the simulator never reads half a request.
        if (std::fclose(file) != 0 || std::rename(partial.c_str(), request.c_str()) != 0) {
            return false;
        }
        const uint32_t start = TickCount();
        while (TicksSince(start, TickCount()) < kServeTimeoutMs) {
            FILE* pending = std::fopen(request.c_str(), "r");
            if (pending == nullptr) {
                return true;
            }
            std::fclose(pending);
            SleepMs(kPollMs);
        }
        std::remove(request.c_str());
        return false;
    }

    std::string port;
    std::string folder;
};

}  // namespace

#ifdef _WIN32
// There are no pseudo-terminals here: only a simulator beside the program will do.
std::unique_ptr<TestDevice::Backend> MakeInProcessBackend(const devsim::DeviceFaults&, uint32_t) {
    return nullptr;
}
#endif

TestDevice::TestDevice(const devsim::DeviceFaults& faults, uint32_t baudRate) {
    const std::string port = Environment("KORVANE_TEST_PORT");
    if (port.empty()) {
        backend = MakeInProcessBackend(faults, baudRate);
        return;
    }
    devsim::DeviceFaults running;
    if (!devsim::ApplyFaultList(Environment("KORVANE_TEST_FAULTS"), &running)) {
        errorText = "KORVANE_TEST_FAULTS is not a list of fault names";
        return;
    }
    const uint32_t runningBaudRate =
        static_cast<uint32_t>(std::strtoul(Environment("KORVANE_TEST_BAUD").c_str(), nullptr, 10));
    if (devsim::FaultNames(running) != devsim::FaultNames(faults) || runningBaudRate != baudRate) {
        std::string options = devsim::FaultOptions(faults);
        if (baudRate != 0) {
            options = "--baud " + std::to_string(baudRate) + (options.empty() ? "" : " " + options);
        }
        unsuited = std::string(kNeedsSimulatorText) + (options.empty() ? "" : " " + options);
        return;
    }
    backend = std::make_unique<ExternalBackend>(port, Environment("KORVANE_TEST_DUMP_DIR"));
}

TestDevice::~TestDevice() = default;

bool TestDevice::Start() {
    if (backend == nullptr) {
        if (errorText.empty()) {
            errorText = "no simulated device: set KORVANE_TEST_PORT (see scripts/wine-test.sh)";
        }
        return false;
    }
    return backend->Start(&errorText);
}

std::string TestDevice::PortPath() const {
    return backend == nullptr ? "" : backend->Port();
}

uint8_t TestDevice::PortNumber() const {
    const std::string port = PortPath();
    if (port.size() < 4 || port.compare(0, 3, "COM") != 0) {
        return 0;
    }
    char* end = nullptr;
    const long number = std::strtol(port.c_str() + 3, &end, 10);
    return *end == '\0' && number > 0 && number <= 255 ? static_cast<uint8_t>(number) : 0;
}

bool TestDevice::OpenOn(SerialPort& port) const {
    constexpr uint32_t kBaudRate = 115200;
    const uint8_t number = PortNumber();
    return number != 0 ? port.Open(number, kBaudRate) : port.OpenDevice(PortPath(), kBaudRate);
}

devsim::DeviceSnapshot TestDevice::Snapshot() const {
    EXPECT_NE(backend, nullptr) << errorText;
    return backend == nullptr ? devsim::DeviceSnapshot{} : backend->Snapshot();
}

void TestDevice::ClearReceived() {
    if (backend != nullptr) {
        backend->ClearReceived();
    }
}

void TestDevice::PutIn() {
    if (backend != nullptr) {
        backend->PutIn();
    }
}

void TestDevice::TakeOut() {
    if (backend != nullptr) {
        backend->TakeOut();
    }
}

}  // namespace korvane::testing
