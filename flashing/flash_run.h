// The flash run: connect to the device on the calling thread, write the chosen package
// entry by entry on one worker thread, send the closing request, and advance the
// sequence number when the whole package went in. The window and the command-line tool
// drive this same run; each reports through its own OperatorFeedback and fills in the
// hooks for what only it does (a clock, a wait that keeps a window live).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "flashing/entry_kind.h"
#include "flashing/operator_feedback.h"
#include "flashing/package.h"
#include "flashing/package_trust.h"
#include "flashing/port_choice.h"
#include "flashing/rework.h"
#include "flashing/run_recorder.h"
#include "flashing/sequence_numbers.h"
#include "flashing/serial_record.h"
#include "link/device_link.h"

namespace korvane {

struct FlashRequest {
    std::string packagePath;
    PortChoice port;
    std::optional<CalendarDate> date;  // the serial record's date; today when absent
    // The operator's own sequence number for this run; the counter's next one otherwise.
    std::optional<int> sequenceNumber;
    Rework rework = Rework::kNew;
    // Reads the loader image back after writing it, before it is started.
    bool verifyLoader = false;
    // The station's trusted keys (a public-key file or a folder of them): when set, only a
    // package signed by one of them is flashed. Empty: none, signatures are only shown.
    std::string trustedKeys;
    // How the fixture's modem lines reach RESET and BOOT0, and what follows the closing
    // request.
    FixtureWiring wiring;
};

enum class RunResult {
    kSucceeded,          // every entry and the closing request were accepted
    kFailed,             // an entry or the closing request failed
    kBadSequenceNumber,  // outside 1 … 99999: refused before touching the port
    kPortNotOpened,
    kNotConnected,  // the bootloader did not answer
    kFileNotOpened,
    // The package is not written as it is (too large, two firmware images, not signed by
    // a trusted key): refused before the port is opened.
    kPackageRefused,
    kNotAPackage,        // the chosen file is an image: refused before touching the port
    kBusy,               // a run is already active
    kNumberUnavailable,  // the counter is held elsewhere or damaged: nothing was sent
    kNotRecorded,        // the run could not be recorded: nothing was sent
    kInterrupted,        // abandoned on request; the port is left as it was
    kReadProtected,      // the chip's flash is read-protected: nothing was written
    kReworkRefused,      // the chip was flashed before and is not to be again
    // A chip of the same unique ID is in another fixture of the station: nothing was written.
    kChipElsewhere,
};

// What the operator can do about a failure, which each front end words in its own terms
// (a command of the tool, a control of the window); the reason itself names none.
enum class Advice {
    kNone,
    kListPorts,   // see which serial ports there are
    kUnprotect,   // lift the chip's read protection, which erases its whole flash
    kNextNumber,  // the station's counter is behind the line's: give the line's next number
};

// How a run ended, all a front end shows of it: the result, why in words (its holder, the
// OS's reason, the counter's or the journal's problem, a device that talked without
// stopping), what else the operator should know however it ended, and the number and
// serial text it gave its device.
struct RunOutcome {
    RunResult result = RunResult::kFailed;
    std::string status;  // the last status line the operator saw
    std::string reason;  // empty when the status line says all there is
    // Why it ended so, for a line's own software: one of a fixed set of words ("ok",
    // "write-refused", "no-bootloader", ...) that never changes its meaning.
    std::string code;
    std::vector<std::string> notes;  // a port that refused even parity, a record not completed
    std::optional<int> number;       // the sequence number a serial record went out with
    std::string serial;              // its 13 characters
    std::string uid;                 // the chip's unique ID (24 hexadecimal digits), if read
    std::optional<int> flashKib;     // its flash size
    std::string signer;              // the key ID of the package's signature, if it had one
    std::string signedComment;       // its trusted comment, once checked
    std::string signature;           // what the signature is, in a sentence; empty: none
    // What the station must be told at once, however this run went (a number found given
    // to two devices as the spool's records reached the journal).
    std::vector<std::string> alerts;
    // The reason is the counter's or the journal's: a number could not be taken or kept.
    // It outweighs the status line, which says only that a file failed.
    bool reasonIsTheNumbers = false;
    Advice advice = Advice::kNone;  // what to do about the reason, when a front end can help

    // Whether the run did its job: every entry went in, and nothing (a number that could
    // not be saved, say) spoilt it.
    bool Passed() const { return result == RunResult::kSucceeded && reason.empty(); }
    // What is said of a run that did not pass: why, or else its last status line.
    const std::string& Said() const { return reason.empty() ? status : reason; }
};

// The code of an outcome with this result when nothing more is known of it: what a front
// end gives a run that a check refused before any run began.
const char* ResultCode(RunResult result);

// The words a front end gives each advice, in its own terms: a command of the tool, a
// control of the window.
struct AdviceWords {
    std::string listPorts;   // said in brackets after the reason
    std::string unprotect;   // after a semicolon; "%s" stands for the port's name
    std::string nextNumber;  // after a semicolon, ending the sentence
};

// The outcome's reason with its advice in those words; the reason alone when it has none.
std::string ReasonWithAdvice(const RunOutcome& outcome, const PortChoice& port,
                             const AdviceWords& words);

inline bool operator==(const RunOutcome& outcome, RunResult result) {
    return outcome.result == result;
}
inline bool operator!=(const RunOutcome& outcome, RunResult result) {
    return outcome.result != result;
}

// What a run did with the sequence numbers.
struct NumberUse {
    std::optional<int> taken;     // the number the run would give its device
    std::optional<int> recorded;  // the number a serial record was sent with
    bool advanced = false;        // the counter moved on (a record was sent, or success)
    std::string problem;          // why the counter refused, or could not be advanced
};

struct FlashRunHooks {
    // On the calling thread once the counter is taken, with the number this run would
    // give its device (a window shows it).
    std::function<void(int sequenceNumber)> numberTaken;
    // On the calling thread once the worker has started (a window starts its clock here).
    std::function<void()> started;
    // Returns once the worker has ended. workerEnded(ms) waits at most ms milliseconds and
    // tells whether the worker has ended. Without a hook the caller simply waits.
    std::function<void(const std::function<bool(unsigned)>& workerEnded)> waitForWorker;
    // On the calling thread after the worker ended (a window stops its clock here).
    std::function<void()> ended;
    // On the calling thread, when the chip was flashed before and the request says ask:
    // what to do with it (kNew, kKeep or kRefuse).
    std::function<Rework(const EarlierRun& earlier)> askRework;
    // On the calling thread once the chip's unique ID is read (never for an ID of all zeros
    // or all ones, which is no identity): empty when the run may flash this chip, otherwise
    // the other fixture that is flashing or holds a chip of the same ID.
    std::function<std::string(const std::string& uid)> claimChip;
};

struct DeviceContact;

class FlashRun {
public:
    // The pause between starting the loader and discarding what it sent meanwhile.
    static constexpr uint32_t kLoaderStartMs = 200;

    FlashRun(DeviceLink& link, OperatorFeedback& operatorFeedback, FlashRunHooks hooks = {})
        : link(link), shown(operatorFeedback), hooks(std::move(hooks)) {}

    // One run, holding numbers from before the device is touched until the end. The
    // number is consumed right before the serial record goes out; a successful run that
    // sent no record consumes one at its end. The next number is shown whenever the run
    // consumed one. With a recorder, the run is recorded from before the device is
    // touched (or does not start) to its end. The port stays open afterwards unless
    // connecting failed.
    RunOutcome Run(const FlashRequest& request, SequenceNumbers& numbers,
                   RunRecorder* recorder = nullptr);

    bool Active() const { return active; }
    // What the last run did with the sequence numbers.
    const NumberUse& Numbers() const { return numberUse; }

private:
    // Passes everything on to the operator, and keeps the last status line: a run's
    // record ends with what the operator saw last.
    class LastStatus : public OperatorFeedback {
    public:
        explicit LastStatus(OperatorFeedback& inner) : inner(inner) {}
        void ShowStatus(const std::string& text) override;
        void Progress(int position) override { inner.Progress(position); }
        void EnableCommands(bool on) override { inner.EnableCommands(on); }
        void ShowSequenceNumber(int number) override { inner.ShowSequenceNumber(number); }
        std::string Text() const;

    private:
        OperatorFeedback& inner;
        mutable std::mutex mutex;
        std::string last;
    };

    // The run once the counter is taken, the package read and the recorder has begun.
    RunResult RunOnDevice(const FlashRequest& request);
    // The run once the counter is taken: read the package, begin the record, run.
    RunResult RunRecorded(const FlashRequest& request, RunRecorder* runRecorder);
    // Said when the package could not be read, or will not be written as it is.
    RunResult PackageNotRead(const FlashRequest& request);
    void EntryEnded(const PackageEntry& entry, EntryWriter writer, uint64_t bytes, bool ok);
    // Opens, resets and synchronises (said when it fails); contact is what was found.
    bool Connect(const PortChoice& port, const FixtureWiring& wiring, DeviceContact& contact,
                 RunResult& failure);
    // After connecting: what the chip's signature says, whether the package fits it, what to
    // do if it was flashed before. False (failure set, said) when the run must not go on.
    bool KnowTheDevice(const FlashRequest& request, const PackageDirectory& directory,
                       const DeviceContact& contact, RunResult& failure);
    // Reads the loader image back from the flash; false (said) at the first difference.
    bool VerifyLoader(const PackageEntry& entry);
    // The worker's body for a package. True when every entry and the closing request
    // were accepted.
    bool WritePackage(const FlashRequest& request);
    bool WriteEntry(const PackageEntry& entry);
    bool CloseUpdate();
    // Consumes the number for the serial record about to be sent, and gives its text (see
    // ClaimNumber).
    bool ClaimNumber(std::string& serialText);
    // Says the run was abandoned on request.
    RunResult Interrupted();
    // The run's outcome once it ended so, on the port given, and its reason in words.
    RunOutcome OutcomeOf(RunResult result, const PortChoice& port) const;
    std::string ReasonFor(RunResult result, const PortChoice& port) const;
    std::string CodeFor(RunResult result) const;

    DeviceLink& link;
    LastStatus shown;
    OperatorFeedback& feedback = shown;
    FlashRunHooks hooks;
    RunRecorder* recorder = nullptr;  // during a run
    CalendarDate recordDate;          // the serial record's date in this run
    std::string notRecorded;
    std::string completionProblem;  // the recorder's, when the record could not be completed
    PackageFile package;
    PackageTrust trust;                  // of the package as read
    SequenceNumbers* numbers = nullptr;  // during a run
    NumberUse numberUse;
    // Set by the worker when the loader image failed before anything of it was written.
    bool loaderMissing = false;
    bool verifyLoader = false;
    std::optional<DeviceSignature> signature;  // of the chip this run flashes
    std::optional<EarlierRun> kept;            // its earlier record, sent again (Rework::kKeep)
    std::string reworkNote;                    // what is said of an earlier record of the chip
    std::string refusal;              // why the run did not write (read protection, rework)
    std::vector<std::string> alerts;  // the recorder's, taken at the run's end
    Advice advice = Advice::kNone;    // for the reason the run ends with
    // Set by the worker when the journal could not take the number of the serial record.
    bool numberNotRecorded = false;
    // Set by the worker when the journal refused that number: another device holds it.
    bool numberHeld = false;
    std::atomic<bool> lineFlooded{false};
    std::atomic<bool> active{false};
};

}  // namespace korvane
