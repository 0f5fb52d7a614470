#include "flashing/entry_writers.h"

#include <algorithm>
#include <cstring>

#include "flashing/status_texts.h"
#include "link/service_frame.h"

namespace korvane {

// What differs between the three writers: chunk size, preparation, how a chunk is sent,
// and what follows the last chunk.
class EntryWriters::Steps {
public:
    virtual ~Steps() = default;
    virtual uint32_t ChunkBytes() const = 0;
    virtual bool Prepare() = 0;
    // Sends n bytes from buffer, which has room for service::kWorkingBufferBytes.
    virtual bool SendChunk(uint8_t* buffer, uint32_t n) = 0;
    virtual bool Finish() { return true; }

    // The request last sent, and its address or block: what failed, should it fail.
    FailedRequest request = FailedRequest::kNone;
    uint32_t where = 0;
};

namespace {

using namespace service;

class LoaderSteps : public EntryWriters::Steps {
public:
    explicit LoaderSteps(DeviceLink& link) : link(link) {}
    uint32_t ChunkBytes() const override { return bootloader::kMaxWriteBytes; }
    bool Prepare() override {
        request = FailedRequest::kErase;
        return link.EraseAll();
    }
    bool SendChunk(uint8_t* buffer, uint32_t n) override {
        // The bootloader programs whole words: a short last chunk is filled with erased
        // bytes rather than with whatever follows the entry in the file.
        const uint32_t padded = (n + 3) & ~3u;
        std::memset(buffer + n, 0xFF, padded - n);
        request = FailedRequest::kLoaderWrite;
        where = target;
        const bool written = link.WriteMemory(target, buffer, static_cast<int32_t>(padded));
        target += n;
        return written;
    }

private:
    DeviceLink& link;
    uint32_t target = bootloader::kFlashStart;
};

class FirmwareSteps : public EntryWriters::Steps {
public:
    FirmwareSteps(EntryWriters& writers, const ClaimNumber& claimNumber)
        : writers(writers), claimNumber(claimNumber) {}
    uint32_t ChunkBytes() const override { return kFirmwareChunkBytes; }
    bool Prepare() override {
        request = FailedRequest::kFirmwareStart;
        return writers.Exchange(kFirmwareImage, kStart, 0, nullptr, 0);
    }
    bool SendChunk(uint8_t* buffer, uint32_t n) override {
        request = FailedRequest::kFirmwareWrite;
        where = target;
        const bool accepted =
            writers.Exchange(kFirmwareImage, kWrite, target, buffer, static_cast<uint16_t>(n));
        target += n;
        return accepted;
    }
    bool Finish() override {
        std::string serialText;
        // No request fails here: the run says why the number was not to be had.
        request = FailedRequest::kNone;
        if (!claimNumber(serialText)) {
            return false;
        }
        request = FailedRequest::kSerialRecord;
        where = kSerialRecordAddress;
        uint8_t record[kSerialRecordBytes];
        BuildSerialRecord(serialText, record);
        return writers.Exchange(kFirmwareImage, kWrite, kSerialRecordAddress, record,
                                kSerialRecordBytes);
    }

private:
    EntryWriters& writers;
    const ClaimNumber& claimNumber;
    uint32_t target = bootloader::kFlashStart;
};

class DataSteps : public EntryWriters::Steps {
public:
    DataSteps(EntryWriters& writers, EntryKind kind) : writers(writers), block(kind) {}
    uint32_t ChunkBytes() const override { return kDataBlockBytes; }
    bool Prepare() override {
        request = FailedRequest::kDataStart;
        return writers.Exchange(kDataImage, kStart, 0, nullptr, 0);
    }
    bool SendChunk(uint8_t* buffer, uint32_t n) override {
        // Blocks are always whole; the end of a short last one is erased bytes, not what
        // follows the entry in the file.
        std::memset(buffer + n, 0xFF, kDataBlockBytes - n);
        request = FailedRequest::kDataBlock;
        where = block;
        const bool accepted = writers.Exchange(kDataImage, kWrite, block, buffer, kDataBlockBytes);
        ++block;
        return accepted;
    }

private:
    EntryWriters& writers;
    uint32_t block;
};

}  // namespace

int ProgressPosition(uint64_t written, uint64_t size) {
    return static_cast<int>((200 * written + size) / (2 * size));
}

bool EntryWriters::Exchange(uint8_t command, uint8_t subCommand, uint32_t address,
                            const uint8_t* data, uint16_t length) {
    replyRefused = false;
    if (!link.SendRequest(command, subCommand, address, data, length)) {
        return false;
    }
    uint8_t reply[kWorkingBufferBytes];
    if (link.ReceiveReply(reply, sizeof reply) == 0) {
        return false;
    }
    replyRefused = reply[0] != kAccepted;
    return !replyRefused;
}

bool EntryWriters::Close(const std::string& lastEntry) {
    failure = {};
    if (Exchange(kDataImage, kFinish, 0, nullptr, 0)) {
        return true;
    }
    Failed(FailedRequest::kClosing, lastEntry, 0);
    return false;
}

void EntryWriters::Failed(FailedRequest request, const std::string& entry, uint32_t where) {
    failure = {request, entry, where, FailureCause::kNoStatus, link.ReadWindowMs()};
    switch (link.LastFailure()) {
        case LinkFailure::kNack:
            failure.cause = FailureCause::kNack;
            break;
        case LinkFailure::kSilence:
            failure.cause = FailureCause::kSilence;
            break;
        case LinkFailure::kFlood:
            failure.cause = FailureCause::kFlood;
            break;
        case LinkFailure::kBadChecksum:
            failure.cause = FailureCause::kBadChecksum;
            break;
        case LinkFailure::kNone:
            if (replyRefused) {
                failure.cause = FailureCause::kRefused;
            }
            break;
    }
}

EntryWriters::WriteOutcome EntryWriters::WriteLoaderImage(const std::string& name, uint32_t offset,
                                                          uint32_t size) {
    LoaderSteps steps(link);
    return WriteEntry(name, offset, size, steps);
}

bool EntryWriters::WriteFirmwareImage(const std::string& name, uint32_t offset, uint32_t size,
                                      const ClaimNumber& claimNumber) {
    FirmwareSteps steps(*this, claimNumber);
    return WriteEntry(name, offset, size, steps) == WriteOutcome::kWritten;
}

bool EntryWriters::WriteDataImage(const std::string& name, uint32_t offset, uint32_t size,
                                  EntryKind kind) {
    DataSteps steps(*this, kind);
    return WriteEntry(name, offset, size, steps) == WriteOutcome::kWritten;
}

bool EntryWriters::Fail(const std::string& name) {
    feedback.Status(status::kFailedFile, name.c_str());
    feedback.EnableCommands(true);
    return false;
}

EntryWriters::WriteOutcome EntryWriters::WriteEntry(const std::string& name, uint32_t offset,
                                                    uint32_t size, Steps& steps) {
    bytesSent = 0;
    failure = {};
    feedback.Progress(0);
    const bool positioned = package.Seek(offset);
    feedback.Status(status::kWritingFile, name.c_str());
    // An entry the package does not hold whole is a damaged package (a truncated copy, a
    // size that runs past the end or wraps): nothing of it is sent, since a half-written
    // image would pass for a good one, and the flash is not erased for it.
    const int64_t fileSize = package.Size();
    const uint64_t end = static_cast<uint64_t>(offset) + size;
    if (!positioned || fileSize < 0 || end > static_cast<uint64_t>(fileSize)) {
        Failed(FailedRequest::kEntryNotWhole, name, 0);
        Fail(name);
        return WriteOutcome::kNothingWritten;
    }
    if (!steps.Prepare()) {
        Failed(steps.request, name, steps.where);
        Fail(name);
        return WriteOutcome::kNothingWritten;
    }
    uint8_t buffer[kWorkingBufferBytes];
    uint32_t written = 0;
    while (written < size) {
        // Never more than the entry holds: what follows it belongs to another entry.
        const uint32_t ask = std::min(steps.ChunkBytes(), size - written);
        const int32_t n = package.Read(buffer, static_cast<int32_t>(ask));
        // The file was checked to hold the entry: ending early means it changed under the
        // run, which is as much a failure as a read error.
        if (n <= 0) {
            Failed(FailedRequest::kEntryNotWhole, name, 0);
            Fail(name);
            return WriteOutcome::kFailedPartway;
        }
        if (!steps.SendChunk(buffer, static_cast<uint32_t>(n))) {
            Failed(steps.request, name, steps.where);
            Fail(name);
            return WriteOutcome::kFailedPartway;
        }
        written += static_cast<uint32_t>(n);
        bytesSent = written;
        feedback.Progress(ProgressPosition(written, size));
    }
    if (!steps.Finish()) {
        if (steps.request != FailedRequest::kNone) {
            Failed(steps.request, name, steps.where);
        }
        Fail(name);
        return WriteOutcome::kFailedPartway;
    }
    feedback.Status(status::kFinishedFile, name.c_str());
    return WriteOutcome::kWritten;
}

}  // namespace korvane
