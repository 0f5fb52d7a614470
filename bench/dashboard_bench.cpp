// What the dashboard costs on a line's journal of a million runs: 200 days of 12 stations
// with 8 fixtures each, a few percent of runs failing for the usual causes and half of
// those chips coming back to pass. For an SQLite file and for a PostgreSQL server it prints
// the time of each endpoint (the median of 5 requests) and the server's memory, idle and
// with 20 pages open on the live stream.
//
//   bench_dashboard [runs]      (default 1000000)
//
// A real PostgreSQL server is started in a temporary folder for the run; the server is
// korvane-flash journal serve, as a line runs it.
#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "station/journal.h"
#include "support/child_process.h"
#include "support/postgres_server.h"

using namespace korvane;

namespace {

constexpr int kStations = 12;
constexpr int kFixtures = 8;
constexpr int kDays = 200;
constexpr int kPages = 20;
constexpr int kRowsAStatement = 500;

// A small generator of its own, so that every run of the benchmark writes the same journal.
struct Random {
    uint64_t state = 88172645463325252ULL;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double Share() { return static_cast<double>(Next() % 1000000) / 1000000.0; }
};

QString Literal(const QString& text) {
    return text.isEmpty() ? QStringLiteral("NULL") : "'" + QString(text).replace('\'', "''") + "'";
}

QString CodeOfFailure(double share) {
    return share < 0.4    ? "no-reply"
           : share < 0.65 ? "write-refused"
           : share < 0.8  ? "no-bootloader"
           : share < 0.9  ? "read-protected"
                          : "verify-failed";
}

// Opens db on where: the journal's own way of naming a server or a file.
QSqlDatabase OpenDirect(const QString& where) {
    const bool server = where.startsWith("postgres");
    QSqlDatabase db =
        QSqlDatabase::addDatabase(server ? "QPSQL" : "QSQLITE", server ? "server" : "file");
    if (server) {
        const QUrl url(where);
        db.setUserName(url.userName());
        db.setDatabaseName(url.path().mid(1));
        QStringList options;
        for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
            options << key + "=" + value;
        }
        db.setConnectOptions(options.join(';'));
    } else {
        db.setDatabaseName(where);
    }
    db.open();
    return db;
}

// Writes runs records over kDays ending now; the last chip's unique ID and serial text go
// into the named strings, for asking after a chip's history.
bool Generate(const QString& where, int runs, QString& uid, QString& serial) {
    QString error;
    if (!Journal(where).Open(error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    QSqlDatabase db = OpenDirect(where);
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-kDays);
    const double step = kDays * 86400.0 / runs;
    Random random;
    std::deque<std::pair<int, QString>> failedChips;  // come back after a while
    int chips = 0;
    int number = 0;
    db.transaction();
    QStringList rows;
    for (int i = 0; i < runs; ++i) {
        QString chip;
        if (!failedChips.empty() && failedChips.front().first <= i) {
            chip = failedChips.front().second;
            failedChips.pop_front();
        } else {
            chip = QStringLiteral("%1").arg(++chips, 24, 16, QChar('0'));
        }
        const bool failed = random.Share() < 0.04;
        const QString code = failed ? CodeOfFailure(random.Share()) : "ok";
        if (failed && random.Share() < 0.5) {
            failedChips.emplace_back(i + 200, chip);
        }
        const QString sn = failed ? QString() : QString::number(++number);
        serial = failed ? serial : QStringLiteral("K35226%1").arg(number, 7, 10, QChar('0'));
        uid = chip;
        rows << QStringLiteral(
                    "('run-%1', '%2', 'Station %3', 'COM%4', '/dev/ttyUSB%4', "
                    "'board-v7.bin', 65536, '%5', %6, %7, '%8', 'done', %9, '1.0', "
                    "'%10', 64, 'RWQ0123456789ABCDEF', 'release 7', '%11')")
                    .arg(i)
                    .arg(start.addMSecs(static_cast<qint64>(i * step * 1000))
                             .toString(Qt::ISODateWithMs))
                    .arg(i % kStations + 1)
                    .arg(i / kStations % kFixtures + 1)
                    .arg(QString(64, 'a'), sn.isEmpty() ? "NULL" : sn,
                         failed ? "NULL" : Literal(serial), failed ? "failed" : "succeeded")
                    .arg(14 + random.Share() * 8, 0, 'f', 2)
                    .arg(chip, code);
        if (rows.size() == kRowsAStatement || i == runs - 1) {
            QSqlQuery insert(db);
            if (!insert.exec("INSERT INTO runs (id, started, station, port, device, package, "
                             "package_size, sha256, sn, serial, result, status, seconds, version, "
                             "uid, flash_kib, signer, signed_comment, code) VALUES " +
                             rows.join(", "))) {
                std::fprintf(stderr, "%s\n", qPrintable(insert.lastError().text()));
                return false;
            }
            rows.clear();
        }
    }
    db.commit();
    QSqlQuery(db).exec("ANALYZE");
    db.close();
    return true;
}

// The median of 5 requests of path, in milliseconds.
double MedianMs(httplib::Client& client, const std::string& path) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        const auto answer = client.Get(path.c_str());
        times.push_back(clock.nsecsElapsed() / 1e6);
        if (!answer || answer->status != 200) {
            std::fprintf(stderr, "%s: %d\n", path.c_str(), answer ? answer->status : -1);
        }
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

// The resident memory of a process, in MiB.
double ResidentMib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

void Measure(const char* store, const QString& where, const QString& uid, const QString& serial) {
    testing::ChildProcess server(
        KORVANE_FLASH_EXE,
        {"journal", "serve", "--journal", where.toStdString(), "--listen", "127.0.0.1:0"});
    const std::string said = server.ReadLine();
    const int port = std::stoi(said.substr(said.rfind(':') + 1));
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120);
    const std::string shift =
        QUrl::toPercentEncoding(
            QDateTime::currentDateTimeUtc().addSecs(-8 * 3600).toString(Qt::ISODateWithMs))
            .toStdString();
    std::printf("%s:\n", store);
    for (const std::string& path :
         {"/api/summary?since=" + shift, "/api/summary?since=" + shift + "&station=Station%205",
          "/api/chip/" + uid.toStdString(), "/api/chip/" + serial.toStdString(),
          "/api/runs?limit=100&since=" + shift, std::string("/api/stations"),
          "/api/runs.csv?since=" + shift}) {
        std::printf("  %-60s %8.1f ms\n", path.substr(0, 60).c_str(), MedianMs(client, path));
    }
    std::printf("  memory idle after the requests: %.1f MiB\n",
                ResidentMib(static_cast<int>(server.Pid())));
    // Twenty pages: each holds the live stream open and loads what the page loads.
    std::vector<std::unique_ptr<httplib::Client>> pages;
    std::vector<std::thread> streams;
    for (int i = 0; i < kPages; ++i) {
        pages.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
        httplib::Client* page = pages.back().get();
        streams.emplace_back(
            [page] { page->Get("/api/events", [](const char*, size_t) { return true; }); });
        httplib::Client loads("127.0.0.1", port);
        loads.set_read_timeout(120);
        loads.Get(("/api/summary?since=" + shift).c_str());
        loads.Get("/api/stations");
    }
    std::printf("  memory with %d pages open: %.1f MiB\n", kPages,
                ResidentMib(static_cast<int>(server.Pid())));
    for (auto& page : pages) {
        page->stop();
    }
    for (std::thread& stream : streams) {
        stream.join();
    }
    server.Signal(SIGTERM);
    server.Wait();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir folder;
    const QString file = folder.filePath("journal.sqlite");
    QString uid;
    QString serial;
    QElapsedTimer clock;
    clock.start();
    if (!Generate(file, runs, uid, serial)) {
        return 1;
    }
    std::printf("SQLite: %d runs written in %.0f s\n", runs, clock.elapsed() / 1000.0);
    Measure("SQLite", file, uid, serial);
    testing::PostgresServer postgres;
    if (!postgres.Unsuited().empty()) {
        std::fprintf(stderr, "no PostgreSQL server: %s\n", postgres.Unsuited().c_str());
        return 1;
    }
    clock.restart();
    if (!Generate(QString::fromStdString(postgres.Uri()), runs, uid, serial)) {
        return 1;
    }
    std::printf("PostgreSQL: %d runs written in %.0f s\n", runs, clock.elapsed() / 1000.0);
    Measure("PostgreSQL", QString::fromStdString(postgres.Uri()), uid, serial);
    return 0;
}
