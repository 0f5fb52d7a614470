// Many ports at once at the speed of the line: N simulated devices, each on its own
// pseudo-terminal paced at 115200 baud, flashed by one korvane-flash with N ports. For
// every port, its time against what its own bytes need on such a line; the tool's
// processor time against the wall time, and the write system calls it made per device.
//
//   bench_many_ports [ports...]      (default: 1 8 16)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "devsim/pty_simulator.h"
#include "sample_package.h"
#include "support/child_process.h"
#include "support/write_calls.h"

using namespace korvane;

namespace {

constexpr uint32_t kBaud = 115200;
// The fixed pauses of a run: the reset pulse (300 ms) and the loader start (200 ms).
constexpr double kPauses = 0.5;

void Ports(int count, const std::string& package) {
    std::vector<std::unique_ptr<devsim::PtySimulator>> devices;
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<devsim::PtySimulator>(devsim::DeviceFaults{}, kBaud));
        if (!devices.back()->Start()) {
            std::exit(1);
        }
        args.push_back("--port");
        args.push_back(devices.back()->PortPath());
    }
    args.push_back("--json");
    args.push_back(package);
    const double cpuBefore = bench::ChildrenCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    testing::ChildProcess tool(KORVANE_FLASH_EXE, args);
    std::vector<std::string> lines;
    for (std::string line; !(line = tool.ReadLine()).empty();) {
        lines.push_back(line);
    }
    const long writes = testing::WriteCalls("/proc/" + std::to_string(tool.Pid()) + "/io");
    const int status = tool.Wait();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = bench::ChildrenCpuSeconds() - cpuBefore;
    double worst = 0;
    for (const std::string& line : lines) {
        std::smatch port;
        std::smatch seconds;
        if (!std::regex_search(line, port, std::regex("\"port\":\"([^\"]+)\"")) ||
            !std::regex_search(line, seconds, std::regex("\"seconds\":([0-9.]+)"))) {
            continue;
        }
        for (const auto& device : devices) {
            if (device->PortPath() != port[1]) {
                continue;
            }
            // Bytes both ways: what the host sent, and the replies as they came.
            const size_t bytes =
                device->Received().size() + device->Inspect([](const devsim::SimulatedDevice& d) {
                    return d.Loader().Requests().size() * 6;
                });
            const double lineTime = static_cast<double>(bytes) * 11.0 / kBaud;
            worst = std::max(worst, (std::stod(seconds[1]) - kPauses) / lineTime);
        }
    }
    std::printf(
        "%2d ports at %u baud: %zu of %d succeeded (exit %d), slowest port %.3f x its "
        "line time, tool processor %.2f s of %.2f s wall (%.1f %%), %.3f s processor and %ld "
        "write calls per device\n",
        count, kBaud, lines.size(), count, status, worst, cpu, wall, 100.0 * cpu / wall,
        cpu / count, writes < 0 ? -1 : writes / count);
}

// What the tool costs without a device to flash: its start (its libraries, the profile,
// the package read and checked, the journal) and a run that finds nothing answering.
// This is spent once per start of the tool, not once per device.
void StartCost(const std::string& package) {
    devsim::DeviceFaults silent;
    silent.silent = true;
    devsim::PtySimulator nobody(silent, kBaud);
    if (!nobody.Start()) {
        std::exit(1);
    }
    const double cpuBefore = bench::ChildrenCpuSeconds();
    testing::ChildProcess tool(KORVANE_FLASH_EXE, {"--port", nobody.PortPath(), package}, true);
    tool.ReadAll();
    tool.Wait();
    std::printf("the tool's start and a run that no device answers: %.3f s processor\n",
                bench::ChildrenCpuSeconds() - cpuBefore);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::ScratchStation scratch;
    if (!scratch.ok()) {
        return 1;
    }
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {1, 8, 16};
    }
    StartCost(scratch.package);
    for (const int count : counts) {
        Ports(count, scratch.package);
    }
    return 0;
}
