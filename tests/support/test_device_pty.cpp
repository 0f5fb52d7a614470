// TestDevice's in-process way: a simulator on a pseudo-terminal of its own.
#include "devsim/pty_simulator.h"
#include "support/test_device_backend.h"

namespace korvane::testing {

namespace {

class PtyBackend : public TestDevice::Backend {
public:
    explicit PtyBackend(const devsim::DeviceFaults& faults) : simulator(faults) {}

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

private:
    devsim::PtySimulator simulator;
};

}  // namespace

std::unique_ptr<TestDevice::Backend> MakeInProcessBackend(const devsim::DeviceFaults& faults) {
    return std::make_unique<PtyBackend>(faults);
}

}  // namespace korvane::testing
