// A station's watch (korvane-flash --watch) over simulated fixtures: what 8 empty fixtures
// cost while they are probed, how long a device put in waits for its run, and with a new
// device always waiting, the share of the wall time the fixture's line is busy flashing.
//
//   bench_station [seconds]      (default 60: how long the empty fixtures are watched)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "devsim/pty_simulator.h"
#include "platform/ticks.h"
#include "sample_package.h"
#include "support/child_process.h"

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kBaud = 115200;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::unique_ptr<devsim::PtySimulator>> EmptyFixtures(int count) {
    std::vector<std::unique_ptr<devsim::PtySimulator>> fixtures;
    for (int i = 0; i < count; ++i) {
        fixtures.push_back(std::make_unique<devsim::PtySimulator>(devsim::DeviceFaults{}, kBaud));
        fixtures.back()->TakeOut();
        if (!fixtures.back()->Start()) {
            std::exit(1);
        }
    }
    return fixtures;
}

std::unique_ptr<testing::ChildProcess> Watch(
    const std::vector<std::unique_ptr<devsim::PtySimulator>>& fixtures,
    const std::string& package) {
    std::vector<std::string> args = {"--watch", "--json"};
    for (const auto& fixture : fixtures) {
        args.push_back("--port");
        args.push_back(fixture->PortPath());
    }
    args.push_back(package);
    return std::make_unique<testing::ChildProcess>(KORVANE_FLASH_EXE, args);
}

// Where in the bytes a fixture received a command of these two bytes is first found; npos
// when it is not there yet.
size_t Find(const std::vector<uint8_t>& bytes, uint8_t first, uint8_t second) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == first && bytes[i + 1] == second) {
            return i;
        }
    }
    return std::string::npos;
}

// The run's first byte is its synchronisation after the probe that found the device: the
// probe ends with the memory reads of the device's identity, and none of the bytes those
// send is 0x7F.
bool RunStarted(const std::vector<uint8_t>& bytes) {
    const size_t identity = Find(bytes, 0x11, 0xEE);
    return identity != std::string::npos &&
           std::find(bytes.begin() + static_cast<std::ptrdiff_t>(identity), bytes.end(),
                     uint8_t{0x7F}) != bytes.end();
}

bool HasErase(const std::vector<uint8_t>& bytes) {
    return Find(bytes, 0x43, 0xBC) != std::string::npos;
}

void EmptyFixturesCost(const std::string& package, int seconds) {
    auto fixtures = EmptyFixtures(8);
    const double cpuBefore = bench::ChildrenCpuSeconds();
    const auto start = Clock::now();
    auto tool = Watch(fixtures, package);
    SleepMs(static_cast<uint32_t>(seconds) * 1000);
    tool->Signal(SIGINT);
    tool->ReadAll();
    tool->Wait();
    const double wall = Since(start);
    const double cpu = bench::ChildrenCpuSeconds() - cpuBefore;
    std::printf("8 empty fixtures probed for %.0f s: %.2f s processor, %.2f %% of one core\n", wall,
                cpu, 100.0 * cpu / wall);
}

void InsertionToRun(const std::string& package) {
    auto fixtures = EmptyFixtures(1);
    auto tool = Watch(fixtures, package);
    double worstRun = 0;
    double sumRun = 0;
    double worstErase = 0;
    double sumErase = 0;
    const int devices = 5;
    for (int i = 0; i < devices; ++i) {
        SleepMs(1700 + 230 * static_cast<uint32_t>(i));  // at another point of the probe cycle
        fixtures[0]->ClearReceived();
        const auto in = Clock::now();
        fixtures[0]->PutIn();
        while (!RunStarted(fixtures[0]->Received())) {
            SleepMs(1);
        }
        const double toRun = Since(in);
        while (!HasErase(fixtures[0]->Received())) {
            SleepMs(1);
        }
        const double toErase = Since(in);
        worstRun = std::max(worstRun, toRun);
        sumRun += toRun;
        worstErase = std::max(worstErase, toErase);
        sumErase += toErase;
        tool->ReadLine();  // its run's end
        fixtures[0]->TakeOut();
    }
    tool->Signal(SIGINT);
    tool->ReadAll();
    tool->Wait();
    std::printf(
        "a device put in (probed once a second) reaches its run's first byte after %.2f s on "
        "average, %.2f s at worst; its run's erase after %.2f s, %.2f s at worst\n",
        sumRun / devices, worstRun, sumErase / devices, worstErase);
}

void AlwaysWaiting(const std::string& package) {
    auto fixtures = EmptyFixtures(1);
    fixtures[0]->PutIn();
    auto tool = Watch(fixtures, package);
    const auto start = Clock::now();
    double busy = 0;
    int devices = 0;
    // Between one device's end and the next one's run: the probe that finds it.
    double between = 0;
    auto lastEnd = Clock::now();
    // Each device out as soon as it is done, and the next one in at once.
    while (Since(start) < 30) {
        const std::string line = tool->ReadLine();
        if (line.empty()) {
            break;  // the tool has ended
        }
        std::smatch seconds;
        if (std::regex_search(line, seconds, std::regex("\"seconds\":([0-9.]+)"))) {
            const double run = std::stod(seconds[1]);
            if (devices > 0) {
                between += Since(lastEnd) - run;
            }
            lastEnd = Clock::now();
            busy += run;
            ++devices;
        }
        fixtures[0]->PutIn();
    }
    const double wall = Since(start);
    tool->Signal(SIGINT);
    tool->ReadAll();
    tool->Wait();
    std::printf(
        "with a device always waiting: %d devices in %.1f s, the line busy flashing %.2f of the "
        "time; %.0f ms from one device's end to the next one's run\n",
        devices, wall, busy / wall, devices > 1 ? 1000.0 * between / (devices - 1) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const bench::ScratchStation scratch;
    if (!scratch.ok()) {
        return 1;
    }
    EmptyFixturesCost(scratch.package, seconds);
    InsertionToRun(scratch.package);
    AlwaysWaiting(scratch.package);
    return 0;
}
