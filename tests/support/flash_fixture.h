// A flash run against the simulated device, with the operator feedback recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "flashing/flash_run.h"
#include "flashing/operator_feedback.h"
#include "flashing/package.h"
#include "link/device_link.h"
#include "support/scratch_folder.h"
#include "support/test_device.h"

namespace korvane::testing {

// Records what the engine tells the operator.
class RecordingFeedback : public OperatorFeedback {
public:
    void ShowStatus(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(text);
    }
    void Progress(int position) override {
        std::lock_guard<std::mutex> lock(mutex);
        progress.push_back(position);
    }
    void EnableCommands(bool on) override {
        std::lock_guard<std::mutex> lock(mutex);
        enables.push_back(on);
    }
    void ShowSequenceNumber(int sequenceNumber) override {
        std::lock_guard<std::mutex> lock(mutex);
        shownSequenceNumbers.push_back(sequenceNumber);
    }
    std::string LastStatus() const { return statuses.empty() ? "" : statuses.back(); }

    std::mutex mutex;
    std::vector<std::string> statuses;
    std::vector<int> progress;
    std::vector<bool> enables;
    std::vector<int> shownSequenceNumbers;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// Bytes that differ from image to image and from position to position.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
    }
    return bytes;
}

// Writes a package of the images to a fresh file and returns its path.
inline std::string WritePackage(const std::vector<PackageImage>& images,
                                const std::string& name = "package.bin") {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(BuildPackage(images, bytes, error)) << error;
    const std::string path = TempFile(name);
    WriteBytes(path, bytes);
    return path;
}

// The simulated device (see TestDevice) and a flash run aimed at it.
struct FlashBench {
    explicit FlashBench(const devsim::DeviceFaults& faults = {}) : device(faults) {
        if (device.Unsuited().empty()) {
            EXPECT_TRUE(device.Start()) << device.ErrorText();
        }
    }
    const std::string& Unsuited() const { return device.Unsuited(); }

    RunResult Flash(const std::string& packagePath, int& sequenceNumber) {
        FlashRequest request;
        request.packagePath = packagePath;
        request.port = {device.PortPath(), device.PortNumber() == 0
                                               ? device.PortPath()
                                               : PlatformPortName(device.PortNumber())};
        request.date = CalendarDate{2027, 3, 3};
        CountedInMemory numbers(sequenceNumber);
        const RunResult result = run.Run(request, numbers).result;
        sequenceNumber = numbers.Next();
        return result;
    }

    template <typename Inspector>
    auto Inspect(Inspector inspect) const {
        return device.Inspect(inspect);
    }

    TestDevice device;
    DeviceLink link;
    RecordingFeedback feedback;
    FlashRun run{link, feedback};
};

}  // namespace korvane::testing
