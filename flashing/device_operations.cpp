#include "flashing/device_operations.h"

#include "platform/unique_id.h"

namespace korvane {

namespace {

SignatureRead ReadSignature(DeviceLink& link, std::optional<DeviceSignature>& signature) {
    // A bootloader that does not list Read Memory tells nothing more of the chip.
    if (!link.Identity().Lists(bootloader::kReadMemory)) {
        return SignatureRead::kNotOffered;
    }
    DeviceSignature read;
    switch (link.ReadElectronicSignature(&read)) {
        case MemoryRead::kRead:
            signature = read;
            return SignatureRead::kRead;
        case MemoryRead::kRefused:
            // Read protection: the part refuses every read, write, erase and Go.
            return SignatureRead::kProtected;
        case MemoryRead::kFlood:
            return SignatureRead::kFlooded;
        case MemoryRead::kSilence:
        case MemoryRead::kNotSent:
            break;
    }
    return SignatureRead::kUnanswered;
}

}  // namespace

const char* OpenFailureCode(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::kHeld:
            return "port-busy";
        case OpenFailure::kNoSuchDevice:
            return "port-missing";
        case OpenFailure::kPermissionDenied:
            return "port-denied";
        case OpenFailure::kNotASerialPort:
            return "not-a-serial-port";
        case OpenFailure::kOther:
        case OpenFailure::kNone:
            break;
    }
    return "port-unopened";
}

const char* ContactCode(const DeviceContact& contact) {
    switch (contact.contact) {
        case Contact::kConnected:
            return "ok";
        case Contact::kNoBootloader:
            return contact.flooded ? "line-flooded" : "no-bootloader";
        case Contact::kPortNotOpened:
            break;
    }
    return OpenFailureCode(contact.openFailure);
}

DeviceContact ConnectToDevice(DeviceLink& link, const std::string& device,
                              const ConnectOptions& options) {
    DeviceContact found;
    if (!link.OpenDevice(device, DeviceLink::kBaudRate)) {
        found.openFailure = link.LastOpenFailure();
        return found;
    }
    if (options.opened) {
        options.opened();
    }
    const uint32_t window = link.ReadWindowMs();
    bool answered = false;
    if (options.tryWirings) {
        found.wiring = link.FindWiring(options.wiring);
        answered = found.wiring.has_value();
    } else {
        link.ResetToBootloader(options.wiring);
        if (options.syncWindowMs) {
            link.SetReadWindowMs(*options.syncWindowMs);
        }
        answered = link.Sync();
    }
    if (answered) {
        found.contact = Contact::kConnected;
        found.identity = link.Identity();
        found.signatureRead = ReadSignature(link, found.signature);
    } else {
        found.contact = Contact::kNoBootloader;
        found.flooded = link.LastFailure() == LinkFailure::kFlood;
    }
    link.SetReadWindowMs(window);
    if (!answered) {
        link.Close();
    }
    return found;
}

DeviceFacts IdentifyDevice(DeviceLink& link, const PortChoice& port,
                           const ConnectOptions& options) {
    DeviceFacts facts;
    facts.port = port;
    facts.contact = ConnectToDevice(link, port.device, options);
    switch (facts.contact.contact) {
        case Contact::kPortNotOpened:
            facts.problem = "cannot open the serial port " + PortShown(port) + ": " +
                            (link.OpenError().empty() ? "it is in use" : link.OpenError());
            break;
        case Contact::kNoBootloader:
            facts.problem = facts.contact.flooded
                                ? "the device on " + port.device + " talked without stopping"
                            : options.tryWirings ? "no bootloader answered on " + PortShown(port) +
                                                       " with any of the common wirings"
                                                 : "no bootloader answered on " + PortShown(port);
            break;
        case Contact::kConnected:
            break;
    }
    return facts;
}

UnprotectOutcome UnprotectDevice(DeviceLink& link, const PortChoice& port,
                                 const FixtureWiring& wiring) {
    ConnectOptions options;
    options.wiring = wiring;
    UnprotectOutcome outcome;
    const DeviceFacts& before = outcome.before = IdentifyDevice(link, port, options);
    if (!before.Answered()) {
        outcome.said = before.problem;
        return outcome;
    }
    const std::optional<DeviceSignature>& first = before.contact.signature;
    // Memory that could be read is not protected: there is nothing to lift, and the
    // readout unprotect would erase the flash for nothing.
    if (!before.contact.ReadProtected() && first) {
        outcome.cleared = true;
        outcome.uid = UniqueIdText(first->uid);
        outcome.said =
            "read protection was already off; nothing was erased (chip " + outcome.uid + ")";
        return outcome;
    }
    outcome.sent = true;
    const UnprotectResult result = link.ReadoutUnprotect();
    // The part resets itself once it has erased its flash: a new conversation.
    link.ResetToBootloader(wiring);
    const DeviceFacts now = result == UnprotectResult::kUnprotected
                                ? IdentifyDevice(link, port, options)
                                : DeviceFacts{};
    outcome.cleared =
        result == UnprotectResult::kUnprotected && now.Answered() && !now.contact.ReadProtected();
    const std::optional<DeviceSignature>& after = now.contact.signature;
    outcome.uid = after ? UniqueIdText(after->uid) : first ? UniqueIdText(first->uid) : "";
    const std::string chip = outcome.uid.empty() ? std::string() : " (chip " + outcome.uid + ")";
    outcome.said = outcome.cleared ? "read protection is off; the flash is erased" + chip
                   : result == UnprotectResult::kRefused
                       ? "the bootloader refused the readout unprotect"
                       : "the device did not finish the readout unprotect";
    return outcome;
}

}  // namespace korvane
