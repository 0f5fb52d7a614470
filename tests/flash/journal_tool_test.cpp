// The journal as a line uses it: every run recorded by the tool, read back with
// "korvane-flash journal --csv", in the station's own SQLite file and on a real
// PostgreSQL server shared by several stations.
#include <sys/stat.h>
#include <csignal>
#include <set>
#include <sstream>
#include <thread>

#include "platform/ticks.h"
#include "support/postgres_server.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::ChildProcess;
using testing::Pattern;

const std::vector<PackageImage> kPackage = {{"DIAG.BIN", Pattern(30, 1)},
                                            {"MCU.BIN", Pattern(70, 2)}};
// About two seconds on a paced line, most of it after the serial record.
const std::vector<PackageImage> kLongPackage = {{"DIAG.BIN", Pattern(300, 1)},
                                                {"MCU.BIN", Pattern(1000, 2)},
                                                {"x_DATA.BIN", Pattern(20000, 3)}};
constexpr char kHeader[] =
    "time,station,port,device,package,sha256,sn,serial,result,status,seconds";

class JournalTool : public testing::ToolTest {
protected:
    // The journal's CSV as rows of fields (no field in these tests holds a comma).
    std::vector<std::vector<std::string>> Rows(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"journal", "--csv"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(Run(args), 0) << output;
        std::vector<std::vector<std::string>> rows;
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            // Rows end as RFC 4180 says, with a carriage return and a line feed.
            EXPECT_TRUE(!line.empty() && line.back() == '\r') << line;
            line.pop_back();
            std::vector<std::string> fields;
            size_t start = 0;
            for (size_t comma; (comma = line.find(',', start)) != std::string::npos;
                 start = comma + 1) {
                fields.push_back(line.substr(start, comma - start));
            }
            fields.push_back(line.substr(start));
            rows.push_back(fields);
        }
        return rows;
    }

    static std::string Sha256Of(const std::string& path) {
        ChildProcess sum("sha256sum", {path});
        return sum.ReadAll().substr(0, 64);
    }
};

enum Column { kTime, kStation, kPort, kDevice, kPackagePath, kSha, kSn, kSerial, kResult, kStatus };

TEST_F(JournalTool, EveryRunLeavesOneRecordThatSaysHowItEnded) {
    WriteProfile("[Setting]\nSN=41\n");
    const std::string package = testing::WritePackage(kPackage);
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;

    devsim::DeviceFaults refusing;
    refusing.loader.refuse.push_back({0, 3, std::nullopt});
    devsim::PtySimulator refusingDevice(refusing);
    ASSERT_TRUE(refusingDevice.Start());
    EXPECT_EQ(Run({"--port", refusingDevice.PortPath(), package}), 1);

    devsim::DeviceFaults silent;
    silent.silent = true;
    devsim::PtySimulator dead(silent);
    ASSERT_TRUE(dead.Start());
    EXPECT_EQ(Run({"--port", dead.PortPath(), package}), 1);

    // Killed after its record went out: the record says it never finished.
    devsim::PtySimulator paced({}, 115200);
    ASSERT_TRUE(paced.Start());
    ChildProcess killed(KORVANE_FLASH_EXE,
                        {"--port", paced.PortPath(), testing::WritePackage(kLongPackage)});
    ASSERT_TRUE(WaitForRecord(paced));
    killed.Signal(SIGKILL);
    killed.WaitStatus();

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 5u) << output;
    std::string header;
    for (const std::string& field : rows[0]) {
        header += (header.empty() ? "" : ",") + field;
    }
    EXPECT_EQ(header, kHeader);
    const std::string sha = Sha256Of(package);
    const std::vector<std::tuple<const devsim::PtySimulator*, std::string, std::string>> expected =
        {{&device, "41", "succeeded"},
         {&refusingDevice, "42", "failed"},
         {&dead, "", "failed"},
         {&paced, "43", "unfinished"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& row = rows[i + 1];
        const auto& [on, number, result] = expected[i];
        ASSERT_EQ(row.size(), 11u) << output;
        EXPECT_EQ(row[kPort], on->PortPath());
        EXPECT_EQ(row[kDevice], on->PortPath());
        EXPECT_EQ(row[kSn], number) << i;
        EXPECT_EQ(row[kSerial], RecordOf(*on)) << i;
        EXPECT_EQ(row[kResult], result) << i;
    }
    EXPECT_EQ(rows[1][kSha], sha);
    EXPECT_EQ(rows[1][kPackagePath], package);
    EXPECT_EQ(rows[1][kStatus], "Finished to write the file [" + package + "] to the flash.");
    EXPECT_EQ(rows[3][kStatus], "Failed to connect the device.");
    // A device is found again by its number.
    EXPECT_EQ(Rows({"--sn", "42"}).size(), 2u);
}

TEST_F(JournalTool, StationsOfALineDrawFromOneSequence) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    const std::string uri = server.Uri();
    const std::string package = testing::WritePackage(kPackage);
    const std::vector<std::string> line = {"--journal", uri, "--counter", "journal"};
    std::vector<std::string> first = {"--port", device.PortPath(), "--sn", "1000", package};
    first.insert(first.end(), line.begin(), line.end());
    ASSERT_EQ(Run(first), 0) << output;
    std::multiset<std::string> numbers = {RecordOf(device).substr(8)};

    // Three stations, each with its own profile and device, four devices each, at once.
    struct Station {
        std::string home;
        devsim::PtySimulator device;
        std::vector<std::string> numbers;
        int failures = 0;
    };
    std::vector<std::unique_ptr<Station>> stations;
    std::vector<std::thread> running;
    for (int s = 0; s < 3; ++s) {
        stations.push_back(std::make_unique<Station>());
        Station& station = *stations.back();
        station.home = configHome + "/station" + std::to_string(s);
        ASSERT_EQ(mkdir(station.home.c_str(), 0700), 0);
        ASSERT_TRUE(station.device.Start());
        running.emplace_back([&, s] {
            for (int run = 0; run < 4; ++run) {
                std::vector<std::string> args = {"XDG_CONFIG_HOME=" + station.home,
                                                 "XDG_DATA_HOME=" + station.home,
                                                 KORVANE_FLASH_EXE,
                                                 "--station",
                                                 "station" + std::to_string(s),
                                                 "--port",
                                                 station.device.PortPath(),
                                                 package};
                args.insert(args.end(), line.begin(), line.end());
                ChildProcess tool("env", args);
                tool.ReadAll();
                station.failures += tool.Wait() != 0;
                station.numbers.push_back(RecordOf(station.device).substr(8));
            }
        });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    std::set<std::string> expected;
    for (int n = 1000; n <= 1012; ++n) {
        expected.insert("0" + std::to_string(n));
    }
    for (const auto& station : stations) {
        EXPECT_EQ(station->failures, 0);
        numbers.insert(station->numbers.begin(), station->numbers.end());
    }
    EXPECT_EQ(numbers, std::multiset<std::string>(expected.begin(), expected.end()));
    std::set<std::string> recorded;
    for (const auto& row : Rows({"--journal", uri})) {
        if (row[kSn] != "sn") {
            recorded.insert("0" + row[kSn]);
            EXPECT_EQ(row[kResult], "succeeded");
        }
    }
    EXPECT_EQ(recorded, expected);
}

TEST_F(JournalTool, AServerAwayStopsNewRunsAndLosesNoRecord) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    WriteProfile("[Setting]\nSN=41\n[Journal]\nDatabase=" + server.Uri() + "\n");
    const std::string package = testing::WritePackage(kPackage);

    // The server goes away during a run: the device is flashed all the same.
    devsim::PtySimulator paced({}, 115200);
    ASSERT_TRUE(paced.Start());
    ChildProcess tool(KORVANE_FLASH_EXE,
                      {"--port", paced.PortPath(), testing::WritePackage(kLongPackage)});
    ASSERT_TRUE(WaitForRecord(paced));
    ASSERT_TRUE(server.Stop());
    tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 0);

    // While it is away, no run starts.
    device.ClearReceived();
    EXPECT_EQ(Run({"--port", device.PortPath(), package}), 1);
    EXPECT_TRUE(device.Received().empty());
    EXPECT_NE(output.find("cannot be reached"), std::string::npos) << output;
    EXPECT_EQ(output.find("\\x0A"), std::string::npos) << "the driver's reason on one line";

    // Back, it receives the waiting record before the next one.
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 3u) << output;
    EXPECT_EQ(rows[1][kSn], "41");
    EXPECT_EQ(rows[1][kSerial], RecordOf(paced));
    EXPECT_EQ(rows[1][kResult], "succeeded");
    EXPECT_EQ(rows[2][kSn], "42");
}

}  // namespace
}  // namespace korvane
