#include "flashing/flash_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "flashing/device_operations.h"
#include "flashing/entry_writers.h"
#include "flashing/run_checks.h"
#include "flashing/status_texts.h"
#include "link/service_frame.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

namespace {

// Clears the active mark however the run ends.
struct ActiveMark {
    explicit ActiveMark(std::atomic<bool>& flag) : flag(flag) {}
    ~ActiveMark() { flag = false; }
    std::atomic<bool>& flag;
};
}  // namespace

bool FlashRun::Connect(const PortChoice& port, const FixtureWiring& wiring, DeviceContact& contact,
                       RunResult& failure) {
    ConnectOptions options;
    options.wiring = wiring;
    contact = ConnectToDevice(link, port.device, options);
    switch (contact.contact) {
        case Contact::kPortNotOpened:
            feedback.Status(status::kPortNotOpened);
            failure = RunResult::kPortNotOpened;
            return false;
        case Contact::kNoBootloader:
            lineFlooded = contact.flooded;
            feedback.Status(status::kNotConnected);
            failure = RunResult::kNotConnected;
            return false;
        case Contact::kConnected:
            break;
    }
    return true;
}

void FlashRun::LastStatus::ShowStatus(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        last = text;
    }
    inner.ShowStatus(text);
}

std::string FlashRun::LastStatus::Text() const {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
}

RunOutcome FlashRun::Run(const FlashRequest& request, SequenceNumbers& counter,
                         RunRecorder* runRecorder) {
    bool idle = false;
    if (!active.compare_exchange_strong(idle, true)) {
        RunOutcome busy;
        busy.result = RunResult::kBusy;
        return busy;
    }
    ActiveMark mark(active);
    numberUse = NumberUse{};
    lineFlooded = false;
    notRecorded.clear();
    completionProblem.clear();
    verifyLoader = request.verifyLoader;
    signature.reset();
    kept.reset();
    reworkNote.clear();
    refusal.clear();
    alerts.clear();
    advice = Advice::kNone;
    trust = PackageTrust{};

    if (const RunCheck check = CheckRequest(request); check.Refused()) {
        refusal = check.reason;
        return OutcomeOf(check.result, request.port);
    }
    // The counter is ours before anything is read from it or sent to the device, and
    // until whatever this run consumed has been saved.
    if (!counter.Take(request.sequenceNumber, numberUse.problem)) {
        feedback.ShowStatus(numberUse.problem);
        return OutcomeOf(RunResult::kNumberUnavailable, request.port);
    }
    numbers = &counter;
    struct GiveBack {
        ~GiveBack() {
            run.numbers->Give();
            run.numbers = nullptr;
        }
        FlashRun& run;
    } giveBack{*this};
    if (!IsValidSequenceNumber(counter.Next())) {
        return OutcomeOf(RunResult::kBadSequenceNumber, request.port);
    }
    numberUse.taken = counter.Next();
    if (hooks.numberTaken) {
        hooks.numberTaken(*numberUse.taken);
    }
    recordDate = request.date.value_or(LocalDate());
    const RunResult result = RunRecorded(request, runRecorder);
    package.Close();
    return OutcomeOf(result, request.port);
}

RunResult FlashRun::RunRecorded(const FlashRequest& request, RunRecorder* runRecorder) {
    // The package is read once, before anything else: every entry is written from this
    // copy, and the record names the very bytes sent, however the file changes meanwhile.
    const bool read = package.Open(request.packagePath);
    // The signature is checked on that copy too: a file changed after this check cannot
    // reach the device.
    if (read) {
        trust = CheckPackageTrust(request.packagePath, package.Bytes(), request.trustedKeys);
    }
    if (runRecorder == nullptr) {
        return read ? RunOnDevice(request) : PackageNotRead(request);
    }
    recorder = runRecorder;
    struct Forget {
        ~Forget() { run.recorder = nullptr; }
        FlashRun& run;
    } forget{*this};
    RunStart start;
    start.packagePath = request.packagePath;
    start.port = request.port.name;
    start.device = request.port.device;
    start.packageBytes = read ? &package.Bytes() : nullptr;
    start.signer = trust.Signer();
    start.signedComment = trust.SignedComment();
    if (!recorder->Begin(start, notRecorded)) {
        feedback.ShowStatus(notRecorded);
        return RunResult::kNotRecorded;
    }
    const RunResult result = read ? RunOnDevice(request) : PackageNotRead(request);
    completionProblem = recorder->End({result == RunResult::kSucceeded, shown.Text(),
                                       CodeFor(result), ReasonFor(result, request.port)});
    alerts = recorder->TakeAlerts();
    return result;
}

RunResult FlashRun::PackageNotRead(const FlashRequest& request) {
    const char* path = request.packagePath.c_str();
    switch (package.LastFailure()) {
        case PackageFile::Failure::kInterrupted:
            return Interrupted();
        case PackageFile::Failure::kTooLarge:
            feedback.Status(status::kPackageRefused, path, ("it " + package.Problem()).c_str());
            return RunResult::kPackageRefused;
        case PackageFile::Failure::kNone:
        case PackageFile::Failure::kUnreadable:
            break;
    }
    feedback.Status(status::kFileNotOpened, path);
    return RunResult::kFileNotOpened;
}

RunResult FlashRun::RunOnDevice(const FlashRequest& request) {
    // Only what engineering signed reaches a device, at a station that trusts its keys.
    if (trust.Refused()) {
        feedback.Status(status::kNotTrusted, request.packagePath.c_str(), trust.Text().c_str());
        return RunResult::kPackageRefused;
    }
    const PackageDirectory directory =
        ParseDirectory(package.Bytes().data(), package.Bytes().size());
    // A package that would number one device twice, or holds an image no flash takes, is
    // refused before the port is touched.
    if (const std::string why = PackageRefusal(directory); !why.empty()) {
        feedback.Status(status::kPackageRefused, request.packagePath.c_str(), why.c_str());
        return RunResult::kPackageRefused;
    }
    RunResult failure = RunResult::kFailed;
    DeviceContact contact;
    if (!Connect(request.port, request.wiring, contact, failure)) {
        return InterruptRequested() ? Interrupted() : failure;
    }
    if (!KnowTheDevice(request, directory, contact, failure)) {
        return InterruptRequested() ? Interrupted() : failure;
    }

    feedback.EnableCommands(false);
    bool succeeded = false;
    std::packaged_task<void()> work([&] { succeeded = WritePackage(request); });
    std::future<void> done = work.get_future();
    std::thread worker(std::move(work));
    if (hooks.started) {
        hooks.started();
    }
    if (hooks.waitForWorker) {
        hooks.waitForWorker([&done](unsigned ms) {
            return done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
        });
    }
    // Whatever the hook did, nothing is closed under a running worker.
    worker.join();
    if (hooks.ended) {
        hooks.ended();
    }
    feedback.EnableCommands(true);
    if (InterruptRequested()) {
        return Interrupted();
    }
    return succeeded ? RunResult::kSucceeded : RunResult::kFailed;
}

bool FlashRun::KnowTheDevice(const FlashRequest& request, const PackageDirectory& directory,
                             const DeviceContact& contact, RunResult& failure) {
    switch (contact.signatureRead) {
        case SignatureRead::kNotOffered:
            return true;
        case SignatureRead::kRead:
            break;
        case SignatureRead::kProtected:
            feedback.Status(status::kReadProtected);
            refusal = "the flash of the device on " + request.port.device + " is read-protected";
            advice = Advice::kUnprotect;
            failure = RunResult::kReadProtected;
            return false;
        case SignatureRead::kFlooded:
            lineFlooded = true;
            feedback.Status(status::kNotConnected);
            failure = RunResult::kNotConnected;
            return false;
        case SignatureRead::kUnanswered:
            // A bootloader that lists Read Memory and does not answer it: the run goes on
            // as it would without it, not knowing the chip.
            reworkNote = "the device did not answer the read of its unique ID, which stays unknown";
            return true;
    }
    const DeviceSignature& read = *contact.signature;
    signature = read;
    const std::string uid = UniqueIdText(read.uid);
    if (recorder != nullptr) {
        recorder->DeviceIdentified(uid, read.flashKib);
    }
    if (const std::string why = PackageFitRefusal(directory, read.flashKib); !why.empty()) {
        feedback.Status(status::kPackageRefused, request.packagePath.c_str(), why.c_str());
        failure = RunResult::kPackageRefused;
        return false;
    }
    // An ID that many chips share (all zeros or all ones) names none of them: no earlier
    // record is its, and no other fixture's chip is the same for it.
    if (!IsChipIdentity(read.uid)) {
        reworkNote = "the chip reports the unique ID " + uid +
                     ", which many chips share: it is not taken as the chip's identity";
        return true;
    }
    // One chip is in one place: an ID that another fixture of the station has is a cloned
    // chip, or a fixture wired to the other's port, and neither gets a number through it.
    if (hooks.claimChip) {
        if (const std::string other = hooks.claimChip(uid); !other.empty()) {
            feedback.Status(status::kChipElsewhere, other.c_str());
            refusal = "the chip " + uid + " is also in " + other +
                      " (a chip with a cloned ID, or a fixture wired to another's port); "
                      "nothing was written";
            failure = RunResult::kChipElsewhere;
            return false;
        }
    }
    const std::optional<EarlierRun> earlier =
        recorder != nullptr ? recorder->EarlierRunOf(uid) : std::nullopt;
    if (!earlier) {
        return true;
    }
    Rework rework = request.rework;
    if (rework == Rework::kAsk) {
        rework = hooks.askRework ? hooks.askRework(*earlier) : Rework::kNew;
    }
    const std::string named =
        earlier->serial + ", given by station " + earlier->station + " on " + earlier->started;
    switch (rework) {
        case Rework::kRefuse:
            feedback.Status(status::kFlashedBefore, earlier->serial.c_str(),
                            earlier->station.c_str(), earlier->started.c_str());
            refusal = "the chip " + uid + " was flashed before (" + named +
                      ") and is not flashed again here";
            failure = RunResult::kReworkRefused;
            return false;
        case Rework::kKeep:
            kept = earlier;
            reworkNote = "the chip " + uid + " keeps its earlier serial number " + named;
            return true;
        case Rework::kNew:
        case Rework::kAsk:
            reworkNote =
                "the chip " + uid + " was flashed before: " + named + "; it is given a new number";
            return true;
    }
    return true;
}

bool FlashRun::VerifyLoader(const PackageEntry& entry) {
    const std::vector<uint8_t>& bytes = package.Bytes();
    for (uint32_t done = 0; done < entry.size;) {
        const auto length =
            static_cast<int32_t>(std::min<uint32_t>(entry.size - done, bootloader::kMaxReadBytes));
        uint8_t read[bootloader::kMaxReadBytes];
        const uint32_t address = bootloader::kFlashStart + done;
        char where[16];
        if (link.ReadMemory(address, read, length) != MemoryRead::kRead) {
            std::snprintf(where, sizeof where, "0x%08X", address);
            refusal = std::string("the loader image could not be read back from ") + where;
            return false;
        }
        for (int32_t i = 0; i < length; ++i) {
            const uint8_t written = bytes[entry.offset + done + static_cast<uint32_t>(i)];
            if (read[i] != written) {
                char said[96];
                std::snprintf(said, sizeof said,
                              "the loader image reads back differently at 0x%08X (0x%02X "
                              "written, 0x%02X read)",
                              address + static_cast<uint32_t>(i), written, read[i]);
                refusal = said;
                return false;
            }
        }
        done += static_cast<uint32_t>(length);
    }
    return true;
}

RunResult FlashRun::Interrupted() {
    feedback.Status(status::kInterrupted);
    return RunResult::kInterrupted;
}

bool FlashRun::WritePackage(const FlashRequest& request) {
    PackageDirectory directory;
    bool allWritten = ReadDirectory(package, directory);
    loaderMissing = false;
    numberNotRecorded = false;
    numberHeld = false;
    if (allWritten) {
        for (const PackageEntry& entry : directory) {
            // A device whose number the journal could not take gets nothing more: it
            // would pass for a finished device without a record of its number. Nor does
            // one that talks without stopping: nothing it says can be an answer.
            if (InterruptRequested() || numberNotRecorded || lineFlooded) {
                allWritten = false;
                break;
            }
            if (!entry.InUse()) {
                continue;
            }
            // With no loader started, whatever program the flash held would take the
            // entries (and the closing request) for its own commands.
            if (loaderMissing) {
                EntryWriters(link, package, feedback).Fail(entry.name);
                EntryEnded(entry, WriterFor(ClassifyName(entry.name)), 0, false);
                allWritten = false;
            } else if (!WriteEntry(entry)) {
                // Later entries still go in, but the package as a whole has failed.
                allWritten = false;
            }
        }
    }
    const bool closed = !loaderMissing && !numberNotRecorded && !lineFlooded &&
                        !InterruptRequested() && CloseUpdate();
    const bool succeeded = allWritten && closed;
    // The loader has taken the closing request: a fixture that wants the new firmware
    // running restarts the chip from its flash.
    if (closed && request.wiring.exit == FixtureExit::kRun) {
        link.ResetToFirmware(request.wiring);
    }
    if (succeeded) {
        feedback.Status(status::kFinishedFile, request.packagePath.c_str());
        // A package without a firmware image numbers no device; the counter still moves
        // on after a successful run, as it always has; a chip that keeps its earlier number
        // takes none.
        if (!numberUse.advanced && !kept) {
            int unused = 0;
            numberUse.advanced = numbers->Consume(unused, NumberGuard(), numberUse.problem);
        }
    } else {
        feedback.Status(status::kFailedFile, request.packagePath.c_str());
        feedback.EnableCommands(true);
    }
    if (numberUse.advanced) {
        feedback.ShowSequenceNumber(numbers->Next());
    }
    return succeeded;
}

bool FlashRun::ClaimNumber(std::string& serialText) {
    // Nothing is consumed for a run that is being abandoned.
    if (InterruptRequested()) {
        return false;
    }
    // A chip back for rework that keeps its number is sent its earlier record again: the
    // journal lets its own chip have the number once more, and the counter does not move.
    if (kept) {
        std::string why;
        const NumberVerdict verdict =
            recorder->RecordNumber(kept->sequenceNumber, kept->serial, why);
        if (verdict != NumberVerdict::kAccepted) {
            numberNotRecorded = true;
            numberHeld = verdict == NumberVerdict::kRefused;
            numberUse.problem = why;
            feedback.ShowStatus(why);
            return false;
        }
        numberUse.recorded = kept->sequenceNumber;
        serialText = kept->serial;
        return true;
    }
    // The journal takes the number and its serial text before any device holds it: a
    // number it refuses (another device holds it) or cannot take (the server gone, the
    // disk full) is not sent, and this device gets nothing more.
    const NumberGuard guard = [&](int candidate, std::string& why) {
        const NumberVerdict verdict =
            recorder->RecordNumber(candidate, SerialNumberText(candidate, recordDate), why);
        numberNotRecorded = verdict != NumberVerdict::kAccepted;
        numberHeld = verdict == NumberVerdict::kRefused;
        // Another device holds the number: this station counts behind the line.
        if (numberHeld) {
            advice = Advice::kNextNumber;
        }
        return verdict;
    };
    int number = 0;
    if (!numbers->Consume(number, recorder != nullptr ? guard : NumberGuard(), numberUse.problem)) {
        feedback.ShowStatus(numberUse.problem);
        return false;
    }
    numberUse.advanced = true;
    numberUse.recorded = number;
    serialText = SerialNumberText(number, recordDate);
    return true;
}

bool FlashRun::WriteEntry(const PackageEntry& entry) {
    EntryWriters writers(link, package, feedback);
    const EntryKind kind = ClassifyName(entry.name);
    const EntryWriter writer = WriterFor(kind);
    bool written = false;
    switch (writer) {
        case EntryWriter::kFirmware:
            written = writers.WriteFirmwareImage(
                entry.name, entry.offset, entry.size,
                [this](std::string& serialText) { return ClaimNumber(serialText); });
            break;
        case EntryWriter::kLoader: {
            using Outcome = EntryWriters::WriteOutcome;
            const Outcome outcome = writers.WriteLoaderImage(entry.name, entry.offset, entry.size);
            written = outcome == Outcome::kWritten;
            if (link.LastFailure() == LinkFailure::kFlood) {
                break;  // nothing more goes to it, Go included
            }
            if (outcome == Outcome::kNothingWritten) {
                // The flash was not erased: starting it would run unknown code.
                loaderMissing = true;
                break;
            }
            // A loader that does not read back as written is not started either.
            if (written && verifyLoader && !VerifyLoader(entry)) {
                writers.Fail(entry.name);
                written = false;
                loaderMissing = true;
                break;
            }
            // A loader that went in, even partly, is started: the walk goes on either way.
            link.Go();
            SleepMs(kLoaderStartMs);
            link.PurgeReceive();
            break;
        }
        case EntryWriter::kData:
            written = writers.WriteDataImage(entry.name, entry.offset, entry.size, kind);
            break;
    }
    lineFlooded = lineFlooded || link.LastFailure() == LinkFailure::kFlood;
    EntryEnded(entry, writer, writers.BytesSent(), written);
    return written;
}

void FlashRun::EntryEnded(const PackageEntry& entry, EntryWriter writer, uint64_t bytes, bool ok) {
    if (recorder != nullptr) {
        recorder->EntryEnded({entry.name, WriterName(writer), bytes, ok});
    }
}

bool FlashRun::CloseUpdate() {
    EntryWriters writers(link, package, feedback);
    return writers.Exchange(service::kDataImage, service::kFinish, 0, nullptr, 0);
}

}  // namespace korvane
