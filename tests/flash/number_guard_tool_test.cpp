// The promise that one number goes to one device, kept at every door a line can open: a
// port given twice, one chip ID in two fixtures, two stations under one name, a spool that
// brings back a number someone else holds, and a server that goes away mid-run.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <set>

#include "platform/unique_id.h"
#include "support/postgres_server.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::ChildProcess;
using testing::Pattern;

class NumberGuard : public testing::ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        package =
            testing::WritePackage({{"DIAG.BIN", Pattern(64, 1)}, {"MCU.BIN", Pattern(300, 2)}});
    }

    static bool Holds(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    // A station's profile under home, and its simulated device.
    static void WriteStationProfile(const std::string& home, const std::string& text) {
        mkdir(home.c_str(), 0700);
        mkdir((home + "/STM32F10X Korvane").c_str(), 0700);
        std::ofstream(home + "/STM32F10X Korvane/korvane.conf") << text;
    }

    // Runs an SQL statement on the server, as the station's own account.
    static std::string Sql(const std::string& uri, const std::string& statement) {
        ChildProcess psql(
            "psql", {"-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", uri, "-c", statement}, true);
        std::string said = psql.ReadAll();
        EXPECT_EQ(psql.Wait(), 0) << said;
        said.erase(said.find_last_not_of('\n') + 1);
        return said;
    }

    std::string package;
};

TEST_F(NumberGuard, APortGivenTwiceUnderAnyNameIsRefusedBeforeAnyDevice) {
    const std::string link = configHome + "/fixture-link";
    ASSERT_EQ(symlink(device.PortPath().c_str(), link.c_str()), 0);
    setenv("KORVANE_COM1", device.PortPath().c_str(), 1);
    const std::vector<std::vector<std::string>> pairs = {
        {device.PortPath(), device.PortPath()}, {"COM1", device.PortPath()}, {link, "COM1"}};
    const std::vector<std::vector<std::string>> forms = {{}, {"--watch"}, {"identify"}};
    for (const auto& form : forms) {
        for (const auto& pair : pairs) {
            std::vector<std::string> args = form;
            for (const std::string& port : pair) {
                args.insert(args.end(), {"--port", port});
            }
            if (form.empty() || form[0] != "identify") {
                args.push_back(package);
            }
            EXPECT_EQ(Run(args, true), 2) << output;
            EXPECT_TRUE(Holds(output, "is given twice")) << output;
            EXPECT_TRUE(Holds(output, pair[0]) && Holds(output, pair[1])) << output;
        }
    }
    unsetenv("KORVANE_COM1");
    EXPECT_TRUE(device.Received().empty()) << "no port was touched";
}

TEST_F(NumberGuard, OneChipIdInTwoFixturesGetsOneSerialRecordAtMost) {
    devsim::DeviceFaults cloned;
    cloned.uid = ParseUniqueId("0b0a09080706050403020100");
    testing::PostgresServer server;
    std::vector<std::string> journals = {configHome + "/bench.sqlite"};
    if (server.Unsuited().empty()) {
        journals.push_back(server.Uri());
    }
    for (const std::string& journal : journals) {
        // The chip was flashed before, so that every rework rule has a record to act on.
        devsim::PtySimulator earlier(cloned);
        ASSERT_TRUE(earlier.Start());
        ASSERT_EQ(Run({"--journal", journal, "--sn", "40", "--port", earlier.PortPath(), package}),
                  0)
            << output;
        const std::string earlierSerial = RecordOf(earlier);
        for (const std::string rule : {"refuse", "keep", "new"}) {
            devsim::PtySimulator first(cloned);
            devsim::PtySimulator second(cloned);
            ASSERT_TRUE(first.Start() && second.Start());
            EXPECT_EQ(Run({"--journal", journal, "--rework", rule, "--port", first.PortPath(),
                           "--port", second.PortPath(), package},
                          true),
                      1)
                << output;
            const int records = !RecordOf(first).empty() + !RecordOf(second).empty();
            EXPECT_EQ(records, rule == "refuse" ? 0 : 1) << rule << "\n" << output;
            EXPECT_TRUE(Holds(output, "is also in")) << rule << "\n" << output;
            if (rule == "keep") {
                EXPECT_EQ(RecordOf(first) + RecordOf(second), earlierSerial);
            }
        }
    }
    // A watch: the same ID put into two fixtures at once.
    WriteProfile("[Setting]\nSN=60\n[Station]\nProbeMs=200\n");
    std::vector<std::unique_ptr<devsim::PtySimulator>> fixtures;
    std::vector<std::string> args = {"--watch", "--json", "--rework", "new"};
    for (int i = 0; i < 2; ++i) {
        fixtures.push_back(std::make_unique<devsim::PtySimulator>());
        fixtures.back()->TakeOut();
        ASSERT_TRUE(fixtures.back()->Start());
        args.insert(args.end(), {"--port", fixtures.back()->PortPath()});
    }
    args.push_back(package);
    ChildProcess watch(KORVANE_FLASH_EXE, args);
    for (auto& fixture : fixtures) {
        fixture->PutIn(*cloned.uid);
    }
    const std::string one = watch.ReadLine();
    const std::string other = watch.ReadLine();
    watch.Signal(SIGINT);
    watch.ReadAll();
    watch.WaitStatus();
    EXPECT_EQ(!RecordOf(*fixtures[0]).empty() + !RecordOf(*fixtures[1]).empty(), 1) << one << "\n"
                                                                                    << other;
    EXPECT_TRUE(Holds(one + other, "\"result\":\"succeeded\"") &&
                Holds(one + other, "\"result\":\"failed\"") && Holds(one + other, "is also in"))
        << one << "\n"
        << other;
}

// An ID of all zeros or all ones names no chip: two such chips are two devices, each with
// a number of its own, and neither is taken for the other's earlier record.
TEST_F(NumberGuard, AnIdOfAllZerosOrAllOnesIsNoIdentity) {
    for (const std::string& blank : {std::string(24, '0'), std::string(24, 'f')}) {
        devsim::DeviceFaults faults;
        faults.uid = ParseUniqueId(blank);
        devsim::PtySimulator earlier(faults);
        devsim::PtySimulator first(faults);
        devsim::PtySimulator second(faults);
        ASSERT_TRUE(earlier.Start() && first.Start() && second.Start());
        ASSERT_EQ(Run({"--port", earlier.PortPath(), package}), 0) << output;
        EXPECT_EQ(Run({"--rework", "refuse", "--port", first.PortPath(), "--port",
                       second.PortPath(), package},
                      true),
                  0)
            << output;
        EXPECT_TRUE(Holds(output, "which many chips share")) << output;
        const std::set<std::string> serials = {RecordOf(earlier), RecordOf(first),
                                               RecordOf(second)};
        EXPECT_EQ(serials.size(), 3u) << output;
    }
}

// Station B shares station A's name but not its identity: the numbers of A's lease are
// not B's, whatever B's counter says, and B is told that another station runs by its name.
// A spool that comes back with a number somebody else holds is reported, never saved as
// the number's second holder.
TEST_F(NumberGuard, TwoStationsOfOneNameShareNoNumberAndASpoolConflictIsReported) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    const std::string a = configHome + "/station-a";
    const std::string b = configHome + "/station-b";
    WriteStationProfile(
        a, "[Journal]\nDatabase=" + server.Uri() + "\nStation=L1\nCounter=journal\nLease=10\n");
    WriteStationProfile(b, "[Journal]\nDatabase=" + server.Uri() + "\nStation=L1\n");
    std::string said;
    ASSERT_EQ(RunAsStation(a, {"--port", device.PortPath(), package}, said), 0) << said;
    EXPECT_EQ(RecordOf(device).substr(8), "00001");

    devsim::PtySimulator atB;
    ASSERT_TRUE(atB.Start());
    EXPECT_EQ(RunAsStation(b, {"--sn", "2", "--port", atB.PortPath(), package}, said), 1) << said;
    EXPECT_EQ(RecordOf(atB), "") << said;
    EXPECT_TRUE(Holds(said, "Another station runs under the name L1")) << said;
    EXPECT_TRUE(Holds(said, "reserved to a lease of station L1 (identity")) << said;
    ASSERT_EQ(Run({"journal", "--leases", "--journal", server.Uri()}, true), 0) << output;
    EXPECT_TRUE(Holds(output, "identity")) << output;
    EXPECT_TRUE(Holds(output, "more than one station runs under the name L1")) << output;

    // Away from its server, A numbers a device from its lease; meanwhile a station that
    // knows nothing of leases gives the same number to another chip.
    ASSERT_TRUE(server.Stop());
    devsim::PtySimulator offline;
    ASSERT_TRUE(offline.Start());
    ASSERT_EQ(RunAsStation(a, {"--port", offline.PortPath(), package}, said), 0) << said;
    EXPECT_EQ(RecordOf(offline).substr(8), "00002");
    ASSERT_TRUE(server.Start());
    Sql(server.Uri(),
        "INSERT INTO runs (id, started, station, port, device, package, package_size, sha256, "
        "sn, serial, result, status, seconds, version, uid) VALUES ('intruder', "
        "'2026-01-01T00:00:00.000Z', 'old', 'COM9', '/dev/null', 'p.bin', 0, '', 2, "
        "'K352260100002', 'succeeded', '', 0, '0', '111111111111111111111111'); INSERT INTO "
        "numbers (sn, run_id) VALUES (2, 'intruder')");
    devsim::PtySimulator later;
    ASSERT_TRUE(later.Start());
    ASSERT_EQ(RunAsStation(a, {"--port", later.PortPath(), package}, said), 0) << said;
    EXPECT_TRUE(Holds(said, "The sequence number 2 was given twice")) << said;
    EXPECT_EQ(Sql(server.Uri(), "SELECT run_id FROM numbers WHERE sn = 2"), "intruder");
    ASSERT_EQ(Run({"journal", "--duplicates", "--csv", "--journal", server.Uri()}), 0) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << output;
}

// A station with a lease whose server goes away while a device is being flashed numbers
// that device from its lease, and the record reaches the server later.
TEST_F(NumberGuard, ARunWhoseServerGoesAwayGoesOnWithItsLease) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    WriteProfile("[Journal]\nDatabase=" + server.Uri() +
                 "\nStation=L2\nCounter=journal\nLease=5\n");
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    devsim::DeviceFaults slow;
    slow.eraseDelayMs = 2000;
    devsim::PtySimulator paced(slow, 115200);
    ASSERT_TRUE(paced.Start());
    ChildProcess tool(KORVANE_FLASH_EXE, {"--port", paced.PortPath(), package}, true);
    // The server goes while the device erases, before the number is recorded.
    ASSERT_TRUE(testing::PollUntil([&] {
        const std::vector<uint8_t> got = paced.Received();
        for (size_t i = 0; i + 1 < got.size(); ++i) {
            if (got[i] == 0x43 && got[i + 1] == 0xBC) {
                return true;
            }
        }
        return false;
    }));
    ASSERT_TRUE(server.Stop());
    output = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 0) << output;
    EXPECT_EQ(RecordOf(paced).substr(8), "00002") << output;
    ASSERT_TRUE(server.Start());
    devsim::PtySimulator next;
    ASSERT_TRUE(next.Start());
    ASSERT_EQ(Run({"--port", next.PortPath(), package}), 0) << output;
    EXPECT_EQ(Sql(server.Uri(), "SELECT serial FROM runs WHERE sn = 2 AND result = 'succeeded'"),
              RecordOf(paced));
}

}  // namespace
}  // namespace korvane
