// The worker's part of a flash run: every entry of the package in turn, the serial
// record's number, the loader read back, and the closing request.
#include <algorithm>
#include <cstdio>

#include "flashing/entry_writers.h"
#include "flashing/flash_run.h"
#include "flashing/status_texts.h"
#include "link/service_frame.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

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

bool FlashRun::WritePackage(const FlashRequest& request) {
    PackageDirectory directory;
    bool allWritten = ReadDirectory(package, directory);
    loaderMissing = false;
    numberNotRecorded = false;
    numberHeld = false;
    std::string lastEntry;  // the closing request follows it
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
            lastEntry = entry.name;
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
                        !InterruptRequested() && CloseUpdate(lastEntry);
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
    if (!written && !writeFailure.Failed()) {
        writeFailure = writers.Failure();
    }
    EntryEnded(entry, writer, writers.BytesSent(), written);
    return written;
}

void FlashRun::EntryEnded(const PackageEntry& entry, EntryWriter writer, uint64_t bytes, bool ok) {
    if (recorder != nullptr) {
        recorder->EntryEnded({entry.name, WriterName(writer), bytes, ok});
    }
}

bool FlashRun::CloseUpdate(const std::string& lastEntry) {
    EntryWriters writers(link, package, feedback);
    if (writers.Close(lastEntry)) {
        return true;
    }
    if (!writeFailure.Failed()) {
        writeFailure = writers.Failure();
    }
    return false;
}

}  // namespace korvane
