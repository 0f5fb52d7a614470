// Fixtures wired otherwise than the default: a simulated chip that minds its reset lines
// (told of the host's modem-line changes in process, since a pseudo-terminal carries
// none), the wiring that reaches its bootloader, the probe that finds it, and the exit
// sequence that starts the new firmware.
#include <gtest/gtest.h>

#include "devsim/pty_simulator.h"
#include "flashing/flash_run.h"
#include "support/flash_fixture.h"

namespace korvane {
namespace {

using devsim::PtySimulator;
using devsim::ResetWiring;
using Line = devsim::ResetWiring::Line;

// The simulated chip on a pseudo-terminal and a link whose modem-line changes reach it.
struct WiredBench {
    explicit WiredBench(const ResetWiring& fixture) {
        device.WireResetLines(fixture);
        started = device.Start();
        link.WatchModemLines([this](uint8_t code) { device.ModemLineChanged(code); });
        opened = started && link.OpenDevice(device.PortPath(), DeviceLink::kBaudRate);
    }
    PtySimulator device;
    DeviceLink link;
    bool started = false;
    bool opened = false;
};

FixtureWiring Parsed(const std::string& text) {
    std::string error;
    const std::optional<FixtureWiring> wiring = ParseFixtureWiring(text, &error);
    EXPECT_TRUE(wiring) << text << ": " << error;
    return wiring.value_or(FixtureWiring{});
}

struct Bench {
    const char* name;
    ResetWiring fixture;
    const char* line;  // the [Fixture] Wiring= value that suits it
};

void PrintTo(const Bench& bench, std::ostream* out) {
    *out << bench.name;
}

class OtherWiring : public ::testing::TestWithParam<Bench> {};

TEST_P(OtherWiring, DefaultFailsItsLineAnswersAndTheProbeFindsIt) {
    WiredBench bench(GetParam().fixture);
    ASSERT_TRUE(bench.opened) << bench.device.ErrorText();
    bench.link.ResetToBootloader();
    EXPECT_FALSE(bench.link.Sync()) << "the default wiring reached the bootloader";

    const std::optional<FixtureWiring> found = bench.link.FindWiring(FixtureWiring{});
    ASSERT_TRUE(found) << "no wiring found";
    EXPECT_EQ(FixtureWiringText(*found), GetParam().line);
    EXPECT_NE(bench.link.Identity().productId, 0);

    // The line as the profile gives it brings the bootloader on its own.
    bench.link.ResetToBootloader(Parsed(GetParam().line));
    EXPECT_TRUE(bench.link.Sync());
}

ResetWiring Swapped() {
    ResetWiring wiring;
    wiring.reset = Line::kDtr;
    wiring.boot0 = Line::kRts;
    return wiring;
}
ResetWiring ResetInverted() {
    ResetWiring wiring;
    wiring.resetInverted = true;
    return wiring;
}
ResetWiring Boot0Inverted() {
    ResetWiring wiring;
    wiring.boot0Inverted = true;
    return wiring;
}
ResetWiring SlowReset() {
    ResetWiring wiring;
    wiring.minPulseMs = 250;
    return wiring;
}

INSTANTIATE_TEST_SUITE_P(
    Benches, OtherWiring,
    ::testing::Values(
        Bench{"Swapped", Swapped(), "reset=dtr,boot0=rts,pulse=100ms,settle=100ms,exit=none"},
        Bench{"ResetInverted", ResetInverted(),
              "reset=!rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none"},
        Bench{"Boot0Inverted", Boot0Inverted(),
              "reset=rts,boot0=!dtr,pulse=100ms,settle=100ms,exit=none"},
        Bench{"SlowReset", SlowReset(), "reset=rts,boot0=dtr,pulse=500ms,settle=100ms,exit=none"}),
    [](const ::testing::TestParamInfo<Bench>& info) { return std::string(info.param.name); });

TEST(FixtureWiring, TextNamesEachKeyAndRefusesWhatItCannotPlay) {
    FixtureWiring swapped;
    swapped.reset = ModemLine::kDtr;
    swapped.boot0 = ModemLine::kRts;
    swapped.resetInverted = true;
    swapped.pulseMs = 250;
    swapped.settleMs = 50;
    swapped.exit = FixtureExit::kRun;
    EXPECT_EQ(Parsed(" Reset=!DTR, boot0=rts,pulse=250, settle=50ms ,exit=run"), swapped);
    EXPECT_EQ(Parsed(FixtureWiringText(swapped)), swapped);
    std::string error;
    for (const char* bad :
         {"reset=dtr", "reset=cts", "pulse=fast", "pulse=20000ms", "exit=off", "boot=dtr"}) {
        EXPECT_FALSE(ParseFixtureWiring(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// The last of two values would win unseen, so a key given twice is refused by its name;
// a refused value is named with what its key takes.
TEST(FixtureWiring, ARepeatedKeyOrARefusedValueIsNamedWithWhatItTakes) {
    const std::pair<const char*, const char*> refusals[] = {
        {"reset=rts,reset=dtr", "\"reset\" is given twice, \"reset=rts\" and \"reset=dtr\""},
        {"pulse=100,pulse=5000", "\"pulse\" is given twice"},
        {"exit=run, EXIT=none", "\"exit\" is given twice, \"exit=run\" and \"exit=none\""},
        {"reset=cts", "\"reset=cts\" is not understood: reset takes rts, dtr, !rts or !dtr"},
        {"boot0=", "\"boot0=\" is not understood: boot0 takes dtr, rts, !dtr or !rts"},
        {"pulse=20000ms",
         "\"pulse=20000ms\" is not understood: pulse takes a time from 0 to "
         "10000ms"},
        {"settle=fast", "\"settle=fast\" is not understood: settle takes a time from 0 to 10000ms"},
        {"exit=off", "\"exit=off\" is not understood: exit takes none or run"},
    };
    for (const auto& [text, said] : refusals) {
        std::string error;
        EXPECT_FALSE(ParseFixtureWiring(text, &error)) << text;
        EXPECT_EQ(error.rfind(said, 0), 0u) << text << ": " << error;
    }
}

TEST(FixtureWiring, ExitRunRestartsTheChipFromItsFlashAfterTheClosingRequest) {
    for (const char* exit : {"exit=none", "exit=run"}) {
        WiredBench bench{ResetWiring{}};
        ASSERT_TRUE(bench.opened) << bench.device.ErrorText();
        testing::RecordingFeedback feedback;
        FlashRun run(bench.link, feedback);
        FlashRequest request;
        request.packagePath = testing::WritePackage(
            {{"DIAG.BIN", testing::Pattern(8, 1)}, {"MCU.BIN", testing::Pattern(100, 2)}});
        request.port = {bench.device.PortPath(), bench.device.PortPath()};
        request.date = CalendarDate{2027, 3, 3};
        request.wiring = Parsed(exit);
        CountedInMemory numbers(1);
        const int startsBefore = bench.device.Inspect(
            [](const devsim::SimulatedDevice& device) { return device.FirmwareStarts(); });
        ASSERT_EQ(run.Run(request, numbers).result, RunResult::kSucceeded) << exit;
        const int starts = bench.device.Inspect(
            [](const devsim::SimulatedDevice& device) { return device.FirmwareStarts(); });
        EXPECT_EQ(starts - startsBefore, exit == std::string("exit=run") ? 1 : 0) << exit;
    }
}

}  // namespace
}  // namespace korvane
