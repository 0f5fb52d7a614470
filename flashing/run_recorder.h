// What a flash run tells the record it leaves behind: which device was flashed with
// what, the number it received, how each entry fared and how the run ended. A run that
// cannot be recorded does not start, so that no device goes unaccounted for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flashing/sequence_numbers.h"

namespace korvane {

struct RunStart {
    std::string port;         // as the operator named it: "COM1", or a device path
    std::string device;       // the device that stands for it
    std::string packagePath;  // as given
    // The package as the run read it, the very bytes it writes; null when it could not
    // be read. Valid during Begin.
    const std::vector<uint8_t>* packageBytes = nullptr;
    std::string signer{};         // the key ID of its signature, when it had one
    std::string signedComment{};  // the signature's trusted comment, once checked
};

// The latest earlier record of a chip that was given a number.
struct EarlierRun {
    int sequenceNumber = 0;
    std::string serial;  // its 13 characters
    std::string station;
    std::string started;  // UTC, ISO 8601
};

struct EntryResult {
    std::string name;
    std::string kind;  // the writer that took it: loader, firmware or data
    uint64_t bytesSent = 0;
    bool succeeded = false;
};

// How a run ended, as its record keeps it.
struct RunEnd {
    bool succeeded = false;
    std::string status;  // the last status line the operator saw
    std::string code;    // the outcome's code ("ok", "write-refused", ...)
    std::string reason;  // why, with its facts; empty when the status line says all
};

class RunRecorder {
public:
    virtual ~RunRecorder() = default;

    // Before the device is touched. False (why set) keeps the run from starting.
    virtual bool Begin(const RunStart& start, std::string& why) = 0;
    // Once the chip's signature has been read: its unique ID (24 hexadecimal digits) and
    // flash size, kept with the record at once.
    virtual void DeviceIdentified(const std::string& uid, int flashKib) = 0;
    // The latest earlier record of the chip that was given a number, if any.
    virtual std::optional<EarlierRun> EarlierRunOf(const std::string& uid) = 0;
    // Before the serial record with this number goes out: kAccepted once the record of the
    // run holds the number and the serial text, and no other device's does. Otherwise (why
    // set, in words for the operator) the record is not sent, so that no device holds a
    // number the journal does not know, nor one another device holds.
    virtual NumberVerdict RecordNumber(int sequenceNumber, const std::string& serialText,
                                       std::string& why) = 0;
    virtual void EntryEnded(const EntryResult& entry) = 0;
    // However the run ended. Why the record could not be completed, for the operator;
    // empty when it was.
    virtual std::string End(const RunEnd& end) = 0;
    // What the station must be told at once, whichever run found it (a sequence number
    // found given to two devices); each alert is given once.
    virtual std::vector<std::string> TakeAlerts() { return {}; }
};

}  // namespace korvane
