// The serial layer on real Linux drivers: the product's own programs, run in a QEMU guest,
// flash simulated devices through ftdi_sio (an FTDI adapter on USB) and the 8250 driver (a
// 16550), and the device sees what the drivers make of the line: its settings, the reset
// pulse on the modem lines, the adapter's latency timer, an adapter pulled out.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <tuple>

#include "devsim/loader_firmware.h"
#include "drivers/driver_bench.h"
#include "flashing/entry_kind.h"
#include "support/timing.h"

namespace korvane::testing {
namespace {

using devsim::ResetWiring;
using Kind = LineEvent::Kind;

class BenchEnvironment : public ::testing::Environment {
public:
    void SetUp() override { DriverBench::Get(); }
    void TearDown() override { DriverBench::TearDown(); }
};
::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new BenchEnvironment);

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The fields of one CSV line (RFC 4180: quoted fields with their quotes doubled).
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// What the default wiring does between the tool's open and its first byte: BOOT0 raised
// (DTR cleared), RESET held (RTS set), RESET released (RTS cleared), each step 100 ms
// after the one before, and the synchronisation byte 100 ms after the last.
constexpr double kStepMs = 100;
// How far a step may be from its time, as the device sees it.
constexpr double kStepToleranceMs = 5;
// The 16550's modem control bit that hands RTS and CTS to the hardware.
constexpr int kUartAutoFlowControl = 0x20;

// Each test starts a timeline; a failed one prints it, from the test's start on.
class DriversTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bench.Ready()) << bench.ErrorText();
        ASSERT_TRUE(bench.AdapterIn()) << "the adapter that a test pulled out is not back";
        from = WallNow();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home = std::regex_replace(std::string(info->test_suite_name()) + "-" + info->name(),
                                  std::regex("[^A-Za-z0-9]"), "-");
        bench.Note(std::string("test ") + info->test_suite_name() + "." + info->name());
    }
    void TearDown() override {
        if (HasFailure() && bench.Ready()) {
            const std::string path = bench.Folder() + "/" + home + ".timeline";
            std::ofstream(path) << bench.TimelineFrom(from);
            std::printf("The test's timeline (seconds from its start), also in %s:\n%s\n",
                        path.c_str(), bench.TimelineFrom(from).c_str());
        }
    }

    // The device holds every entry of the sample package, as its images are.
    void ExpectSamplePackageOn(GuestPort port) {
        const devsim::DeviceSnapshot device = bench.Device(port).Snapshot();
        for (const char* name :
             {"DIAG.BIN", "MCU.BIN", "CFG.BIN", "K_LOGO.BIN", "K_SYSTR.BIN", "K_DATA.BIN"}) {
            SCOPED_TRACE(name);
            const std::vector<uint8_t> image = FileBytes(bench.PackageImages() + "/" + name);
            ASSERT_FALSE(image.empty());
            const EntryKind kind = ClassifyName(name);
            switch (WriterFor(kind)) {
                case EntryWriter::kLoader:
                    ASSERT_GE(device.flash.size(), image.size());
                    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.flash.begin()));
                    break;
                case EntryWriter::kFirmware:
                    ASSERT_GE(device.loader.firmware.size(), image.size());
                    EXPECT_TRUE(
                        std::equal(image.begin(), image.end(), device.loader.firmware.begin()));
                    break;
                case EntryWriter::kData:
                    for (size_t at = 0; at < image.size(); at += devsim::kDataBlockBytes) {
                        const auto block =
                            device.loader.blocks.find(kind + at / devsim::kDataBlockBytes);
                        ASSERT_NE(block, device.loader.blocks.end()) << "no block at " << at;
                        const size_t length = std::min(devsim::kDataBlockBytes, image.size() - at);
                        EXPECT_TRUE(std::equal(image.begin() + at, image.begin() + at + length,
                                               block->second.begin()))
                            << "block at " << at;
                    }
                    break;
            }
        }
    }

    // What the port's driver and device saw of an identify run on the port: the trace's
    // events and the bytes the device received, from the test's start on.
    struct Seen {
        std::vector<LineEvent> events;
        std::vector<Received> received;
    };
    Seen Identify(GuestPort port) {
        const GuestMachine::Result run =
            bench.Flash(home, {"identify", "--port", DriverBench::PortPath(port)});
        EXPECT_EQ(run.status, 0) << run.output;
        return {bench.EventsFrom(from, port), bench.ReceivedFrom(from, port)};
    }

    // Starts a command in the guest that goes on after Run returns: its output in the
    // harness folder's NAME.out, its process id in NAME.pid.
    void StartInGuest(const std::string& name, const std::string& command) {
        ASSERT_EQ(bench
                      .Run(home, command + " >/run/korvane/" + name +
                                     ".out 2>&1 & echo $! >/run/korvane/" + name + ".pid")
                      .status,
                  0);
    }
    std::string OutputOf(const std::string& name) const {
        return FileText(bench.Folder() + "/" + name + ".out");
    }
    // Sends the signal to a command started so, and waits for its end.
    void StopInGuest(const std::string& name, const char* signal) {
        const std::string pid = "$(cat /run/korvane/" + name + ".pid)";
        EXPECT_EQ(bench
                      .Run(home, "kill -" + std::string(signal) + " " + pid + "; while kill -0 " +
                                     pid + " 2>/dev/null; do sleep 0.05; done")
                      .status,
                  0);
    }
    // Waits until the port's device has taken a whole run, up to its closing request.
    bool WaitForClosing(GuestPort port, uint32_t timeoutMs = 60000) {
        return PollUntil([&] { return bench.Device(port).Snapshot().loader.closings > 0; },
                         timeoutMs);
    }
    size_t BytesReceived(GuestPort port) {
        size_t count = 0;
        for (const Received& block : bench.ReceivedFrom(from, port)) {
            count += block.bytes.size();
        }
        return count;
    }

    // The serial number the port's device holds, as text ("" when it holds none).
    std::string RecordOn(GuestPort port) {
        return devsim::UnscrambleSerialRecord(bench.Device(port).Snapshot().loader.record);
    }

    // The sequence number in that record, as its five digits.
    std::string NumberOn(GuestPort port) {
        const std::string record = RecordOn(port);
        return record.size() == 13 ? record.substr(8) : "(no record: \"" + record + "\")";
    }

    DriverBench& bench = DriverBench::Get();
    double from = 0;
    std::string home;
};

class OnEachPort : public DriversTest, public ::testing::WithParamInterface<GuestPort> {
protected:
    GuestPort Port() const { return GetParam(); }
    std::string PortPath() const { return DriverBench::PortPath(GetParam()); }
};

std::string PortName(const ::testing::TestParamInfo<GuestPort>& info) {
    return info.param == GuestPort::kFtdi ? "Ftdi" : "Uart";
}

TEST_P(OnEachPort, FlashesTheSamplePackageWithItsRecordAndJournal) {
    bench.PutInDevice(Port());
    const GuestMachine::Result run =
        bench.Flash(home, {"--port", PortPath(), "--sn", "41", bench.Package()});
    ASSERT_EQ(run.status, 0) << run.output;
    ExpectSamplePackageOn(Port());
    const std::string record = RecordOn(Port());
    ASSERT_EQ(record.size(), 13u) << record;
    EXPECT_EQ(record.substr(8), "00041");
    const GuestMachine::Result journal = bench.Flash(home, {"journal", "--csv"});
    ASSERT_EQ(journal.status, 0) << journal.output;
    EXPECT_NE(journal.output.find(record), std::string::npos) << journal.output;
}

TEST_P(OnEachPort, LineIs115200EvenParityOneStopBitWithoutFlowControl) {
    bench.PutInDevice(Port());
    const auto [events, received] = Identify(Port());
    ASSERT_FALSE(received.empty());
    // What was in force when the first byte went out: the last settings before it.
    std::optional<LineEvent> baud, format, flow;
    for (const LineEvent& event : events) {
        if (event.time > received.front().time) {
            break;
        }
        if (event.kind == Kind::kBaud) {
            baud = event;
        } else if (event.kind == Kind::kDataFormat) {
            format = event;
        } else if (event.kind == Kind::kFlowControl) {
            flow = event;
        }
    }
    ASSERT_TRUE(baud && format);
    // An FTDI adapter divides its clock: 115200 comes out as 115384.
    EXPECT_NEAR(baud->value, 115200, 115200 * 0.005);
    EXPECT_EQ(format->dataBits, 8);
    EXPECT_EQ(format->parity, 'E');
    EXPECT_EQ(format->stopBits, 1);
    // The FTDI adapter is told its flow control; the 16550 has it in its modem control
    // register.
    if (Port() == GuestPort::kFtdi) {
        ASSERT_TRUE(flow);
        EXPECT_EQ(flow->value, 0) << "flow control on";
    }
    for (const LineEvent& event : events) {
        if (Port() == GuestPort::kUart && event.kind == Kind::kModemLines) {
            EXPECT_EQ(event.value & kUartAutoFlowControl, 0) << "auto flow control on";
        }
    }
}

TEST_P(OnEachPort, DefaultResetReachesTheDeviceInOrderAndOnTime) {
    bench.PutInDevice(Port());
    const auto [events, received] = Identify(Port());
    ASSERT_FALSE(received.empty());
    // The modem-line requests before the first byte; the last three are the pulse.
    std::vector<LineEvent> lines;
    for (const LineEvent& event : events) {
        if (event.kind == Kind::kModemLines && event.time < received.front().time) {
            lines.push_back(event);
        }
    }
    ASSERT_GE(lines.size(), 3u);
    const LineEvent& boot0 = lines[lines.size() - 3];
    const LineEvent& held = lines[lines.size() - 2];
    const LineEvent& released = lines[lines.size() - 1];
    EXPECT_TRUE(!boot0.dtr && !boot0.rts) << "BOOT0 is not raised with RESET released";
    EXPECT_TRUE(!held.dtr && held.rts) << "RESET is not held with BOOT0 raised";
    EXPECT_TRUE(!released.dtr && !released.rts) << "RESET is not released with BOOT0 raised";
    // BOOT0 must be up for the settle time before RESET. The adapter takes every request,
    // changed or not; the 8250 driver writes no register for a line already so, and the
    // device's last sign of BOOT0 is then the open's clearing, a little earlier.
    EXPECT_GE((held.time - boot0.time) * 1000, kStepMs - kStepToleranceMs) << "settle";
    if (Port() == GuestPort::kFtdi) {
        EXPECT_LE((held.time - boot0.time) * 1000, kStepMs + kStepToleranceMs) << "settle";
    }
    EXPECT_NEAR((released.time - held.time) * 1000, kStepMs, kStepToleranceMs) << "pulse";
    EXPECT_NEAR((received.front().time - released.time) * 1000, kStepMs, kStepToleranceMs)
        << "settle before the synchronisation";
    EXPECT_EQ(received.front().bytes.front(), 0x7F);
}

INSTANTIATE_TEST_SUITE_P(Drivers, OnEachPort, ::testing::Values(GuestPort::kFtdi, GuestPort::kUart),
                         PortName);

// Benches wired otherwise than the default, and the [Fixture] line that suits each.
struct Bench {
    const char* name;
    ResetWiring fixture;
    const char* line;
};

constexpr auto kDtr = ResetWiring::Line::kDtr;
constexpr auto kRts = ResetWiring::Line::kRts;

// The driver's own pulse as it opens the port (DTR and RTS raised, then cleared by the
// tool within a millisecond or two) restarts a chip on the swapped lines into its
// bootloader, and the default wiring would seem to work there. Benches filter RESET; a
// filter that lets 20 ms through and no less keeps that pulse out.
constexpr uint32_t kResetFilterMs = 20;

const Bench kBenches[] = {
    {"Swapped", ResetWiring{kDtr, false, kRts, false, kResetFilterMs},
     "reset=dtr,boot0=rts,pulse=100ms,settle=100ms,exit=none"},
    {"ResetInverted", ResetWiring{kRts, true, kDtr, false, 0},
     "reset=!rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none"},
    {"Boot0Inverted", ResetWiring{kRts, false, kDtr, true, 0},
     "reset=rts,boot0=!dtr,pulse=100ms,settle=100ms,exit=none"},
    {"SlowReset", ResetWiring{kRts, false, kDtr, false, 250},
     "reset=rts,boot0=dtr,pulse=500ms,settle=100ms,exit=none"},
};

void PrintTo(const Bench& bench, std::ostream* out) {
    *out << bench.name;
}

class OnEachWiring : public DriversTest,
                     public ::testing::WithParamInterface<std::tuple<GuestPort, Bench>> {};

TEST_P(OnEachWiring, DefaultFailsItsLineAnswersAndTheProbeFindsIt) {
    const GuestPort port = std::get<0>(GetParam());
    const Bench& wired = std::get<1>(GetParam());
    const std::string path = DriverBench::PortPath(port);
    bench.PutInDevice(port, wired.fixture);
    EXPECT_NE(bench.Flash(home, {"identify", "--port", path}).status, 0)
        << "the default wiring reached the bootloader";
    const GuestMachine::Result probe =
        bench.Flash(home, {"identify", "--port", path, "--try-wirings"});
    EXPECT_EQ(probe.status, 0) << probe.output;
    EXPECT_NE(probe.output.find(std::string("Wiring=") + wired.line), std::string::npos)
        << probe.output;
    ASSERT_TRUE(bench.WriteProfile(home, std::string("[Fixture]\nWiring=") + wired.line + "\n"));
    const GuestMachine::Result identified = bench.Flash(home, {"identify", "--port", path});
    EXPECT_EQ(identified.status, 0) << identified.output;
}

INSTANTIATE_TEST_SUITE_P(Drivers, OnEachWiring,
                         ::testing::Combine(::testing::Values(GuestPort::kFtdi, GuestPort::kUart),
                                            ::testing::ValuesIn(kBenches)),
                         [](const ::testing::TestParamInfo<std::tuple<GuestPort, Bench>>& info) {
                             return std::string(std::get<0>(info.param) == GuestPort::kFtdi
                                                    ? "Ftdi"
                                                    : "Uart") +
                                    std::get<1>(info.param).name;
                         });

using FtdiAdapter = DriversTest;

TEST_F(FtdiAdapter, AsksForALowLatencyTimerAndGivesTheOldOneBack) {
    bench.PutInDevice(GuestPort::kFtdi);
    // The timer as the driver set it when it bound the adapter, or as the last run left it.
    std::optional<int> before;
    for (const LineEvent& event : bench.EventsFrom(0, GuestPort::kFtdi)) {
        if (event.kind == Kind::kLatencyTimer && event.time < from) {
            before = event.value;
        }
    }
    ASSERT_TRUE(before) << "the driver never set the latency timer";
    const auto [events, received] = Identify(GuestPort::kFtdi);
    ASSERT_FALSE(received.empty());
    std::vector<LineEvent> timers;
    for (const LineEvent& event : events) {
        if (event.kind == Kind::kLatencyTimer) {
            timers.push_back(event);
        }
    }
    ASSERT_GE(timers.size(), 2u) << "the latency timer was not asked for and given back";
    EXPECT_EQ(timers.front().value, 1);
    EXPECT_LT(timers.front().time, received.front().time) << "asked for only after talking";
    EXPECT_EQ(timers.back().value, *before);
    EXPECT_GT(timers.back().time, received.back().time) << "given back while talking";
}

TEST_F(FtdiAdapter, PulledOutMidRunIsToldAtOnceAndJournaledAndLosesNoNumber) {
    bench.PutInDevice(GuestPort::kFtdi);
    ASSERT_TRUE(bench.WriteProfile(home, "[Setting]\nSN=60\n"));
    StartInGuest("pulled", DriverBench::Quoted(KORVANE_FLASH_EXE) + " --port /dev/ttyUSB0 " +
                               DriverBench::Quoted(bench.Package()));
    // Mid-run: the loader image is in, and the firmware on its way.
    ASSERT_TRUE(PollUntil([&] { return BytesReceived(GuestPort::kFtdi) > 6000; }, 60000));
    const double pulled = WallNow();
    ASSERT_TRUE(bench.PullOutAdapter());
    double told = 0;
    ASSERT_TRUE(PollUntil(
        [&] {
            told = WallNow();
            return OutputOf("pulled").find("went away") != std::string::npos;
        },
        10000))
        << OutputOf("pulled");
    EXPECT_LT(told - pulled, 1.0) << OutputOf("pulled");
    StopInGuest("pulled", "0");

    // The journal has the run, failed, and whether its number reached the device.
    const GuestMachine::Result journal = bench.Flash(home, {"journal", "--csv"});
    ASSERT_EQ(journal.status, 0) << journal.output;
    std::istringstream rows(journal.output);
    std::string row;
    std::getline(rows, row);  // the header
    ASSERT_TRUE(std::getline(rows, row)) << journal.output;
    const std::vector<std::string> record = CsvFields(row);
    ASSERT_GE(record.size(), 9u) << journal.output;
    EXPECT_EQ(record[8], "failed") << journal.output;

    // Put back, the adapter is the same port again, and the next device gets the next
    // number: 60 unless the pulled run's record holds it.
    ASSERT_TRUE(bench.PutBackAdapter());
    bench.PutInDevice(GuestPort::kFtdi);
    const GuestMachine::Result again =
        bench.Flash(home, {"--port", "/dev/ttyUSB0", bench.Package()});
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(NumberOn(GuestPort::kFtdi), record[6] == "60" ? "00061" : "00060") << journal.output;
}

TEST_F(FtdiAdapter, WatchKeepsTheOtherFixtureGoingAndTakesTheAdapterUpAgain) {
    bench.PutInDevice(GuestPort::kFtdi);
    bench.PutInDevice(GuestPort::kUart);
    ASSERT_TRUE(bench.WriteProfile(home, "[Setting]\nSN=80\n[Station]\nProbeMs=300\n"));
    StartInGuest("watch", DriverBench::Quoted(KORVANE_FLASH_EXE) +
                              " --watch --port /dev/ttyUSB0 --port /dev/ttyS1 " +
                              DriverBench::Quoted(bench.Package()));
    ASSERT_TRUE(WaitForClosing(GuestPort::kFtdi)) << OutputOf("watch");
    ASSERT_TRUE(WaitForClosing(GuestPort::kUart)) << OutputOf("watch");

    ASSERT_TRUE(bench.PullOutAdapter());
    // The other fixture goes on: a new device there is flashed while the adapter is out.
    bench.PutInDevice(GuestPort::kUart);
    EXPECT_TRUE(WaitForClosing(GuestPort::kUart)) << OutputOf("watch");
    // And the adapter's fixture counts as empty, not failed.
    EXPECT_TRUE(PollUntil(
        [&] {
            const std::string output = OutputOf("watch");
            return std::regex_search(output, std::regex("ttyUSB0[^\\n]*EMPTY"));
        },
        10000))
        << OutputOf("watch");

    ASSERT_TRUE(bench.PutBackAdapter());
    bench.PutInDevice(GuestPort::kFtdi);
    EXPECT_TRUE(WaitForClosing(GuestPort::kFtdi)) << OutputOf("watch");
    StopInGuest("watch", "INT");
    EXPECT_TRUE(std::regex_search(OutputOf("watch"), std::regex("\\nall +4 +0 +100\\.0%")))
        << OutputOf("watch");
}

TEST_F(FtdiAdapter, StationWindowFlashesThroughIt) {
    bench.PutInDevice(GuestPort::kFtdi);
    ASSERT_TRUE(bench.WriteProfile(home, "[Setting]\nSN=90\n"));
    const GuestMachine::Result window =
        bench.Run(home,
                  DriverBench::Quoted(KORVANE_STATION_WINDOW_EXE) + " " +
                      DriverBench::Quoted(bench.Package()) + " /dev/ttyUSB0",
                  90000);
    EXPECT_EQ(window.status, 0) << window.output;
    ExpectSamplePackageOn(GuestPort::kFtdi);
    EXPECT_EQ(NumberOn(GuestPort::kFtdi), "00090");
}

}  // namespace
}  // namespace korvane::testing
