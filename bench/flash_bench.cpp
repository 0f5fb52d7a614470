// How fast the link and the engine are: per-exchange latency and processor time of one
// service request over a pseudo-terminal, and a whole package flashed over a line paced
// at 115200 baud, against the time the bytes alone need on such a line; then the same
// package with the loader read back (--verify), and what that adds.
//
//   build/plain/bench/bench_flash [exchanges]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "devsim/pty_simulator.h"
#include "flashing/flash_run.h"
#include "link/device_link.h"
#include "link/service_frame.h"
#include "platform/ticks.h"
#include "sample_package.h"

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class QuietFeedback : public OperatorFeedback {
public:
    void ShowStatus(const std::string&) override {}
    void Progress(int) override {}
    void EnableCommands(bool) override {}
    void ShowSequenceNumber(int) override {}
};

// Brings a device into its loader: sync, erase, a small loader image, Go; then, as a run
// does, the loader's start-up banner is let come and discarded.
bool StartLoader(DeviceLink& link) {
    const uint8_t loader[16] = {1, 2, 3, 4};
    if (!link.Sync() || !link.EraseAll() || !link.WriteMemory(0x08000000, loader, 16) ||
        !link.Go()) {
        return false;
    }
    SleepMs(FlashRun::kLoaderStartMs);
    link.PurgeReceive();
    return true;
}

void ExchangeLatency(int exchanges) {
    devsim::PtySimulator device;
    DeviceLink link;
    if (!device.Start() || !link.OpenDevice(device.PortPath(), 115200) || !StartLoader(link)) {
        std::fprintf(stderr, "cannot start the simulated loader\n");
        std::exit(1);
    }
    uint8_t block[service::kDataBlockBytes] = {};
    uint8_t reply[service::kWorkingBufferBytes];
    for (const uint16_t length : {uint16_t{0}, uint16_t{512}}) {
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        for (int i = 0; i < exchanges; ++i) {
            link.SendRequest(0, length ? 2 : 0, static_cast<uint32_t>(i), block, length);
            if (link.ReceiveReply(reply, sizeof reply) == 0) {
                std::fprintf(stderr, "exchange %d got no reply\n", i);
                std::exit(1);
            }
        }
        const double wall = Since(start);
        std::printf("exchange, %3u data bytes, unpaced:  %8.1f us each, %8.1f us processor each\n",
                    length, wall / exchanges * 1e6, (CpuSeconds() - cpu) / exchanges * 1e6);
    }
}

// Sync on a line nobody answers: how long it waits, and what the wait costs.
void SilentSync() {
    devsim::DeviceFaults faults;
    faults.silent = true;
    devsim::PtySimulator device(faults);
    DeviceLink link;
    if (!device.Start() || !link.OpenDevice(device.PortPath(), 115200)) {
        std::exit(1);
    }
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    const bool synced = link.Sync();
    std::printf("sync with no answer: %s after %.0f ms, %.1f ms processor\n",
                synced ? "succeeded" : "failed", Since(start) * 1e3, (CpuSeconds() - cpu) * 1e3);
}

// One whole run of the sample package over a line paced at 115200 baud; its wall time.
double PacedPackage(bool verifyLoader) {
    const std::string path = "/tmp/korvane-bench-" + std::to_string(getpid()) + ".bin";
    size_t size = 0;
    if (!bench::WriteSamplePackage(path, size)) {
        std::fprintf(stderr, "the package could not be written to %s\n", path.c_str());
        std::exit(1);
    }

    const uint32_t baud = 115200;
    devsim::PtySimulator device({}, baud);
    if (!device.Start()) {
        std::exit(1);
    }
    DeviceLink link;
    QuietFeedback feedback;
    FlashRun run(link, feedback);
    FlashRequest request;
    request.packagePath = path;
    request.port = {device.PortPath(), device.PortPath()};
    request.verifyLoader = verifyLoader;
    CountedInMemory numbers(1);
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    const RunResult result = run.Run(request, numbers).result;
    const double wall = Since(start);
    const double cpuUsed = CpuSeconds() - cpu;
    std::remove(path.c_str());
    if (result != RunResult::kSucceeded) {
        std::fprintf(stderr, "the paced run failed\n");
        std::exit(1);
    }
    // Bytes both ways: what the host sent, and the replies (6 bytes a service reply,
    // 1 to a few bytes a bootloader answer) counted as they came.
    const size_t sent = device.Received().size();
    const size_t answers = device.Inspect(
        [](const devsim::SimulatedDevice& d) { return d.Loader().Requests().size() * 6; });
    const double lineTime = static_cast<double>(sent + answers) * 11.0 / baud;
    // The fixed pauses of a run: the reset pulse (300 ms) and the loader start (200 ms).
    const double pauses = 0.5;
    if (verifyLoader) {
        // The bytes read back are not among those counted above: the time alone is shown.
        std::printf("package of %zu bytes at %u baud, loader read back: %.2f s, %.3f s processor\n",
                    size, baud, wall, cpuUsed);
        return wall;
    }
    std::printf(
        "package of %zu bytes at %u baud: %.2f s (%.2f s of it fixed pauses), line "
        "needs %.2f s for %zu bytes: %.0f%% of the line's speed, %.3f s processor\n",
        size, baud, wall, pauses, lineTime, sent + answers, 100.0 * lineTime / (wall - pauses),
        cpuUsed);
    return wall;
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;
    ExchangeLatency(exchanges);
    SilentSync();
    const double plain = PacedPackage(false);
    const double verified = PacedPackage(true);
    std::printf("the loader's read-back (--verify) adds %.2f s (%.0f%%)\n", verified - plain,
                100.0 * (verified - plain) / plain);
    return 0;
}
