// The simulated device fed byte by byte from the host's side, from its ROM bootloader on:
// a stream that writes a loader and starts it goes on into the loader's frame parser.
//
// Input: a fault list line (korvane-devsim's fault names, blank- or comma-separated, may
// be empty), then the bytes the host sends.
#include <cstddef>
#include <cstdint>

#include "devsim/simulated_device.h"
#include "fuzz/fault_line.h"

namespace {

using namespace korvane::devsim;

// Counts what the device answers; pauses (a slow erase) take no time here.
class CountingOutput : public DeviceOutput {
public:
    void Send(const uint8_t* data, size_t length) override {
        FUZZ_CHECK(data != nullptr || length == 0);
        sent += length;
    }
    void Pause(uint32_t) override {}
    size_t sent = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DeviceFaults faults;
    if (!korvane::fuzz::TakeFaultLine(data, size, faults)) {
        return 0;
    }
    SimulatedDevice device(faults);
    CountingOutput out;
    for (size_t i = 0; i < size; ++i) {
        device.Receive(data[i], out);
    }
    FUZZ_CHECK(device.Flash().size() == size_t{faults.flashKib} * 1024);
    // A silent device answers nothing, whatever it is sent.
    FUZZ_CHECK(!faults.silent || out.sent == 0);
    return 0;
}
