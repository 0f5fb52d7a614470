// How fast the link and the engine are: per-exchange latency and processor time of one
// service request over a pseudo-terminal, and a whole package flashed over a line paced
// at 115200 baud, against the time the bytes alone need on such a line; then the same
// package with the loader read back (--verify), and what that adds; and a 32 KiB
// firmware whose answers come 16 ms late (a USB adapter's default latency timer) against
// 1 ms.
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

// Keeps only the last status, for a run that fails.
class QuietFeedback : public OperatorFeedback {
public:
    void ShowStatus(const std::string& text) override { last = text; }
    std::string last;
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

struct Timed {
    double wall = 0;
    double cpu = 0;
};

// One whole run of the package at path over a simulated device with faults, on a line
// paced at baud; the simulator is handed to inspect once the run has succeeded.
template <typename Inspect>
Timed TimedRun(const std::string& path, const devsim::DeviceFaults& faults, uint32_t baud,
               bool verifyLoader, Inspect inspect) {
    devsim::PtySimulator device(faults, baud);
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
    Timed timed;
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    const RunResult result = run.Run(request, numbers).result;
    timed.wall = Since(start);
    timed.cpu = CpuSeconds() - cpu;
    if (result != RunResult::kSucceeded) {
        std::fprintf(stderr, "the run of %s failed: %s\n", path.c_str(), feedback.last.c_str());
        std::exit(1);
    }
    inspect(device);
    return timed;
}

// A package of images written to a scratch file; its path. The benchmark ends when it
// cannot be written.
std::string ScratchPackage(const std::vector<PackageImage>& images, size_t& size) {
    const std::string path = "/tmp/korvane-bench-" + std::to_string(getpid()) + ".bin";
    if (!bench::WritePackage(path, images, size)) {
        std::fprintf(stderr, "the package could not be written to %s\n", path.c_str());
        std::exit(1);
    }
    return path;
}

// One whole run of the sample package over a line paced at 115200 baud; its wall time.
double PacedPackage(bool verifyLoader) {
    size_t size = 0;
    const std::string path = ScratchPackage(bench::SampleImages(), size);
    const uint32_t baud = 115200;
    size_t sent = 0;
    size_t answers = 0;
    const Timed timed = TimedRun(path, {}, baud, verifyLoader, [&](devsim::PtySimulator& device) {
        // Bytes both ways: what the host sent, and the replies (6 bytes a service reply,
        // 1 to a few bytes a bootloader answer) counted as they came.
        sent = device.Received().size();
        answers = device.Inspect(
            [](const devsim::SimulatedDevice& d) { return d.Loader().Requests().size() * 6; });
    });
    std::remove(path.c_str());
    const double lineTime = static_cast<double>(sent + answers) * 11.0 / baud;
    // The fixed pauses of a run: the reset pulse (300 ms) and the loader start (200 ms).
    const double pauses = 0.5;
    if (verifyLoader) {
        // The bytes read back are not among those counted above: the time alone is shown.
        std::printf("package of %zu bytes at %u baud, loader read back: %.2f s, %.3f s processor\n",
                    size, baud, timed.wall, timed.cpu);
        return timed.wall;
    }
    std::printf(
        "package of %zu bytes at %u baud: %.2f s (%.2f s of it fixed pauses), line "
        "needs %.2f s for %zu bytes: %.0f%% of the line's speed, %.3f s processor\n",
        size, baud, timed.wall, pauses, lineTime, sent + answers,
        100.0 * lineTime / (timed.wall - pauses), timed.cpu);
    return timed.wall;
}

// A 32 KiB firmware (after a 4 KiB loader) over a line at 115200 baud whose far end
// answers each exchange only after delayMs, as a USB adapter's latency timer makes it; its
// wall time.
double DelayedAnswers(uint32_t delayMs) {
    size_t size = 0;
    const std::string path = ScratchPackage({{"DIAG.BIN", std::vector<uint8_t>(4096, 0x11)},
                                             {"MCU.BIN", std::vector<uint8_t>(32768, 0x5A)}},
                                            size);
    devsim::DeviceFaults faults;
    faults.answerDelayMs = delayMs;
    size_t requests = 0;
    const Timed timed = TimedRun(path, faults, 115200, false, [&](devsim::PtySimulator& device) {
        requests = device.Inspect(
            [](const devsim::SimulatedDevice& d) { return d.Loader().Requests().size(); });
    });
    std::remove(path.c_str());
    std::printf(
        "4 KiB loader and 32 KiB firmware, each answer %2u ms late: %.2f s (%zu service "
        "requests)\n",
        delayMs, timed.wall, requests);
    return timed.wall;
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
    // What a USB adapter's default latency timer costs, against the 1 ms it is lowered to.
    const double fast = DelayedAnswers(1);
    const double slow = DelayedAnswers(16);
    std::printf("a 16 ms latency timer adds %.2f s (%.0f%%) to that firmware\n", slow - fast,
                100.0 * (slow - fast) / fast);
    return 0;
}
