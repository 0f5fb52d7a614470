// The simulator's files: the state folder a test runner in another process reads and
// sends requests through, the report, the dumps, and the snapshots they are made from.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "devsim/device_report.h"
#include "devsim/pty_simulator.h"
#include "devsim/state_request.h"

namespace korvane::devsim {

namespace {
// How long the line must stay quiet before a request is served: bytes the host wrote
// just before asking may still be on their way through the terminal.
constexpr int kQuietLineMs = 2;
}  // namespace

bool PtySimulator::ServeRequest() {
    // Only the events' arrival matters: the request file itself says what to do.
    char events[4096];
    while (read(folderWatch, events, sizeof events) > 0) {
    }
    const std::string requestPath = stateFolder + "/" + kRequestName;
    std::ifstream file(requestPath);
    if (!file) {
        return true;
    }
    std::string action;
    file >> action;
    file.close();

    pollfd line{master, POLLIN, 0};
    while (poll(&line, 1, kQuietLineMs) > 0 && (line.revents & POLLIN) != 0) {
        if (!TakeInPending()) {
            return false;
        }
    }
    std::vector<uint32_t> staleBlocks;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (action == "reset") {
            for (const auto& block : device.Loader().DataBlocks()) {
                staleBlocks.push_back(block.first);
            }
            device = SimulatedDevice(faults);
            present = true;
        }
        if (action == "reset" || action == "clear-received") {
            received.clear();
        }
        if (action == "put-in") {
            NewDeviceIn(NewUniqueId());
        } else if (action == "take-out") {
            present = false;
        }
    }
    for (uint32_t number : staleBlocks) {
        std::remove((stateFolder + "/block-" + std::to_string(number) + ".bin").c_str());
    }
    if (!WriteStateFiles()) {
        std::fprintf(stderr, "korvane-devsim: cannot write into %s\n", stateFolder.c_str());
    }
    std::remove(requestPath.c_str());
    return true;
}

bool PtySimulator::WriteStateFiles() const {
    return WriteDeviceFiles(stateFolder, Snapshot());
}

std::vector<uint8_t> PtySimulator::FlashImage() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.Flash();
}

std::vector<uint8_t> PtySimulator::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

void PtySimulator::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex);
    received.clear();
}

bool PtySimulator::Started() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.Started();
}

int PtySimulator::EraseCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.EraseCount();
}

DeviceSnapshot PtySimulator::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return TakeSnapshot(device, received);
}

std::string PtySimulator::Report() const {
    std::lock_guard<std::mutex> lock(mutex);
    return DeviceReport(device);
}

bool PtySimulator::WriteReport() const {
    if (reportPath.empty()) {
        return true;
    }
    const std::string report = Report();
    // Written aside and renamed, so a reader never sees half a report.
    const std::string temporary = reportPath + ".part";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
    return std::fclose(file) == 0 && written &&
           std::rename(temporary.c_str(), reportPath.c_str()) == 0;
}

bool PtySimulator::DumpFlash(const std::string& path) const {
    const std::vector<uint8_t> image = FlashImage();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && written;
}

bool PtySimulator::DumpAll(const std::string& folder) const {
    return WriteDeviceFiles(folder, Snapshot());
}

}  // namespace korvane::devsim
