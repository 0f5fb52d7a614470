// How a flash run ended, in the words every front end shows.
#include "flashing/flash_run.h"

#include "platform/unique_id.h"

namespace korvane {

RunOutcome FlashRun::OutcomeOf(RunResult result, const PortChoice& port) const {
    RunOutcome outcome;
    outcome.result = result;
    outcome.status = shown.Text();
    outcome.reason = ReasonFor(result, port);
    outcome.code = CodeFor(result);
    outcome.reasonIsTheNumbers = !outcome.reason.empty() && outcome.reason == numberUse.problem;
    if (!outcome.reason.empty()) {
        outcome.advice = result == RunResult::kPortNotOpened &&
                                 link.LastOpenFailure() == OpenFailure::kNoSuchDevice
                             ? Advice::kListPorts
                             : advice;
    }
    if (!completionProblem.empty()) {
        outcome.notes.push_back(completionProblem);
    }
    if (link.ParityRefused()) {
        outcome.notes.push_back("the serial port " + PortShown(port) +
                                " does not take even parity, which the device's bootloader "
                                "needs; the device may not answer");
    }
    if (!reworkNote.empty()) {
        outcome.notes.push_back(reworkNote);
    }
    outcome.alerts = alerts;
    outcome.signer = trust.Signer();
    outcome.signedComment = trust.SignedComment();
    outcome.signature = trust.Text();
    if (signature) {
        outcome.uid = UniqueIdText(signature->uid);
        outcome.flashKib = signature->flashKib;
    }
    if (numberUse.recorded) {
        outcome.number = numberUse.recorded;
        outcome.serial = SerialNumberText(*numberUse.recorded, recordDate);
    }
    return outcome;
}

std::string FlashRun::ReasonFor(RunResult result, const PortChoice& port) const {
    const std::string& device = port.device;
    if (link.LineGone() && (result == RunResult::kNotConnected || result == RunResult::kFailed ||
                            result == RunResult::kReadProtected)) {
        return "the adapter of " + PortShown(port) + " went away";
    }
    switch (result) {
        case RunResult::kPortNotOpened:
            switch (link.LastOpenFailure()) {
                case OpenFailure::kHeld:
                    return link.Holder().empty() ? "it is in use by another program"
                                                 : "it is held by " + link.Holder();
                case OpenFailure::kNotASerialPort:
                    return device + " is not a serial port";
                case OpenFailure::kNoSuchDevice:
                    return "there is no device " + device;
                case OpenFailure::kPermissionDenied:
                    if (!link.DeviceGroup().empty()) {
                        const std::string& group = link.DeviceGroup();
                        return "this user may not open " + device + " (" + link.OpenError() +
                               "): it is for the group " + group + "; join it (sudo usermod -aG " +
                               group + " $USER) and log in again";
                    }
                    return "this user may not open " + device + " (" + link.OpenError() + ")";
                case OpenFailure::kOther:
                    return link.OpenError();
                case OpenFailure::kNone:
                    return {};
            }
            return {};
        case RunResult::kNotConnected:
            return lineFlooded ? "the device on " + device +
                                     " talked without stopping, and no bootloader answer came "
                                     "through it (a broken board, a wrong baud rate, noise on "
                                     "the line)"
                               : std::string();
        case RunResult::kReadProtected:
        case RunResult::kReworkRefused:
        case RunResult::kChipElsewhere:
        case RunResult::kNotAPackage:
            return refusal;
        case RunResult::kSucceeded:
        case RunResult::kFailed:
            if (!refusal.empty()) {
                return refusal;
            }
            if (lineFlooded) {
                return "the device on " + device +
                       " talked without stopping, so nothing more was sent to it (a broken "
                       "board, a wrong baud rate, noise on the line)";
            }
            return numberUse.problem;
        case RunResult::kNotRecorded:
            return notRecorded;
        case RunResult::kNumberUnavailable:
            return numberUse.problem;
        case RunResult::kBadSequenceNumber:
        case RunResult::kFileNotOpened:
        case RunResult::kPackageRefused:
        case RunResult::kBusy:
        case RunResult::kInterrupted:
            break;
    }
    return {};
}

const char* ResultCode(RunResult result) {
    switch (result) {
        case RunResult::kSucceeded:
            return "ok";
        case RunResult::kFailed:
            return "write-failed";
        case RunResult::kBadSequenceNumber:
            return "bad-number";
        case RunResult::kPortNotOpened:
            return "port-unopened";
        case RunResult::kNotConnected:
            return "no-bootloader";
        case RunResult::kFileNotOpened:
            return "package-unreadable";
        case RunResult::kPackageRefused:
            return "package-refused";
        case RunResult::kNotAPackage:
            return "not-a-package";
        case RunResult::kBusy:
            return "busy";
        case RunResult::kNumberUnavailable:
            return "number-unavailable";
        case RunResult::kNotRecorded:
            return "journal-unreachable";
        case RunResult::kInterrupted:
            return "interrupted";
        case RunResult::kReadProtected:
            return "read-protected";
        case RunResult::kReworkRefused:
            return "rework-refused";
        case RunResult::kChipElsewhere:
            return "chip-elsewhere";
    }
    return "write-failed";
}

std::string FlashRun::CodeFor(RunResult result) const {
    if (link.LineGone() && (result == RunResult::kNotConnected || result == RunResult::kFailed ||
                            result == RunResult::kReadProtected)) {
        return "adapter-gone";
    }
    // The numbers outweigh whatever else a run that could not keep one says.
    if (numberHeld) {
        return "number-held";
    }
    if (numberNotRecorded) {
        return "journal-unreachable";
    }
    switch (result) {
        case RunResult::kSucceeded:
            return numberUse.problem.empty() ? "ok" : "number-unavailable";
        case RunResult::kPortNotOpened:
            switch (link.LastOpenFailure()) {
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
            break;
        case RunResult::kNotConnected:
            return lineFlooded ? "line-flooded" : "no-bootloader";
        case RunResult::kPackageRefused:
            if (trust.Refused()) {
                return trust.verdict.state == SignatureVerdict::State::kNoSignature &&
                               trust.keysProblem.empty()
                           ? "unsigned"
                           : "untrusted";
            }
            break;
        case RunResult::kFailed:
            if (lineFlooded) {
                return "line-flooded";
            }
            if (!refusal.empty()) {
                return "verify-failed";
            }
            if (!numberUse.problem.empty()) {
                return "number-unavailable";
            }
            break;
        default:
            break;
    }
    return ResultCode(result);
}

std::string ReasonWithAdvice(const RunOutcome& outcome, const PortChoice& port,
                             const AdviceWords& words) {
    std::string reason = outcome.reason;
    switch (outcome.advice) {
        case Advice::kNone:
            break;
        case Advice::kListPorts:
            return reason + " (" + words.listPorts + ")";
        case Advice::kUnprotect: {
            std::string advice = words.unprotect;
            if (const size_t at = advice.find("%s"); at != std::string::npos) {
                advice.replace(at, 2, port.name);
            }
            return reason + "; " + advice;
        }
        case Advice::kNextNumber:
            if (!reason.empty() && reason.back() == '.') {
                reason.pop_back();
            }
            return reason + "; " + words.nextNumber;
    }
    return reason;
}

}  // namespace korvane
