// The drivers tier's bench: one guest machine booted for all the tier's tests, a simulated
// device at the far end of each of its serial ports, fed with the modem lines that QEMU's
// trace shows the guest's driver setting, and the product's programs run in the guest.
//
// The guest's kernel and initramfs come from the environment, as scripts/drivers-test.sh
// makes them: KORVANE_GUEST_KERNEL (an uncompressed kernel image) and
// KORVANE_GUEST_INITRAMFS.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/pty_simulator.h"
#include "drivers/guest_machine.h"
#include "drivers/line_trace.h"

namespace korvane::testing {

// Bytes a device received, and when (the host's wall clock).
struct Received {
    double time;
    std::vector<uint8_t> bytes;
};

class DriverBench {
public:
    // The bench, booted on first use; Ready() says whether it could be.
    static DriverBench& Get();
    // Powers the guest off (at the end of the test program).
    static void TearDown();

    bool Ready() const { return ready; }
    const std::string& ErrorText() const { return errorText; }

    devsim::PtySimulator& Device(GuestPort port) {
        return port == GuestPort::kFtdi ? ftdiDevice : uartDevice;
    }
    // The device path in the guest: /dev/ttyUSB0 or /dev/ttyS1.
    static std::string PortPath(GuestPort port);

    // A fresh device in the port's fixture, with these faults, minding its reset lines
    // wired so.
    void PutInDevice(GuestPort port, const devsim::ResetWiring& wiring = {},
                     const devsim::DeviceFaults& faults = {});

    // Runs a shell command in the guest with the home (profile, journal) named, a folder
    // of its own under /run/home. Shown on the timeline with its output.
    GuestMachine::Result Run(const std::string& home, const std::string& command,
                             uint32_t timeoutMs = 60000);
    // The same for korvane-flash with these arguments.
    GuestMachine::Result Flash(const std::string& home, const std::vector<std::string>& args,
                               uint32_t timeoutMs = 60000);
    // Gives the home this profile.
    bool WriteProfile(const std::string& home, const std::string& text);

    // The trace's events and the bytes each device received, from a time on (read up to
    // now first).
    std::vector<LineEvent> EventsFrom(double from, GuestPort port);
    std::vector<Received> ReceivedFrom(double from, GuestPort port);
    std::string TimelineFrom(double from) const { return timeline.TextFrom(from); }
    void Note(const std::string& what) { timeline.Add(WallNow(), "harness", what); }

    // The FTDI adapter pulled out, and put back in until /dev/ttyUSB0 is there again: the
    // same name, which a driver gives it only when nothing holds the old one open.
    bool PullOutAdapter();
    bool PutBackAdapter();
    // Puts the adapter back if a test left it out.
    bool AdapterIn() { return !adapterOut || PutBackAdapter(); }

    // The host folder the guest sees as /run/korvane.
    const std::string& Folder() const { return folder; }
    // The sample package (scripts/sample_package.sh) and the folder of its images, as
    // paths that the guest sees too.
    const std::string& Package() const { return package; }
    const std::string& PackageImages() const { return packageImages; }

    // Quotes a word for the guest's shell.
    static std::string Quoted(const std::string& word);

private:
    DriverBench();
    bool Boot();
    void Observe(GuestPort port, const uint8_t* bytes, size_t count);

    // Waits in the guest for /dev/ttyUSB0; false when it does not come within 10 s.
    bool WaitForAdapter();

    bool ready = false;
    bool adapterOut = false;
    std::string errorText;
    std::string folder;
    std::string sockets;
    std::string package;
    std::string packageImages;
    Timeline timeline;
    devsim::PtySimulator ftdiDevice;
    devsim::PtySimulator uartDevice;
    LineTrace trace;
    GuestMachine guest;
    std::mutex receivedMutex;
    std::map<GuestPort, std::vector<Received>> received;
};

}  // namespace korvane::testing
