#include "devsim/device_snapshot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devsim/device_report.h"

namespace korvane::devsim {

namespace {

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    // Written aside and renamed into place, so that a reader never sees half a file.
    const std::string temporary = path + ".part";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    // An empty vector may have no storage at all, and fwrite must not be given none.
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        return false;
    }
    // Windows' rename does not replace an existing file.
    std::remove(path.c_str());
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    return WriteBytes(path, bytes.data(), bytes.size());
}

bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bytes->clear();
    uint8_t buffer[8192];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    const bool complete = std::ferror(file) == 0;
    std::fclose(file);
    return complete;
}

std::string BlockFile(const std::string& folder, uint32_t number) {
    return folder + "/block-" + std::to_string(number) + ".bin";
}

// A reader for the report's own layout: "key": value, values being numbers, true, false,
// null or strings without escapes.
class ReportReader {
public:
    explicit ReportReader(const std::string& text) : text(text) {}

    // Moves past the next "key": at or after the current place. False when there is none.
    bool Seek(const char* key) {
        const std::string quoted = std::string("\"") + key + "\": ";
        const size_t found = text.find(quoted, at);
        if (found == std::string::npos) {
            return false;
        }
        at = found + quoted.size();
        return true;
    }
    bool Number(const char* key, unsigned long* value) {
        if (!Seek(key)) {
            return false;
        }
        return NextNumber(value);
    }
    bool NextNumber(unsigned long* value) {
        char* end = nullptr;
        *value = std::strtoul(text.c_str() + at, &end, 10);
        if (end == text.c_str() + at) {
            return false;
        }
        at = static_cast<size_t>(end - text.c_str());
        return true;
    }
    bool Flag(const char* key, bool* value) {
        if (!Seek(key)) {
            return false;
        }
        *value = text.compare(at, 4, "true") == 0;
        return *value || text.compare(at, 5, "false") == 0;
    }
    bool Text(const char* key, std::string* value) {
        if (!Seek(key) || Peek() != '"') {
            return false;
        }
        const size_t end = text.find('"', at + 1);
        if (end == std::string::npos) {
            return false;
        }
        *value = text.substr(at + 1, end - at - 1);
        at = end + 1;
        return true;
    }
    bool IsNull() const { return text.compare(at, 4, "null") == 0; }
    char Peek() const { return at < text.size() ? text[at] : '\0'; }
    void Skip(const char* characters) {
        while (at < text.size() && std::strchr(characters, text[at]) != nullptr) {
            ++at;
        }
    }
    size_t Place() const { return at; }
    size_t Find(const char* what) const { return text.find(what, at); }

private:
    const std::string& text;
    size_t at = 0;
};

bool ParseRequest(ReportReader& reader, SeenRequest* request) {
    unsigned long command = 0;
    unsigned long sub = 0;
    unsigned long address = 0;
    unsigned long length = 0;
    unsigned long status = 0xFF;
    if (!reader.Number("command", &command) || !reader.Number("subCommand", &sub) ||
        !reader.Number("address", &address) || !reader.Number("length", &length) ||
        !reader.Seek("status") || (!reader.IsNull() && !reader.NextNumber(&status))) {
        return false;
    }
    *request = {static_cast<uint8_t>(command), static_cast<uint8_t>(sub),
                static_cast<uint32_t>(address), static_cast<uint16_t>(length),
                static_cast<uint8_t>(status)};
    return true;
}

}  // namespace

DeviceSnapshot TakeSnapshot(const SimulatedDevice& device, std::vector<uint8_t> received) {
    DeviceSnapshot snapshot;
    snapshot.uid = device.Uid();
    snapshot.flashKib = device.FlashKib();
    snapshot.flash = device.Flash();
    snapshot.erases = device.EraseCount();
    snapshot.started = device.Started();
    snapshot.loaderRunning = device.LoaderRunning();
    const LoaderFirmware& loader = device.Loader();
    snapshot.loader.firmware = loader.Firmware();
    snapshot.loader.blocks = loader.DataBlocks();
    snapshot.loader.record = loader.SerialRecord();
    snapshot.loader.requests = loader.Requests();
    snapshot.loader.closings = loader.ClosingRequests();
    snapshot.received = std::move(received);
    return snapshot;
}

bool WriteDeviceFiles(const std::string& folder, const DeviceSnapshot& snapshot) {
    const std::string report = DeviceReport(snapshot);
    bool written = WriteBytes(folder + "/flash.bin", snapshot.flash) &&
                   WriteBytes(folder + "/firmware.bin", snapshot.loader.firmware) &&
                   WriteBytes(folder + "/record.bin", snapshot.loader.record) &&
                   WriteBytes(folder + "/received.bin", snapshot.received);
    for (const auto& [number, block] : snapshot.loader.blocks) {
        written = written && WriteBytes(BlockFile(folder, number), block.data(), block.size());
    }
    // The report last: it names the blocks, so a reader that has it finds them all.
    return written && WriteBytes(folder + "/report.json",
                                 reinterpret_cast<const uint8_t*>(report.data()), report.size());
}

bool ParseDeviceReport(const std::string& report, DeviceSnapshot* snapshot) {
    ReportReader reader(report);
    std::string uid;
    unsigned long flashKib = 0;
    if (!reader.Text("uid", &uid) || !ParseUniqueId(uid) ||
        !reader.Number("flash_kib", &flashKib)) {
        return false;
    }
    snapshot->uid = *ParseUniqueId(uid);
    snapshot->flashKib = static_cast<uint32_t>(flashKib);
    unsigned long erases = 0;
    if (!reader.Number("erases", &erases) || !reader.Flag("started", &snapshot->started) ||
        !reader.Flag("loaderRunning", &snapshot->loaderRunning) || !reader.Seek("dataBlocks")) {
        return false;
    }
    snapshot->erases = static_cast<int>(erases);
    snapshot->loader.blocks.clear();
    reader.Skip("[ ");
    unsigned long number = 0;
    while (reader.Peek() != ']' && reader.NextNumber(&number)) {
        snapshot->loader.blocks[static_cast<uint32_t>(number)].fill(0xFF);
        reader.Skip(", ");
    }
    unsigned long closings = 0;
    if (!reader.Number("closingRequests", &closings) || !reader.Seek("requests")) {
        return false;
    }
    snapshot->loader.closings = static_cast<int>(closings);
    snapshot->loader.requests.clear();
    while (reader.Find("\"command\": ") != std::string::npos) {
        SeenRequest request{};
        if (!ParseRequest(reader, &request)) {
            return false;
        }
        snapshot->loader.requests.push_back(request);
    }
    return true;
}

bool ReadDeviceFiles(const std::string& folder, DeviceSnapshot* snapshot) {
    std::vector<uint8_t> report;
    if (!ReadBytes(folder + "/report.json", &report) ||
        !ParseDeviceReport(std::string(report.begin(), report.end()), snapshot) ||
        !ReadBytes(folder + "/flash.bin", &snapshot->flash) ||
        !ReadBytes(folder + "/firmware.bin", &snapshot->loader.firmware) ||
        !ReadBytes(folder + "/record.bin", &snapshot->loader.record) ||
        !ReadBytes(folder + "/received.bin", &snapshot->received)) {
        return false;
    }
    for (auto& [number, block] : snapshot->loader.blocks) {
        std::vector<uint8_t> bytes;
        if (!ReadBytes(BlockFile(folder, number), &bytes) || bytes.size() != block.size()) {
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), block.begin());
    }
    return true;
}

}  // namespace korvane::devsim
