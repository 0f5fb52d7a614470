// How a TestDevice reaches its simulator; one implementation per way.
#pragma once

#include <memory>
#include <string>

#include "support/test_device.h"

namespace korvane::testing {

class TestDevice::Backend {
public:
    virtual ~Backend() = default;
    virtual bool Start(std::string* error) = 0;
    virtual std::string Port() const = 0;
    virtual devsim::DeviceSnapshot Snapshot() const = 0;
    virtual void ClearReceived() = 0;
    // A new device into the fixture (a new unique ID), or the one there out of it.
    virtual void PutIn() = 0;
    virtual void TakeOut() = 0;
};

// A simulator on a pseudo-terminal in this process; null where there are none.
std::unique_ptr<TestDevice::Backend> MakeInProcessBackend(const devsim::DeviceFaults& faults,
                                                          uint32_t baudRate);

}  // namespace korvane::testing
