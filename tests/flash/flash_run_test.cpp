// Whole flash runs through the engine into the simulated device.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <future>
#include <sstream>

#include "devsim/loader_firmware.h"
#include "flashing/status_texts.h"
#include "platform/debug_output.h"
#include "support/flash_fixture.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::FlashBench;
using testing::Pattern;
using testing::WritePackage;

const std::string kRecordText2027Week08 = "K3522708";

std::string Finished(const std::string& name) {
    return FormatText(status::kFinishedFile, name.c_str());
}
std::string Failed(const std::string& name) {
    return FormatText(status::kFailedFile, name.c_str());
}
std::string Writing(const std::string& name) {
    return FormatText(status::kWritingFile, name.c_str());
}

// The blocks from first on hold image, the last one filled up with erased bytes.
void ExpectBlocks(const devsim::DeviceSnapshot& device, uint32_t first, const Bytes& image) {
    const auto& blocks = device.Loader().DataBlocks();
    for (size_t at = 0, block = first; at < image.size(); at += 512, ++block) {
        const auto found = blocks.find(static_cast<uint32_t>(block));
        ASSERT_NE(found, blocks.end()) << "block " << block;
        const size_t n = std::min<size_t>(512, image.size() - at);
        EXPECT_TRUE(std::equal(image.begin() + static_cast<long>(at),
                               image.begin() + static_cast<long>(at + n), found->second.begin()))
            << "block " << block;
        EXPECT_TRUE(std::all_of(found->second.begin() + static_cast<long>(n), found->second.end(),
                                [](uint8_t b) { return b == 0xFF; }))
            << "block " << block << " carries bytes from beyond its entry";
    }
}

const std::vector<PackageImage> kFullPackage = {
    {"DIAG.BIN", Pattern(701, 1)},     {"MCU.BIN", Pattern(1000, 2)},
    {"CFG.BIN", Pattern(600, 3)},      {"xx_LOGO.BIN", Pattern(1100, 4)},
    {"xx_SYSTR.BIN", Pattern(512, 5)}, {"xx_DATA.BIN", Pattern(100, 6)},
    {"BOOT.BIN", Pattern(513, 7)},
};

TEST(FlashRun, WholePackageLandsWhereEachKindBelongs) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage(kFullPackage);
    int sequenceNumber = 42;
    DebugCapture trace;
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);

    EXPECT_EQ(sequenceNumber, 43);
    EXPECT_EQ(bench.feedback.shownSequenceNumbers, std::vector<int>({43}));
    EXPECT_EQ(bench.feedback.LastStatus(), Finished(path));
    EXPECT_EQ(bench.feedback.enables.front(), false);
    EXPECT_EQ(bench.feedback.enables.back(), true);
    for (const auto& image : kFullPackage) {
        EXPECT_NE(std::find(bench.feedback.statuses.begin(), bench.feedback.statuses.end(),
                            Writing(image.name)),
                  bench.feedback.statuses.end());
        EXPECT_NE(std::find(bench.feedback.statuses.begin(), bench.feedback.statuses.end(),
                            Finished(image.name)),
                  bench.feedback.statuses.end());
    }
    // Every entry starts at 0 and ends at exactly 100: nothing beyond an entry is sent.
    const std::vector<int>& progress = bench.feedback.progress;
    ASSERT_EQ(std::count(progress.begin(), progress.end(), 0),
              static_cast<long>(kFullPackage.size()));
    for (size_t i = 1; i <= progress.size(); ++i) {
        if (i == progress.size() || progress[i] == 0) {
            EXPECT_EQ(progress[i - 1], 100) << i;
        }
    }
    EXPECT_LE(*std::max_element(progress.begin(), progress.end()), 100);

    bench.Inspect([&](const devsim::DeviceSnapshot& device) {
        const Bytes& loader = kFullPackage[0].bytes;
        EXPECT_TRUE(std::equal(loader.begin(), loader.end(), device.Flash().begin()));
        // The last chunk was filled up to whole words with erased bytes.
        EXPECT_TRUE(std::all_of(device.Flash().begin() + 701, device.Flash().end(),
                                [](uint8_t b) { return b == 0xFF; }));
        const Bytes& firmware = kFullPackage[1].bytes;
        EXPECT_TRUE(
            std::equal(firmware.begin(), firmware.end(), device.Loader().Firmware().begin()));
        EXPECT_EQ(device.Loader().Firmware()[1000], 0xFF);
        ExpectBlocks(device, 0, kFullPackage[2].bytes);
        ExpectBlocks(device, 128, kFullPackage[3].bytes);
        ExpectBlocks(device, 256, kFullPackage[4].bytes);
        ExpectBlocks(device, 384, kFullPackage[5].bytes);
        ExpectBlocks(device, 65535, kFullPackage[6].bytes);
        EXPECT_EQ(device.Loader().DataBlocks().size(), 2u + 3 + 1 + 1 + 2);
        EXPECT_EQ(devsim::UnscrambleSerialRecord(device.Loader().SerialRecord()),
                  kRecordText2027Week08 + "00042");
        EXPECT_EQ(device.Loader().ClosingRequests(), 1);
    });
    // The closing request is the last thing on the line, answered.
    const std::string text = trace.Text();
    const std::string closing = "55 AA 00 06 00 03 00 00 00 00 08 \n\n";
    ASSERT_GE(text.size(), closing.size());
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    EXPECT_TRUE(bench.link.IsOpen()) << "the port stays open after a run";
}

// The debug trace a run wrote before it read the chip's identity, and where those reads
// come in: right after Get ID, six lines and nothing else changed. Lines end the way the
// bootloader's commands and the loader's frames end them; the serial record's frame and
// what follows it carry the date, and are left out.
TEST(FlashRun, TheTraceIsTheHandshakeOfOldWithOnlyTheChipsIdentityReadsAdded) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path =
        WritePackage({{"DIAG.BIN", Pattern(6, 1)}, {"MCU.BIN", Pattern(16, 2)}});
    int sequenceNumber = 7;
    DebugCapture trace;
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);

    std::vector<std::string> before = {
        "7F 00 FF ",
        "01 FE ",
        "02 FD ",  // sync, Get, Get Version, Get ID
        "43 BC ",
        "FF 00 ",  // mass erase
        "31 CE ",
        "08 00 00 00 08 ",
        "07 1F 26 2D 34 3B 42 FF FF 5E ",  // the loader
        "21 DE ",
        "08 00 00 00 08 ",  // Go
        "55 AA 00 06 01 00 00 00 00 00 06 ",
        "",  // the firmware
        "55 AA 00 16 01 02 08 00 00 00 3E 45 4C 53 5A 61 68 6F 76 7D 84 8B 92 99 A0 A7 48 ",
        ""};
    const std::vector<std::string> identityReads = {
        "11 EE ", "1F FF F7 E0 F7 ", "01 FE ",   // Read Memory of the flash size
        "11 EE ", "1F FF F7 E8 FF ", "0B F4 "};  // and of the 12-byte unique ID
    std::vector<std::string> expected(before.begin(), before.begin() + 3);
    expected.insert(expected.end(), identityReads.begin(), identityReads.end());
    expected.insert(expected.end(), before.begin() + 3, before.end());

    std::vector<std::string> lines;
    std::istringstream text(trace.Text());
    for (std::string line; std::getline(text, line) && line.rfind("55 AA 00 13 ", 0) != 0;) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, expected);
}

TEST(FlashRun, ChunksStopAtTheEntryEndWithExactProgress) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    // The firmware is followed by other data in the file, which must not be sent.
    const std::string path = WritePackage({{"DIAG.BIN", Pattern(64, 1)},
                                           {"MCU.BIN", Pattern(1000, 2)},
                                           {"x_LOGO.BIN", Pattern(1000, 3)}});
    int sequenceNumber = 7;
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);
    std::vector<std::pair<uint32_t, uint16_t>> chunks;
    bench.Inspect([&](const devsim::DeviceSnapshot& device) {
        for (const auto& r : device.Loader().Requests()) {
            if (r.command == 1 && r.subCommand == 2)
                chunks.push_back({r.address, r.dataLength});
            if (r.command == 0 && r.subCommand == 2)
                chunks.push_back({r.address, r.dataLength});
        }
    });
    EXPECT_EQ(chunks, (std::vector<std::pair<uint32_t, uint16_t>>{{0x08000000, 256},
                                                                  {0x08000100, 256},
                                                                  {0x08000200, 256},
                                                                  {0x08000300, 232},
                                                                  {0x0800FF00, 13},
                                                                  {128, 512},
                                                                  {129, 512}}));
    // Loader (64 bytes: one chunk), firmware, then the data image.
    EXPECT_EQ(bench.feedback.progress, std::vector<int>({0, 100, 0, 26, 51, 77, 100, 0, 51, 100}));
}

TEST(FlashRun, NoDeviceEndsAtConnectWithThePortClosed) {
    devsim::DeviceFaults faults;
    faults.silent = true;
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage(kFullPackage);
    int sequenceNumber = 41;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kNotConnected);
    EXPECT_EQ(bench.feedback.statuses, std::vector<std::string>({"Failed to connect the device."}));
    EXPECT_TRUE(bench.feedback.enables.empty());
    EXPECT_FALSE(bench.link.IsOpen());
    EXPECT_EQ(sequenceNumber, 41);
}

TEST(FlashRun, PortThatCannotBeOpenedChangesNothing) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    FlashRequest request;
    request.packagePath = WritePackage(kFullPackage);
    request.port.device = "/nonexistent/tty";
    CountedInMemory numbers(5);
    EXPECT_EQ(bench.run.Run(request, numbers), RunResult::kPortNotOpened);
    EXPECT_EQ(bench.feedback.statuses,
              std::vector<std::string>({"Failed to open the serial port."}));
    EXPECT_EQ(numbers.Next(), 5);
}

TEST(FlashRun, MissingPackageIsReportedAndNothingIsWritten) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    int sequenceNumber = 5;
    const std::string path = testing::TempFile("missing.bin");
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFileNotOpened);
    EXPECT_EQ(bench.feedback.LastStatus(), FormatText(status::kFileNotOpened, path.c_str()));
    EXPECT_TRUE(bench.feedback.enables.empty());
    EXPECT_EQ(sequenceNumber, 5);
    EXPECT_EQ(bench.Inspect([](const devsim::DeviceSnapshot& d) { return d.EraseCount(); }), 0);
}

struct LoaderFault {
    const char* name;
    std::string failingEntry;  // empty: the run succeeds
    std::function<void(devsim::LoaderFaults&)> apply;
};

void PrintTo(const LoaderFault& fault, std::ostream* os) {
    *os << fault.name;
}

class FlashRunFaults : public ::testing::TestWithParam<LoaderFault> {};

TEST_P(FlashRunFaults, FinalStatusDeviceAndSequenceNumberAgree) {
    devsim::DeviceFaults faults;
    GetParam().apply(faults.loader);
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage({{"DIAG.BIN", Pattern(300, 1)},
                                           {"MCU.BIN", Pattern(600, 2)},
                                           {"CFG.BIN", Pattern(700, 3)}});
    int sequenceNumber = 41;
    const RunResult result = bench.Flash(path, sequenceNumber);
    const bool shouldSucceed = GetParam().failingEntry.empty();
    EXPECT_EQ(result, shouldSucceed ? RunResult::kSucceeded : RunResult::kFailed);
    // A number that went out in a serial record is spent, even when the device refused it.
    const bool recordSent = shouldSucceed || std::string(GetParam().name) == "RefusedSerialRecord";
    EXPECT_EQ(sequenceNumber, recordSent ? 42 : 41);
    EXPECT_EQ(bench.feedback.LastStatus(), shouldSucceed ? Finished(path) : Failed(path));
    EXPECT_EQ(bench.feedback.enables.back(), true);
    if (!shouldSucceed) {
        EXPECT_NE(std::find(bench.feedback.statuses.begin(), bench.feedback.statuses.end(),
                            Failed(GetParam().failingEntry)),
                  bench.feedback.statuses.end());
    }
    bench.Inspect([&](const devsim::DeviceSnapshot& device) {
        // The closing request is sent whatever became of the entries.
        EXPECT_EQ(device.Loader().ClosingRequests(), 1);
        // A failing firmware entry does not stop the data entry after it.
        ExpectBlocks(device, 0, Pattern(700, 3));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FlashRunFaults,
    ::testing::Values(LoaderFault{"RefusedStart", "MCU.BIN",
                                  [](devsim::LoaderFaults& f) {
                                      f.refuse.push_back({1, 0, std::nullopt});
                                  }},
                      LoaderFault{"SilentChunk", "MCU.BIN",
                                  [](devsim::LoaderFaults& f) {
                                      f.ignore.push_back({1, 2, 0x08000100});
                                  }},
                      LoaderFault{"RefusedSerialRecord", "MCU.BIN",
                                  [](devsim::LoaderFaults& f) {
                                      f.refuse.push_back({1, 2, 0x0800FF00});
                                  }},
                      LoaderFault{"BadChecksumBeforeGoodReply", "",
                                  [](devsim::LoaderFaults& f) { f.badChecksumFirst = true; }},
                      LoaderFault{"NoiseBeforeReplies", "",
                                  [](devsim::LoaderFaults& f) { f.noiseBeforeReplies = true; }},
                      LoaderFault{"LongestReplies", "",
                                  [](devsim::LoaderFaults& f) { f.extraPayload = 65534; }}),
    [](const ::testing::TestParamInfo<LoaderFault>& info) { return info.param.name; });

TEST(FlashRun, RefusedStartLeavesTheFirmwareUntouchedAndProgressAtZero) {
    devsim::DeviceFaults faults;
    faults.loader.refuse.push_back({1, 0, std::nullopt});
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path =
        WritePackage({{"DIAG.BIN", Pattern(8, 1)}, {"mcu.bin", Pattern(600, 2)}});
    int sequenceNumber = 41;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    // The name is shown as the package stores it.
    EXPECT_EQ(bench.feedback.statuses[bench.feedback.statuses.size() - 2], Failed("mcu.bin"));
    EXPECT_EQ(bench.feedback.progress.back(), 0);
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        EXPECT_EQ(device.Loader().Firmware()[0], 0xFF);
        EXPECT_TRUE(device.Loader().SerialRecord().empty());
    });
}

// The loader announces itself shortly after Go; only the pause and the purge keep that
// banner from being taken for the answer to the first service request.
TEST(FlashRun, LoaderThatFailedPartwayIsStillStartedAndItsBannerDiscarded) {
    devsim::DeviceFaults faults;
    faults.refuseWriteAt = 0x08000100;  // the loader's second chunk
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage({{"DIAG.BIN", Pattern(600, 1)},
                                           {"MCU.BIN", Pattern(300, 2)},
                                           {"CFG.BIN", Pattern(100, 3)}});
    int sequenceNumber = 3;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    const auto& statuses = bench.feedback.statuses;
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), Failed("DIAG.BIN")), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), Finished("MCU.BIN")), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), Finished("CFG.BIN")), statuses.end());
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        EXPECT_TRUE(device.Started());
        EXPECT_EQ(devsim::UnscrambleSerialRecord(device.Loader().SerialRecord()),
                  kRecordText2027Week08 + "00003");
        ExpectBlocks(device, 0, Pattern(100, 3));
        EXPECT_EQ(device.Loader().ClosingRequests(), 1);
    });
}

TEST(FlashRun, LaterSuccessDoesNotHideAnEarlierFailure) {
    devsim::DeviceFaults faults;
    faults.loader.refuse.push_back({0, 2, 0});  // the first CFG block
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage(
        {{"DIAG.BIN", Pattern(8, 1)}, {"CFG.BIN", Pattern(100, 2)}, {"MCU.BIN", Pattern(100, 3)}});
    int sequenceNumber = 10;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    EXPECT_EQ(bench.feedback.LastStatus(), Failed(path));
    // The device that failed as a whole keeps the number it received; the next gets 11.
    EXPECT_EQ(sequenceNumber, 11);
    EXPECT_EQ(bench.feedback.shownSequenceNumbers, std::vector<int>({11}));
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        EXPECT_EQ(devsim::UnscrambleSerialRecord(device.Loader().SerialRecord()).substr(8), "00010")
            << "the firmware after it went in";
    });
}

TEST(FlashRun, EntryBeyondTheFileEndFailsBeforeAnythingIsSent) {
    // Build packages, then cut their last image off the file.
    const auto cutPackage = [](const std::vector<PackageImage>& images) {
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(BuildPackage(images, bytes, error));
        bytes.resize(bytes.size() - images.back().bytes.size());
        const std::string path = testing::TempFile("cut.bin");
        testing::WriteBytes(path, bytes);
        return path;
    };
    {
        FlashBench bench;
        KORVANE_SKIP_IF_UNSUITED(bench);
        const std::string path = cutPackage({{"DIAG.BIN", Pattern(100, 1)},
                                             {"CFG.BIN", Pattern(100, 2)},
                                             {"MCU.BIN", Pattern(100, 3)}});
        int sequenceNumber = 3;
        EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
        EXPECT_EQ(sequenceNumber, 3);
        const auto& statuses = bench.feedback.statuses;
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), Failed("MCU.BIN")), statuses.end());
        EXPECT_EQ(bench.feedback.LastStatus(), Failed(path));
        bench.Inspect([](const devsim::DeviceSnapshot& device) {
            for (const auto& r : device.Loader().Requests()) {
                EXPECT_NE(r.command, 1)
                    << "a firmware request went out for an image that is not there";
            }
            ExpectBlocks(device, 0, Pattern(100, 2));
        });
    }
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = cutPackage({{"DIAG.BIN", Pattern(100, 2)}});
    int sequenceNumber = 3;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        EXPECT_EQ(device.EraseCount(), 0) << "the flash was erased for an image that is not there";
    });
}

// The directory of a built package, patched: entry slot gets this offset and size.
void PatchEntry(std::vector<uint8_t>& package, size_t slot, uint32_t offset, uint32_t size) {
    uint8_t* field = package.data() + kPackageHeaderBytes + slot * kDirectoryEntryBytes;
    for (int i = 0; i < 4; ++i) {
        field[i] = static_cast<uint8_t>(offset >> (8 * i));
        field[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
}

TEST(FlashRun, EntriesCutShortFailWholeAndTheRestGoesOn) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(BuildPackage({{"DIAG.BIN", Pattern(8, 1)},
                              {"CFG.BIN", Pattern(100, 2)},
                              {"x_LOGO.BIN", Pattern(100, 3)},
                              {"BOOT.BIN", Pattern(100, 4)},
                              {"MCU.BIN", Pattern(600, 5)}},
                             bytes, error));
    const uint32_t cfgOffset = 208 + 8;
    const uint32_t bootOffset = 208 + 8 + 100 + 100;
    PatchEntry(bytes, 1, cfgOffset, 0xFFFFFFFF);             // a size of all ones
    PatchEntry(bytes, 3, bootOffset, 0u - bootOffset + 16);  // offset + size wraps to 16
    bytes.resize(bytes.size() - 300);                        // a truncated copy: MCU.BIN half there
    const std::string path = testing::TempFile("damaged.bin");
    testing::WriteBytes(path, bytes);
    int sequenceNumber = 3;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    EXPECT_EQ(sequenceNumber, 3);
    const auto& statuses = bench.feedback.statuses;
    for (const char* name : {"CFG.BIN", "BOOT.BIN", "MCU.BIN"}) {
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), Failed(name)), statuses.end())
            << name;
    }
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), Finished("x_LOGO.BIN")), statuses.end());
    EXPECT_EQ(bench.feedback.LastStatus(), Failed(path));
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        // Only the whole entry was announced and sent; nothing of the others, not even a
        // start request.
        int starts = 0;
        for (const auto& r : device.Loader().Requests()) {
            EXPECT_NE(r.command, 1) << "a firmware request went out for a cut image";
            starts += r.command == 0 && r.subCommand == 0;
        }
        EXPECT_EQ(starts, 1);
        ExpectBlocks(device, 128, Pattern(100, 3));
        EXPECT_EQ(device.Loader().DataBlocks().size(), 1u);
    });
}

TEST(FlashRun, LoaderThatNeverWentInIsNotStartedAndNothingFollowsIt) {
    devsim::DeviceFaults faults;
    faults.refuseCommand = 0x43;  // the erase
    FlashBench bench(faults);
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = WritePackage(
        {{"DIAG.BIN", Pattern(8, 1)}, {"MCU.BIN", Pattern(100, 2)}, {"CFG.BIN", Pattern(100, 3)}});
    int sequenceNumber = 3;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    EXPECT_EQ(bench.feedback.statuses,
              std::vector<std::string>({Writing("DIAG.BIN"), Failed("DIAG.BIN"), Failed("MCU.BIN"),
                                        Failed("CFG.BIN"), Failed(path)}));
    // The identity exchanges, then the chip's signature read from system memory; after
    // the refused erase nothing at all: no Go, no frame, no closing request.
    EXPECT_EQ(
        bench.device.Received(),
        Bytes({0x7F, 0x00, 0xFF, 0x01, 0xFE, 0x02, 0xFD, 0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7,
               0x01, 0xFE, 0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE8, 0xFF, 0x0B, 0xF4, 0x43, 0xBC}));
    EXPECT_FALSE(bench.device.Started());
    EXPECT_EQ(bench.feedback.enables.back(), true);
}

#ifndef _WIN32
TEST(FlashRun, OnlyARegularFileIsAPackageAndNothingWaitsOnOpeningIt) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string fifo = testing::TempFile("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = testing::TempFile("folder.bin");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (const std::string& path : {fifo, folder, std::string("/dev/null")}) {
        bench.feedback.statuses.clear();
        int sequenceNumber = 3;
        auto run =
            std::async(std::launch::async, [&] { return bench.Flash(path, sequenceNumber); });
        if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "opening " << path << " blocks";
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a writer lets it go on
        }
        EXPECT_EQ(run.get(), RunResult::kFileNotOpened) << path;
        EXPECT_EQ(bench.feedback.statuses,
                  std::vector<std::string>({FormatText(status::kFileNotOpened, path.c_str())}));
    }
    EXPECT_TRUE(bench.device.Received().empty()) << "the port was touched";
    EXPECT_FALSE(bench.link.IsOpen());
}
#endif

TEST(FlashRun, PackageOfEmptyEntriesStillClosesTheUpdate) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = testing::TempFile("empty.bin");
    testing::WriteBytes(path, Bytes(208, 0));
    int sequenceNumber = 3;
    // No loader is started, so the closing request finds no one to answer it.
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kFailed);
    EXPECT_EQ(bench.feedback.LastStatus(), Failed(path));
    const Bytes received = bench.device.Received();
    const Bytes closing = {0x55, 0xAA, 0x00, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x08};
    ASSERT_GE(received.size(), closing.size());
    EXPECT_EQ(Bytes(received.end() - 11, received.end()), closing);
}

// An image alone is refused before the port is touched: nothing happens to the device.
TEST(FlashRun, ChosenImageFileIsNotWritten) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path = testing::TempFile("MCU.BIN");
    testing::WriteBytes(path, Pattern(600, 1));
    int sequenceNumber = 3;
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kNotAPackage);
    EXPECT_EQ(sequenceNumber, 3);
    EXPECT_TRUE(bench.feedback.statuses.empty());
    EXPECT_TRUE(bench.feedback.enables.empty());
    bench.Inspect([](const devsim::DeviceSnapshot& device) {
        EXPECT_EQ(device.EraseCount(), 0);
        EXPECT_TRUE(device.Loader().Requests().empty());
    });
    EXPECT_TRUE(bench.device.Received().empty()) << "the port was touched";
    EXPECT_FALSE(bench.link.IsOpen());
}

TEST(FlashRun, LastValidSequenceNumberAdvancesOnceAndThenRunsAreRefused) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path =
        WritePackage({{"DIAG.BIN", Pattern(8, 1)}, {"MCU.BIN", Pattern(100, 2)}});
    int sequenceNumber = 99999;
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);
    EXPECT_EQ(sequenceNumber, 100000);
    EXPECT_EQ(bench.Inspect([](const devsim::DeviceSnapshot& d) {
        return devsim::UnscrambleSerialRecord(d.Loader().SerialRecord());
    }),
              kRecordText2027Week08 + "99999");
    bench.device.ClearReceived();
    EXPECT_EQ(bench.Flash(path, sequenceNumber), RunResult::kBadSequenceNumber);
    EXPECT_EQ(sequenceNumber, 100000);
    EXPECT_TRUE(bench.device.Received().empty()) << "the port was touched";
    int zero = 0;
    EXPECT_EQ(bench.Flash(path, zero), RunResult::kBadSequenceNumber);
}

TEST(FlashRun, RunsAreRepeatableOnTheSameDevice) {
    FlashBench bench;
    KORVANE_SKIP_IF_UNSUITED(bench);
    const std::string path =
        WritePackage({{"DIAG.BIN", Pattern(40, 1)}, {"MCU.BIN", Pattern(100, 2)}});
    int sequenceNumber = 1;
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);
    ASSERT_EQ(bench.Flash(path, sequenceNumber), RunResult::kSucceeded);
    EXPECT_EQ(sequenceNumber, 3);
    EXPECT_EQ(bench.Inspect([](const devsim::DeviceSnapshot& d) {
        return devsim::UnscrambleSerialRecord(d.Loader().SerialRecord());
    }),
              kRecordText2027Week08 + "00002");
}

}  // namespace
}  // namespace korvane
