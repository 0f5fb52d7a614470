// TestDevice's in-process way: a simulator on a pseudo-terminal of its own.
#include "devsim/pty_simulator.h"
#include "support/test_device_backend.h"

namespace korvane::testing {

namespace {

class PtyBackend : public TestDevice::Backend {
public:
    PtyBackend(const devsim::DeviceFaults& faults, uint32_t baudRate)
        : simulator(faults, baudRate) {}

    bool Start(std::string* error) override {
        if (!simulator.Start()) {
            *error = simulator.ErrorText();
            return false;
        }
        return true;
    }
    std::string Port() const override { return simulator.PortPath(); }
    devsim::DeviceSnapshot Snapshot() const override { return simulator.Snapshot(); }
    void ClearReceived() override { simulator.ClearReceived(); }
    void PutIn() override { simulator.PutIn(); }
    void TakeOut() override { simulator.TakeOut(); }

private:
    devsim::PtySimulator simulator;
};

}  // namespace

std::unique_ptr<TestDevice::Backend> MakeInProcessBackend(const devsim::DeviceFaults& faults,
                                                          uint32_t baudRate) {
    return std::make_unique<PtyBackend>(faults, baudRate);
}

}  // namespace korvane::testing
