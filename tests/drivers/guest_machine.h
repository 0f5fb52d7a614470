// A QEMU guest on Debian's own kernel (TCG, no KVM needed) whose two serial ports are real
// drivers over emulated hardware: an FTDI adapter on USB (ftdi_sio, /dev/ttyUSB0) and a
// 16550 (the 8250 driver, /dev/ttyS1). Each port's far end is a Unix socket that QEMU
// connects to (the devices listen there); the guest mounts the host's root read-only and
// runs the host's programs chrooted into it, one command at a time, through an agent on a
// virtio port. QEMU's trace of the ports goes to a file; the adapter can be pulled out
// and put back through QEMU's monitor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::testing {

class ChildProcess;

class GuestMachine {
public:
    struct Setup {
        std::string kernel;      // an uncompressed kernel image (vmlinux)
        std::string initramfs;   // tests/drivers/guest/build-initramfs.sh's
        std::string agent;       // the agent script, a path on the host
        std::string folder;      // the host folder the guest mounts at /run/korvane, writable
        std::string sockets;     // a folder for the Unix sockets (their paths are short)
        std::string ftdiSocket;  // where the FTDI adapter's far end listens
        std::string uartSocket;  // where the 16550's far end listens
        std::string trace;       // the trace file QEMU writes
    };
    struct Result {
        int status = -1;  // the command's exit status; -1 when it did not answer in time
        std::string output;
    };

    GuestMachine();
    ~GuestMachine();
    GuestMachine(const GuestMachine&) = delete;
    GuestMachine& operator=(const GuestMachine&) = delete;

    // Starts QEMU and waits for the agent. False, with ErrorText set, when it does not
    // come within timeoutMs.
    bool Boot(const Setup& setup, uint32_t timeoutMs);
    const std::string& ErrorText() const { return errorText; }

    // Runs a shell command in the guest (sh -c, in the host's root, as root) and waits for
    // its end, at most timeoutMs. Its standard output and error, together.
    Result Run(const std::string& command, uint32_t timeoutMs);

    // The adapter pulled out (QMP device_del), waiting for QEMU to say it is gone; and put
    // back in, on the same socket.
    bool PullOutAdapter(uint32_t timeoutMs);
    bool PutBackAdapter();
    // QEMU's answer to the last of them, for the timeline.
    const std::string& LastAnswer() const { return lastAnswer; }

    // Ends the agent and waits for the machine to power off; kills it otherwise.
    void PowerOff();

private:
    // Sends one monitor command and returns its answer (events before it are kept for
    // WaitForEvent); empty when none came within timeoutMs. A connection that fails before
    // its time is up (QEMU closed it, a send is refused) is made afresh and the command
    // sent once more, so that one lost connection does not fail every later test.
    std::string Monitor(const std::string& command, uint32_t timeoutMs);
    // One command on the connection as it is.
    std::string Ask(const std::string& command, uint32_t timeoutMs);
    // Connects to QEMU's monitor: its greeting, then the capabilities negotiation.
    bool ConnectMonitor();
    bool WaitForEvent(const std::string& name, uint32_t timeoutMs);
    // The next line from a socket, without its end; false when none within timeoutMs.
    static bool ReadLine(int fd, std::string& buffer, std::string& line, uint32_t timeoutMs);

    Setup setup;
    std::unique_ptr<ChildProcess> qemu;
    int agentListener = -1;
    int agent = -1;
    std::string agentBuffer;
    std::string monitorPath;
    int monitor = -1;
    std::string monitorBuffer;
    std::string monitorEvents;  // events read while waiting for an answer
    std::string lastAnswer;
    int commands = 0;
    std::string errorText;
};

}  // namespace korvane::testing
