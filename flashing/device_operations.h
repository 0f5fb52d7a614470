// What is done with a device short of flashing it: connecting (open the port, reset it
// into its bootloader by the fixture's wiring, synchronise, read its identity and its
// electronic signature), asking what it says of itself, and lifting its read protection.
// The flash run, a fixture's probe and the service bench's commands all go through these,
// so that a device is met the same way whoever asks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "flashing/flash_run.h"
#include "link/device_link.h"

namespace korvane {

// How far connecting came.
enum class Contact {
    kPortNotOpened,
    kNoBootloader,  // the port opened, and no bootloader answered; the port is closed again
    kConnected,     // a bootloader answered and told its identity
};

// What came of reading the chip's electronic signature once connected.
enum class SignatureRead {
    kNotOffered,  // the bootloader does not list Read Memory: nothing was asked
    kRead,        // the flash size and the unique ID came
    kProtected,   // refused: the chip's flash is read-protected
    kFlooded,     // the line talked without stopping instead of answering
    kUnanswered,  // a bootloader that lists Read Memory did not answer it
};

struct ConnectOptions {
    FixtureWiring wiring;
    // Tries the other common wirings when this one brings no bootloader, and keeps the one
    // that answered.
    bool tryWirings = false;
    // How long the synchronisation waits for an answer, when not the port's own read window
    // (a probe's short one); the port's window is restored afterwards.
    std::optional<uint32_t> syncWindowMs;
    // Called once the port is open, before the device is reset (a front end reads what the
    // driver made of the port).
    std::function<void()> opened;
};

// What connecting found.
struct DeviceContact {
    Contact contact = Contact::kPortNotOpened;
    OpenFailure openFailure = OpenFailure::kNone;  // why the port did not open
    bool flooded = false;                 // no bootloader: the line talked without stopping instead
    std::optional<FixtureWiring> wiring;  // with tryWirings: the wiring that answered
    BootloaderIdentity identity;
    SignatureRead signatureRead = SignatureRead::kNotOffered;
    std::optional<DeviceSignature> signature;  // when it was read

    bool Connected() const { return contact == Contact::kConnected; }
    bool ReadProtected() const { return signatureRead == SignatureRead::kProtected; }
};

// Opens the device's port, resets the device into its bootloader, synchronises and reads
// its identity, then its electronic signature when the bootloader offers Read Memory. The
// port stays open once a bootloader answered, and is closed when none did.
DeviceContact ConnectToDevice(DeviceLink& link, const std::string& device,
                              const ConnectOptions& options);

// The outcome code of a port that did not open for this reason ("port-missing",
// "port-busy", ...), as a run's outcome gives it.
const char* OpenFailureCode(OpenFailure failure);

// The outcome code of a contact: "ok" once a bootloader answered, otherwise why not.
const char* ContactCode(const DeviceContact& contact);

// What the device on one port says of itself.
struct DeviceFacts {
    PortChoice port;
    DeviceContact contact;
    std::string problem;  // why nothing could be learnt

    bool Answered() const { return contact.Connected(); }
};

// Connects as ConnectToDevice does and says, in words, why nothing could be learnt.
DeviceFacts IdentifyDevice(DeviceLink& link, const PortChoice& port, const ConnectOptions& options);

// How lifting the read protection of one device went.
struct UnprotectOutcome {
    DeviceFacts before;  // what the device said of itself first
    // The readout unprotect went to the device (it answered and was protected).
    bool sent = false;
    bool cleared = false;  // its read protection is off now (or was already)
    std::string uid;       // the chip's unique ID, when it could be read
    std::string said;      // how it went, in a sentence
};

// Lifts the read protection of the device on port, which erases its whole flash, and reads
// the device again to see it off. A device that is not protected is left as it is: the
// readout unprotect would erase its flash for nothing.
UnprotectOutcome UnprotectDevice(DeviceLink& link, const PortChoice& port,
                                 const FixtureWiring& wiring);

}  // namespace korvane
