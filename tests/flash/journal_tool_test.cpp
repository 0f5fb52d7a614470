// The journal as a line uses it: every run recorded by the tool, read back with
// "korvane-flash journal --csv", in the station's own SQLite file and on a real
// PostgreSQL server shared by several stations.
#include <sys/resource.h>
#include <sys/stat.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <fstream>
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
    "time,station,port,device,package,sha256,sn,serial,result,status,seconds,uid,signer,"
    "signed_comment,code,reason";

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

    // Flashes a long package into a paced device and kills the tool once the device holds
    // its serial record.
    static void KillRightAfterTheRecord(devsim::PtySimulator& paced) {
        ASSERT_TRUE(paced.Start());
        ChildProcess killed(KORVANE_FLASH_EXE,
                            {"--port", paced.PortPath(), testing::WritePackage(kLongPackage)});
        ASSERT_TRUE(WaitForRecord(paced));
        killed.Signal(SIGKILL);
        killed.WaitStatus();
    }

    static std::string Sha256Of(const std::string& path) {
        ChildProcess sum("sha256sum", {path});
        return sum.ReadAll().substr(0, 64);
    }
};

enum Column {
    kTime,
    kStation,
    kPort,
    kDevice,
    kPackagePath,
    kSha,
    kSn,
    kSerial,
    kResult,
    kStatus,
    kSeconds,
    kUid,
    kSigner,
    kSignedComment,
    kCode,
    kReason
};

// Waits until the device has heard from the host: the run's record has been made by then.
bool WaitForFirstByte(const devsim::PtySimulator& on) {
    return testing::PollUntil([&] { return !on.Received().empty(); }, 20000);
}

// Two seconds of loader on a paced line before the firmware and its serial record.
const std::vector<PackageImage> kSlowLoaderPackage = {{"DIAG.BIN", Pattern(20000, 1)},
                                                      {"MCU.BIN", Pattern(1000, 2)}};

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
    KillRightAfterTheRecord(paced);

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 5u) << output;
    std::string header;
    for (const std::string& field : rows[0]) {
        header += (header.empty() ? "" : ",") + field;
    }
    EXPECT_EQ(header, kHeader);
    const std::string sha = Sha256Of(package);
    const std::vector<
        std::tuple<const devsim::PtySimulator*, std::string, std::string, std::string>>
        expected = {{&device, "41", "succeeded", "ok"},
                    {&refusingDevice, "42", "failed", "write-failed"},
                    {&dead, "", "failed", "no-bootloader"},
                    {&paced, "43", "unfinished", ""}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& row = rows[i + 1];
        const auto& [on, number, result, code] = expected[i];
        ASSERT_EQ(row.size(), 16u) << output;
        EXPECT_EQ(row[kCode], code) << i;
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

// The wall clock at UTC + hours, seconds from now, in the strftime format given.
std::string Clock(int hours, int seconds, const char* format) {
    const std::time_t at = std::time(nullptr) + hours * 3600 + seconds;
    std::tm parts{};
    gmtime_r(&at, &parts);
    char text[32];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

// --since reads a date or a date and time as the station's clock shows it (here UTC+14, far
// enough from UTC for a time misread as UTC to miss by half a day), and refuses what it
// cannot read rather than select rows silently wrong.
TEST_F(JournalTool, SinceTakesDatesTimesTodayAndHoursOrDaysBackAndRefusesTheRest) {
    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "5", testing::WritePackage(kPackage)}), 0)
        << output;
    setenv("TZ", "XYZ-14", 1);
    const std::vector<std::pair<std::string, size_t>> rowsSince = {
        {"today", 2},
        {Clock(14, 0, "%Y-%m-%d"), 2},
        {Clock(14, 86400, "%Y-%m-%d"), 1},
        {Clock(14, -120, "%Y-%m-%dT%H:%M"), 2},
        {Clock(14, 120, "%Y-%m-%dT%H:%M"), 1},
        {Clock(0, 120, "%Y-%m-%dT%H:%MZ"), 1},
        {Clock(0, -120, "%Y-%m-%dT%H:%M:%S+00:00"), 2},
        {"1h", 2},
        {"0h", 1},
        {"7d", 2}};
    for (const auto& [since, rows] : rowsSince) {
        EXPECT_EQ(Rows({"--since", since}).size(), rows) << since;
    }
    for (const char* unread : {"yesterday", "10.12.2026", "2026-02-30", "8x", ""}) {
        EXPECT_EQ(Run({"journal", "--since", unread}, true), 2) << unread;
        EXPECT_NE(
            output.find("today, or hours or days back (8h, 7d), not '" + std::string(unread) + "'"),
            std::string::npos)
            << output;
    }
    unsetenv("TZ");
}

TEST_F(JournalTool, StationsOfALineDrawFromOneSequence) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    const std::string uri = server.Uri();
    const std::string package = testing::WritePackage(kPackage);
    const std::vector<std::string> line = {"--journal", uri, "--counter", "journal"};
    // A URI's scheme is case-insensitive.
    ASSERT_EQ(uri.rfind("postgresql://", 0), 0u) << uri;
    std::vector<std::string> first = {"--port",    device.PortPath(), "--sn",
                                      "1000",      "--journal",       "POSTGRESQL" + uri.substr(10),
                                      "--counter", "journal",         package};
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

TEST_F(JournalTool, AChangeOfCounterNeverRepeatsANumber) {
    WriteProfile("[Setting]\nSN=1\n");
    const std::string package = testing::WritePackage(kPackage);
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    }
    // The journal holds 1 … 3 from the profile's counter; its own sequence is still at 1.
    device.ClearReceived();
    EXPECT_EQ(
        Run({"--port", device.PortPath(), "--counter", "journal", "--sn", "3", package}, true), 1);
    EXPECT_NE(output.find("already holds sequence numbers up to 3"), std::string::npos) << output;
    EXPECT_TRUE(device.Received().empty());
    for (const char* expected : {"00004", "00005"}) {
        ASSERT_EQ(Run({"--port", device.PortPath(), "--counter", "journal", package}), 0) << output;
        EXPECT_EQ(RecordOf(device).substr(8), expected);
    }
}

TEST_F(JournalTool, AnAddressThatIsNeitherAServerNorAFileIsRefused) {
    const std::string package = testing::WritePackage(kPackage);
    const std::string folder = configHome + "/here";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    device.ClearReceived();
    for (const char* where :
         {"postgresql:/dbhost/db", "sqlite:///tmp/journal.sqlite", "garbage://x",
          "dbhost:5432/production", "postgresql://host:port/db"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--port", device.PortPath(), "--counter", "journal",
                                       "--journal", where, package},
              std::vector<std::string>{"journal", "--journal", where}}) {
            std::vector<std::string> command = {"-C", folder, KORVANE_FLASH_EXE};
            command.insert(command.end(), args.begin(), args.end());
            ChildProcess tool("env", command, true);
            const std::string said = tool.ReadAll();
            EXPECT_EQ(tool.Wait(), 2) << where << ": " << said;
            EXPECT_NE(said.find("postgresql://user@host:port/dbname"), std::string::npos) << said;
        }
    }
    EXPECT_TRUE(device.Received().empty());
    // Nothing was made of them in the current folder.
    ChildProcess listing("ls", {"-A", folder});
    EXPECT_EQ(listing.ReadAll(), "");
}

TEST_F(JournalTool, AJournalThatFailsMidRunKeepsTheSerialRecordFromTheDevice) {
    WriteProfile("[Setting]\nSN=41\n");
    devsim::PtySimulator paced({}, 115200);
    ASSERT_TRUE(paced.Start());
    ChildProcess tool(KORVANE_FLASH_EXE,
                      {"--port", paced.PortPath(), testing::WritePackage(kSlowLoaderPackage)},
                      true);
    ASSERT_TRUE(WaitForFirstByte(paced));
    // The journal's disk fills while the loader goes in: a few bytes still fit (the
    // profile's next number), a page of the journal does not.
    const rlimit full = {2048, 2048};
    ASSERT_EQ(prlimit(static_cast<pid_t>(tool.Pid()), RLIMIT_FSIZE, &full, nullptr), 0);
    const std::string said = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 1) << said;
    EXPECT_EQ(RecordOf(paced), "");
    paced.Inspect(
        [](const devsim::SimulatedDevice& d) { EXPECT_EQ(d.Loader().ClosingRequests(), 0); });
    EXPECT_NE(said.find("cannot record the sequence number 41"), std::string::npos) << said;
    EXPECT_EQ(said.find("Parameter count"), std::string::npos) << said;

    // 41 stays spent; the next device gets 42, and every number a device holds is known.
    ASSERT_EQ(Run({"--port", device.PortPath(), testing::WritePackage(kPackage)}), 0) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00042");
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 3u) << output;
    EXPECT_EQ(rows[1][kSn], "");
    EXPECT_EQ(rows[2][kSn], "42");
    EXPECT_EQ(rows[2][kSerial], RecordOf(device));
}

TEST_F(JournalTool, APackageRewrittenDuringTheRunGoesInAndIsRecordedAsItWasRead) {
    WriteProfile("[Setting]\nSN=41\n");
    const std::string package = testing::WritePackage(kSlowLoaderPackage);
    const std::string sha = Sha256Of(package);
    const std::string other = testing::WritePackage(
        {{"DIAG.BIN", Pattern(20000, 7)}, {"MCU.BIN", Pattern(1000, 8)}}, "other.bin");
    devsim::PtySimulator paced({}, 115200);
    ASSERT_TRUE(paced.Start());
    ChildProcess tool(KORVANE_FLASH_EXE, {"--port", paced.PortPath(), package});
    ASSERT_TRUE(WaitForFirstByte(paced));
    // As "cp new.bin package.bin" does it: the same file, rewritten in place.
    ASSERT_EQ(testing::RunCommand("cp", {other, package}), 0);
    tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 0);
    paced.Inspect([](const devsim::SimulatedDevice& d) {
        const std::vector<uint8_t> firmware = Pattern(1000, 2);
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), d.Loader().Firmware().begin()));
        // The loader's bytes past those the firmware went over.
        const std::vector<uint8_t> loader = Pattern(20000, 1);
        EXPECT_TRUE(std::equal(loader.begin() + 1000, loader.end(), d.Flash().begin() + 1000));
    });
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u) << output;
    EXPECT_EQ(rows[1][kSha], sha);
    EXPECT_NE(Sha256Of(package), sha);
}

TEST_F(JournalTool, TheJournalRefusesANumberAnotherDeviceHolds) {
    const std::string package = testing::WritePackage(kPackage);
    // A station's profile restored from an older backup: its own journal knows 41 and 42.
    WriteProfile("[Setting]\nSN=41\n");
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    }
    WriteProfile("[Setting]\nSN=41\n");
    devsim::PtySimulator second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(Run({"--port", second.PortPath(), package}, true), 1);
    EXPECT_EQ(RecordOf(second), "");
    EXPECT_NE(output.find("The sequence number 41 was not sent: a device already holds it, " +
                          RecordOf(device).substr(0, 8) + "00041"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("this station's counter is behind the line's"), std::string::npos);
    EXPECT_NE(ProfileText().find("SN=41\n"), std::string::npos) << ProfileText();
    EXPECT_EQ(Rows().back()[kCode], "number-held");
    ASSERT_EQ(Run({"--port", second.PortPath(), "--sn", "43", package}), 0) << output;
    EXPECT_EQ(RecordOf(second).substr(8), "00043");

    // Two stations of a line sharing a server, each numbering from its own profile.
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    std::string said;
    for (const char* name : {"bench-1", "bench-2"}) {
        const std::string home = configHome + "/" + name;
        mkdir(home.c_str(), 0700);
        mkdir((home + "/STM32F10X Korvane").c_str(), 0700);
        std::ofstream(home + "/STM32F10X Korvane/korvane.conf")
            << "[Setting]\nSN=1\n[Journal]\nDatabase=" << server.Uri() << "\nStation=" << name
            << "\n";
    }
    ASSERT_EQ(RunAsStation(configHome + "/bench-1", {"--port", device.PortPath(), package}, said),
              0)
        << said;
    EXPECT_NE(said.find("will give out the same numbers"), std::string::npos) << said;
    const std::string first = RecordOf(device);
    EXPECT_EQ(RunAsStation(configHome + "/bench-2", {"--port", second.PortPath(), package}, said),
              1);
    EXPECT_EQ(RecordOf(second).substr(8), "00043") << "no new serial record";
    const auto rows = Rows({"--journal", server.Uri(), "--sn", "1"});
    ASSERT_EQ(rows.size(), 2u) << output;
    EXPECT_EQ(rows[1][kStation], "bench-1");
    EXPECT_EQ(rows[1][kCode], "ok");
    EXPECT_EQ(Rows({"--journal", server.Uri()}).back()[kCode], "number-held");
    const std::string when = rows[1][kTime].substr(0, 10) + " " + rows[1][kTime].substr(11, 5);
    EXPECT_NE(said.find("a device already holds it, " + first + ", given by station bench-1 on " +
                        when + " UTC"),
              std::string::npos)
        << said;

    // Records that shared a number before the journal refused them still open, and
    // are listed.
    ChildProcess psql(
        "psql",
        {"-q", "-c", "UPDATE runs SET sn = 1 WHERE sn IS NULL AND station = 'bench-2'",
         server.Uri()},
        true);
    ASSERT_EQ(psql.Wait(), 0) << psql.ReadAll();
    const auto duplicates = Rows({"--journal", server.Uri(), "--duplicates"});
    ASSERT_EQ(duplicates.size(), 3u) << output;
    EXPECT_EQ(duplicates[1][kSn], "1");
    EXPECT_EQ(duplicates[2][kSn], "1");
}

// A station of a line with a lease, numbered from the journal on server.
std::string LeaseProfile(const std::string& uri, const std::string& name, int lease) {
    return "[Journal]\nDatabase=" + uri + "\nCounter=journal\nLease=" + std::to_string(lease) +
           "\nStation=" + name + "\n";
}

TEST_F(JournalTool, WithLeasesTheLineGoesOnWhileItsServerIsAway) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    const std::string package = testing::WritePackage(kPackage);
    struct Station {
        std::string home;
        devsim::PtySimulator device{{}, 115200};
        std::vector<std::string> numbers;  // of every device it flashed
        int whileAway = 0;
    };
    std::vector<std::unique_ptr<Station>> stations;
    for (int s = 0; s < 3; ++s) {
        stations.push_back(std::make_unique<Station>());
        Station& station = *stations.back();
        station.home = configHome + "/lease" + std::to_string(s);
        mkdir(station.home.c_str(), 0700);
        mkdir((station.home + "/STM32F10X Korvane").c_str(), 0700);
        std::ofstream(station.home + "/STM32F10X Korvane/korvane.conf")
            << LeaseProfile(server.Uri(), "lease" + std::to_string(s), 10);
        ASSERT_TRUE(station.device.Start());
    }
    std::atomic<bool> away{false};
    std::atomic<bool> done{false};
    std::atomic<int> flashed{0};
    std::vector<std::thread> running;
    for (auto& entry : stations) {
        running.emplace_back([&, station = entry.get()] {
            while (!done) {
                std::string said;
                const bool serverAway = away;
                if (RunAsStation(station->home, {"--port", station->device.PortPath(), package},
                                 said) == 0) {
                    station->numbers.push_back(RecordOf(station->device).substr(8));
                    station->whileAway += serverAway && away;
                    ++flashed;
                } else {
                    SleepMs(500);  // the lease is used up: wait for the server
                }
            }
        });
    }
    const auto waitFor = [&](int devices) {
        const uint32_t start = TickCount();
        while (flashed < devices && TicksSince(start, TickCount()) < 120000) {
            SleepMs(20);
        }
    };
    waitFor(9);
    ASSERT_TRUE(server.Stop());
    away = true;
    SleepMs(60000);
    away = false;
    ASSERT_TRUE(server.Start());
    waitFor(flashed + 9 > 30 ? flashed + 9 : 30);
    done = true;
    for (std::thread& thread : running) {
        thread.join();
    }

    std::multiset<std::string> given;
    for (const auto& station : stations) {
        EXPECT_GT(station->whileAway, 0) << station->home;
        given.insert(station->numbers.begin(), station->numbers.end());
    }
    EXPECT_GE(given.size(), 30u);
    EXPECT_EQ(std::set<std::string>(given.begin(), given.end()).size(), given.size());
    // The server holds every run that gave a device its number, the ones that ran while it
    // was away among them (brought from the spools by the runs after).
    for (const auto& station : stations) {
        std::string said;
        RunAsStation(station->home, {"--port", station->device.PortPath(), package}, said);
    }
    std::multiset<std::string> recorded;
    for (const auto& row : Rows({"--journal", server.Uri()})) {
        if (row[kSn] != "sn" && row[kResult] == "succeeded") {
            recorded.insert(std::string(5 - row[kSn].size(), '0') + row[kSn]);
        }
    }
    for (const std::string& number : given) {
        EXPECT_EQ(recorded.count(number), 1u) << number;
    }
    // Every number a lease holds is used by a record or still reserved to its station.
    ASSERT_EQ(Run({"journal", "--leases", "--csv", "--journal", server.Uri()}), 0);
    std::istringstream leases(output);
    std::string line;
    std::getline(leases, line);
    EXPECT_EQ(line, "claimed,station,first,last,used,unused,identity\r");
    int used = 0;
    for (int first = 0, last = 0, u = 0, unused = 0; std::getline(leases, line);) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(line);
        std::string claimed, name;
        fields >> claimed >> name >> first >> last >> u >> unused;
        EXPECT_EQ(u + unused, last - first + 1) << line;
        used += u;
    }
    EXPECT_EQ(used, static_cast<int>(recorded.size()));
}

TEST_F(JournalTool, AStationKilledInItsLeaseGoesOnWithItsReservedNumbers) {
    testing::PostgresServer server;
    if (!server.Unsuited().empty()) {
        GTEST_SKIP() << server.Unsuited();
    }
    WriteProfile(LeaseProfile(server.Uri(), "bench-9", 10));
    const std::string package = testing::WritePackage(kPackage);
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    const std::string first = RecordOf(device).substr(8);
    devsim::PtySimulator paced({}, 115200);
    KillRightAfterTheRecord(paced);
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    const int a = std::stoi(first);
    EXPECT_EQ(std::stoi(RecordOf(paced).substr(8)), a + 1);
    EXPECT_EQ(std::stoi(RecordOf(device).substr(8)), a + 2);
    // Still the one lease.
    ASSERT_EQ(Run({"journal", "--leases", "--csv", "--journal", server.Uri()}), 0);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
}

}  // namespace
}  // namespace korvane
