// The dashboard's server in process, on journals the tests fill: who may read it, where it
// listens, that its figures are those of "korvane-flash journal --csv", and that a new
// record reaches its live stream, from an SQLite file and from a real PostgreSQL server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "dashboard/dashboard_server.h"
#include "support/child_process.h"
#include "support/postgres_server.h"

namespace korvane {
namespace {

// A server on journal, on a free port of address, serving on a thread of its own.
class RunningServer {
public:
    RunningServer(const QString& journal, const QString& token = {},
                  const std::string& address = ServeSettings().host) {
        ServeSettings settings;
        settings.dashboard.journal = journal;
        settings.dashboard.shiftStarts = {QTime(0, 0)};
        settings.host = address;
        settings.port = 0;
        settings.token = token;
        server = std::make_unique<DashboardServer>(settings);
        QString error;
        bound = server->Bind(error);
        EXPECT_TRUE(bound) << error.toStdString();
        thread = std::thread([this] { server->Serve(); });
    }
    ~RunningServer() {
        server->Stop();
        thread.join();
    }
    httplib::Client Client(const std::string& host = "127.0.0.1") const {
        httplib::Client client(host, server->Port());
        client.set_connection_timeout(2);
        return client;
    }
    int Port() const { return server->Port(); }

private:
    std::unique_ptr<DashboardServer> server;
    bool bound = false;
    std::thread thread;
};

class DashboardServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        QString error;
        ASSERT_TRUE(journal.Open(error)) << error.toStdString();
    }

    void Save(const QString& station, const QString& port, const QDateTime& started,
              const QString& uid, const QString& result, double seconds, const QString& code) {
        JournalRecord record;
        record.id = QStringLiteral("run-%1").arg(++runs, 4, 10, QChar('0'));
        record.started = started.toUTC().toString(Qt::ISODateWithMs);
        record.station = station;
        record.port = port;
        record.uid = uid;
        record.result = result;
        record.seconds = seconds;
        record.code = code;
        QString error;
        ASSERT_TRUE(journal.Save(record, error)) << error.toStdString();
    }

    QTemporaryDir folder;
    QString path = folder.filePath("journal.sqlite");
    Journal journal{path};
    int runs = 0;
};

TEST_F(DashboardServerTest, WithATokenEveryRequestMustBringIt) {
    const RunningServer server(path, QStringLiteral("line-7-token"));
    httplib::Client client = server.Client();
    for (const char* path : {"/api/summary", "/api/runs", "/api/stations", "/api/runs.csv", "/"}) {
        const auto refused = client.Get(path);
        ASSERT_TRUE(refused) << path;
        EXPECT_EQ(refused->status, 401) << path;
        EXPECT_EQ(refused->body.find("passed"), std::string::npos) << path;
        EXPECT_EQ(refused->body.find("time,station"), std::string::npos) << path;
    }
    EXPECT_EQ(client.Get("/api/runs", {{"Authorization", "Bearer line-7-toke"}})->status, 401);
    EXPECT_EQ(client.Get("/api/runs", {{"Authorization", "Bearer line-7-token"}})->status, 200);

    // The login form sets the cookie only for the right token.
    const auto wrong = client.Post("/login", "token=line-7", "application/x-www-form-urlencoded");
    EXPECT_FALSE(wrong->has_header("Set-Cookie"));
    const auto right =
        client.Post("/login", "token=line-7-token", "application/x-www-form-urlencoded");
    const std::string cookie = right->get_header_value("Set-Cookie");
    ASSERT_EQ(cookie.rfind("korvane_token=line-7-token;", 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_EQ(client.Get("/api/summary", {{"Cookie", "korvane_token=line-7-token"}})->status, 200);
}

// An IPv4 address of this machine that is not a loopback one; empty when it has none.
std::string OtherAddress() {
    ifaddrs* addresses = nullptr;
    std::string found;
    if (getifaddrs(&addresses) != 0) {
        return found;
    }
    for (ifaddrs* a = addresses; a != nullptr && found.empty(); a = a->ifa_next) {
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
                found = text;
            }
        }
    }
    freeifaddrs(addresses);
    return found;
}

TEST_F(DashboardServerTest, TheDefaultListenerIsThisMachinesAlone) {
    const std::string other = OtherAddress();
    if (other.empty()) {
        GTEST_SKIP() << "this machine has no address but loopback";
    }
    const RunningServer server(path);
    EXPECT_EQ(server.Client().Get("/api/runs")->status, 200);
    const auto fromElsewhere = server.Client(other).Get("/api/runs");
    EXPECT_FALSE(fromElsewhere) << other;
}

// The journal's CSV, as rows of named fields (no field here holds a comma).
std::vector<std::map<std::string, std::string>> CsvRows(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> names;
    std::vector<std::map<std::string, std::string>> rows;
    while (std::getline(lines, line)) {
        line.erase(line.find_last_not_of('\r') + 1);
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ',');) {
            fields.push_back(field);
        }
        if (names.empty()) {
            names = fields;
            continue;
        }
        fields.resize(names.size());
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < names.size(); ++i) {
            row[names[i]] = fields[i];
        }
        rows.push_back(row);
    }
    return rows;
}

// The figures of the period from since, counted from the CSV's rows as a person would.
QJsonObject FiguresFromCsv(const std::vector<std::map<std::string, std::string>>& rows,
                           const std::string& since) {
    int passed = 0;
    int failed = 0;
    std::map<std::string, std::string> firstResult;  // a chip's first run of all
    std::map<std::string, bool> firstInPeriod;
    std::map<std::string, std::string> lastResult;  // its last of the period
    std::vector<double> seconds;
    int own = 0;
    for (const auto& row : rows) {  // oldest first
        const std::string& result = row.at("result");
        if (result != "succeeded" && result != "failed") {
            continue;
        }
        const std::string chip =
            row.at("uid").empty() ? "own" + std::to_string(++own) : row.at("uid");
        const bool inPeriod = row.at("time") >= since;
        if (!firstResult.count(chip)) {
            firstResult[chip] = result;
            firstInPeriod[chip] = inPeriod;
        }
        if (!inPeriod) {
            continue;
        }
        lastResult[chip] = result;
        ++(result == "succeeded" ? passed : failed);
        if (result == "succeeded") {
            seconds.push_back(std::stod(row.at("seconds")));
        }
    }
    int firstSeen = 0;
    int firstPassed = 0;
    for (const auto& [chip, result] : firstResult) {
        firstSeen += firstInPeriod[chip] ? 1 : 0;
        firstPassed += firstInPeriod[chip] && result == "succeeded" ? 1 : 0;
    }
    int chipsPassed = 0;
    for (const auto& [chip, result] : lastResult) {
        chipsPassed += result == "succeeded" ? 1 : 0;
    }
    std::sort(seconds.begin(), seconds.end());
    const auto rank = [&](double share) {
        return seconds[static_cast<size_t>(std::ceil(share * seconds.size())) - 1];
    };
    return {{"passed", passed},
            {"failed", failed},
            {"first_pass_yield", 100.0 * firstPassed / firstSeen},
            {"final_yield", 100.0 * chipsPassed / static_cast<double>(lastResult.size())},
            {"median_seconds", rank(0.5)},
            {"p90_seconds", rank(0.9)}};
}

TEST_F(DashboardServerTest, TheFiguresAreThoseOfTheToolsCsv) {
    // Three hours of two stations: chips that come back after failing, chips first seen
    // before the period, a chip of unknown ID, runs never finished.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 60; ++i) {
        const QString uid =
            i % 7 == 3 ? QString() : QStringLiteral("%1").arg(i % 23 + 1, 24, 10, QChar('0'));
        const QString result = i % 11 == 5 ? QString() : (i % 4 == 1 ? "failed" : "succeeded");
        Save(i % 3 == 0 ? "S1" : "S2", QStringLiteral("COM%1").arg(i % 4 + 1),
             now.addSecs(-3 * 3600 + i * 170), uid, result, 20 + (i * 37) % 41 / 2.0,
             result == "failed" ? "no-reply" : "ok");
    }
    const QString since = now.addSecs(-2 * 3600).toString(Qt::ISODateWithMs);
    testing::ChildProcess tool(KORVANE_FLASH_EXE,
                               {"journal", "--csv", "--journal", path.toStdString()});
    const std::string csv = tool.ReadAll();
    ASSERT_EQ(tool.Wait(), 0) << csv;
    const QJsonObject expected = FiguresFromCsv(CsvRows(csv), since.toStdString());

    const RunningServer server(path);
    const auto answer = server.Client().Get(("/api/summary?since=" + since.toStdString()).c_str());
    ASSERT_EQ(answer->status, 200) << answer->body;
    const QJsonObject summary =
        QJsonDocument::fromJson(QByteArray::fromStdString(answer->body)).object();
    for (const QString& name : expected.keys()) {
        EXPECT_NEAR(summary[name].toDouble(), expected[name].toDouble(), 1e-9)
            << name.toStdString() << " in " << answer->body;
    }
    EXPECT_EQ(summary["schema"].toInt(), 1);
}

// Events of the live stream as they come, one text of each block.
class EventReader {
public:
    explicit EventReader(const RunningServer& server) : client(server.Client()) {
        thread = std::thread([this] {
            client.Get("/api/events", [this](const char* data, size_t length) {
                std::lock_guard<std::mutex> lock(mutex);
                received.append(data, length);
                arrived.notify_all();
                return true;
            });
        });
    }
    ~EventReader() {
        client.stop();
        thread.join();
    }
    // Waits up to timeout for text to have come.
    bool Waits(const std::string& text, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout,
                                [&] { return received.find(text) != std::string::npos; });
    }

private:
    httplib::Client client;
    std::mutex mutex;
    std::condition_variable arrived;
    std::string received;
    std::thread thread;
};

TEST_F(DashboardServerTest, ANewRecordIsAnnouncedOnTheLiveStream) {
    testing::PostgresServer postgres;
    std::vector<QString> journals = {path};
    if (postgres.Unsuited().empty()) {
        journals.push_back(QString::fromStdString(postgres.Uri()));
    } else {
        ADD_FAILURE() << "no PostgreSQL server: " << postgres.Unsuited();
    }
    for (const QString& where : journals) {
        const Journal written(where);
        QString error;
        ASSERT_TRUE(written.Open(error)) << error.toStdString();
        const RunningServer server(where);
        EventReader events(server);
        ASSERT_TRUE(events.Waits("event: hello", std::chrono::seconds(5))) << where.toStdString();
        JournalRecord record;
        record.id = "live-" + QString::number(++runs);
        record.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        record.station = "S1";
        record.result = "succeeded";
        ASSERT_TRUE(written.Save(record, error)) << error.toStdString();
        EXPECT_TRUE(events.Waits("event: runs", std::chrono::seconds(2))) << where.toStdString();
    }
}

}  // namespace
}  // namespace korvane
