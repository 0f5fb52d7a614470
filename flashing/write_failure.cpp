#include "flashing/write_failure.h"

#include <cstdio>

namespace korvane {

namespace {

std::string Hex(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", address);
    return text;
}

// The request in words, as the object of a sentence.
std::string RequestText(const WriteFailure& failure) {
    const std::string& entry = failure.entry;
    switch (failure.request) {
        case FailedRequest::kErase:
            return "the flash erase before " + entry;
        case FailedRequest::kLoaderWrite:
        case FailedRequest::kFirmwareWrite:
            return "a write at " + Hex(failure.where) + " of " + entry;
        case FailedRequest::kFirmwareStart:
        case FailedRequest::kDataStart:
            return "the start of " + entry;
        case FailedRequest::kSerialRecord:
            return "the serial record at " + Hex(failure.where) + " after " + entry;
        case FailedRequest::kDataBlock:
            return "block " + std::to_string(failure.where) + " of " + entry;
        case FailedRequest::kClosing:
            return "the closing request after " + entry;
        case FailedRequest::kNone:
        case FailedRequest::kEntryNotWhole:
            break;
    }
    return entry;
}

}  // namespace

std::string WriteFailure::Text() const {
    if (request == FailedRequest::kEntryNotWhole) {
        return "the package does not hold the whole of " + entry +
               " (a damaged or truncated copy, or a file changed during the run)";
    }
    const std::string what = RequestText(*this);
    switch (cause) {
        case FailureCause::kRefused:
            return "the loader refused " + what;
        case FailureCause::kNack:
            return "NACK to " + what;
        case FailureCause::kSilence:
            return "no reply within " + std::to_string(waitedMs) + " ms to " + what;
        case FailureCause::kBadChecksum:
            return "a reply with a bad checksum to " + what;
        case FailureCause::kFlood:
            return "the device talked without stopping after " + what;
        case FailureCause::kNoStatus:
            return "a reply without a status to " + what;
    }
    return what;
}

const char* WriteFailure::Code() const {
    if (request == FailedRequest::kEntryNotWhole) {
        return "package-damaged";
    }
    switch (cause) {
        case FailureCause::kRefused:
        case FailureCause::kNack:
            return request == FailedRequest::kClosing ? "closing-refused"
                   : request == FailedRequest::kErase ? "erase-refused"
                                                      : "write-refused";
        case FailureCause::kSilence:
        case FailureCause::kNoStatus:
            return "no-reply";
        case FailureCause::kBadChecksum:
            return "bad-checksum";
        case FailureCause::kFlood:
            return "line-flooded";
    }
    return "write-failed";
}

}  // namespace korvane
