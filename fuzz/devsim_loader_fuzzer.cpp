// The simulated loader firmware's frame parser fed byte by byte: whatever arrives, every
// request it answers gets exactly one reply that the host's reply scanner takes in, with
// the status the loader logged, through noise and damaged first copies alike.
//
// Input: a fault list line (korvane-devsim's fault names, blank- or comma-separated, may
// be empty), then the bytes the host sends after starting the loader.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devsim/loader_firmware.h"
#include "fuzz/fault_line.h"
#include "link/service_frame.h"

namespace {

using namespace korvane::devsim;

constexpr uint8_t kNotAnswered = 0xFF;
// The scanner takes in every reply byte. Replies a few blocks long show all there is to
// see; the longest the fault allows (65535 bytes, twice with a damaged first copy) would
// only make one input take seconds.
constexpr uint16_t kMaxExtraPayload = 2048;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DeviceFaults faults;
    if (!korvane::fuzz::TakeFaultLine(data, size, faults) ||
        faults.loader.extraPayload > kMaxExtraPayload) {
        return 0;
    }
    LoaderFirmware loader(faults.loader);
    uint8_t status[1];
    korvane::ReplyScanner scanner(status, sizeof status);
    std::vector<uint8_t> statuses;
    const LoaderFirmware::Send send = [&](const std::vector<uint8_t>& bytes) {
        for (uint8_t byte : bytes) {
            if (scanner.Feed(byte)) {
                FUZZ_CHECK(scanner.PayloadLength() == 1u + faults.loader.extraPayload);
                statuses.push_back(status[0]);
            }
        }
    };
    for (size_t i = 0; i < size; ++i) {
        // A synchronisation byte between frames would hand the line back to the ROM
        // bootloader; here the loader simply goes on.
        loader.Receive(data[i], send);
    }
    std::vector<uint8_t> answered;
    for (const SeenRequest& request : loader.Requests()) {
        if (request.status != kNotAnswered) {
            answered.push_back(request.status);
        }
    }
    FUZZ_CHECK(statuses == answered);
    return 0;
}
