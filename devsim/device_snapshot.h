// What a simulated device holds at one moment, detached from the device: taken in the
// same process, or read back from the files that a simulator program keeps in a folder
// (flash.bin, firmware.bin, block-N.bin, record.bin, received.bin, report.json).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "devsim/loader_firmware.h"
#include "devsim/simulated_device.h"

namespace korvane::devsim {

struct LoaderSnapshot {
    std::vector<uint8_t> firmware;
    std::map<uint32_t, std::array<uint8_t, kDataBlockBytes>> blocks;
    std::vector<uint8_t> record;
    std::vector<SeenRequest> requests;
    int closings = 0;

    // The loader's own accessors, so that checks read the same either way.
    const std::vector<uint8_t>& Firmware() const { return firmware; }
    const std::map<uint32_t, std::array<uint8_t, kDataBlockBytes>>& DataBlocks() const {
        return blocks;
    }
    const std::vector<uint8_t>& SerialRecord() const { return record; }
    const std::vector<SeenRequest>& Requests() const { return requests; }
    int ClosingRequests() const { return closings; }
};

struct DeviceSnapshot {
    UniqueId uid{};
    uint32_t flashKib = 0;
    std::vector<uint8_t> flash;
    int erases = 0;
    bool started = false;
    bool loaderRunning = false;
    LoaderSnapshot loader;
    std::vector<uint8_t> received;  // every byte the host sent, as far as it was kept

    const UniqueId& Uid() const { return uid; }
    uint32_t FlashKib() const { return flashKib; }
    const std::vector<uint8_t>& Flash() const { return flash; }
    int EraseCount() const { return erases; }
    bool Started() const { return started; }
    bool LoaderRunning() const { return loaderRunning; }
    const LoaderSnapshot& Loader() const { return loader; }
};

DeviceSnapshot TakeSnapshot(const SimulatedDevice& device, std::vector<uint8_t> received = {});

// Writes the snapshot's files into an existing folder. False when one cannot be written.
bool WriteDeviceFiles(const std::string& folder, const DeviceSnapshot& snapshot);
// Reads what WriteDeviceFiles wrote. False when a file is missing or the report is not
// one this program writes.
bool ReadDeviceFiles(const std::string& folder, DeviceSnapshot* snapshot);

// The report's counters, flags, data-block numbers and request log back into a snapshot.
bool ParseDeviceReport(const std::string& report, DeviceSnapshot* snapshot);

}  // namespace korvane::devsim
