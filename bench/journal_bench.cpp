// What the journal costs: sequence numbers claimed per second, with their 99th-percentile
// latency, by 8 processes drawing from one PostgreSQL database (directly, and through
// stations that lease 1 or 20 numbers at a time) and from one SQLite file; and the time a
// device run spends on its record (begin, number, end).
//
//   bench_journal [claims per process]      (default 200)
//
// A real PostgreSQL server is started in a temporary folder for the run.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "station/journal.h"
#include "station/journal_run.h"
#include "support/child_process.h"
#include "support/postgres_server.h"

using namespace korvane;

namespace {

constexpr int kProcesses = 8;

// One worker with a lease: takes count numbers through a station's counter that claims
// lease numbers at a time (its own spool in a folder of its own), and prints each one's
// latency in microseconds.
int LeaseWorker(const QString& where, int count, int lease) {
    QTemporaryDir own;
    qputenv("XDG_DATA_HOME", own.path().toLocal8Bit());
    const QString name = QStringLiteral("bench-%1").arg(QCoreApplication::applicationPid());
    const JournalRecorder recorder(where, name, name, true);
    JournalCounter counter(recorder, lease);
    std::string why;
    if (!counter.Take(std::nullopt, why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        int number = 0;
        if (!counter.Consume(number, NumberGuard(), why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(clock.nsecsElapsed() / 1000));
    }
    return 0;
}

// One worker: claims count numbers and prints each claim's latency in microseconds.
int Worker(const QString& where, int count, int lease) {
    if (lease > 0) {
        return LeaseWorker(where, count, lease);
    }
    const Journal journal(where);
    JournalRecord record;
    record.id = QStringLiteral("bench-%1").arg(QCoreApplication::applicationPid());
    record.started = QStringLiteral("2026-01-01T00:00:00.000Z");
    QString error;
    if (!journal.Save(record, error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        int number = 0;
        if (!journal.ClaimNumber(record.id, number, error)) {
            std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(clock.nsecsElapsed() / 1000));
    }
    return 0;
}

void Claims(const char* name, const QString& where, int count, int lease = 0) {
    QString error;
    if (!Journal(where).Open(error) || !Journal(where).SetNextNumber(1, error)) {
        std::fprintf(stderr, "%s: %s\n", name, error.toLocal8Bit().constData());
        return;
    }
    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<testing::ChildProcess>> workers;
    for (int i = 0; i < kProcesses; ++i) {
        workers.push_back(std::make_unique<testing::ChildProcess>(
            self, std::vector<std::string>{"--worker", where.toStdString(), std::to_string(count),
                                           std::to_string(lease)}));
    }
    std::vector<long long> latencies;
    for (auto& worker : workers) {
        for (std::string line; !(line = worker->ReadLine()).empty();) {
            latencies.push_back(std::stoll(line));
        }
        worker->Wait();
    }
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    std::sort(latencies.begin(), latencies.end());
    const long long p99 = latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100];
    const std::string label =
        lease > 0 ? std::string(name) + ", lease " + std::to_string(lease) : std::string(name);
    std::printf("%-22s %d processes, %zu claims in %.2f s: %.0f claims/s, p99 %.1f ms\n",
                label.c_str(), kProcesses, latencies.size(), seconds,
                static_cast<double>(latencies.size()) / seconds, static_cast<double>(p99) / 1000.0);
}

// A device run's record: begun, given its number, ended with four entries.
void RecordCost(const char* name, const QString& where, const QString& package) {
    JournalRecorder recorder(where, QStringLiteral("bench"));
    constexpr int kRuns = 50;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kRuns; ++i) {
        std::string why;
        if (!recorder.Begin({"COM1", "/dev/ttyS0", package.toStdString()}, why)) {
            std::fprintf(stderr, "%s: %s\n", name, why.c_str());
            return;
        }
        recorder.RecordNumber(90000 + i, "K352265090000", why);
        for (const char* entry : {"DIAG.BIN", "MCU.BIN", "CFG.BIN", "x_LOGO.BIN"}) {
            recorder.EntryEnded({entry, "data", 4096, true});
        }
        recorder.End({true, "Finished to write the file [sample.bin] to the flash.", "ok", {}});
    }
    std::printf("%-10s %.1f ms of journal work per device run\n", name,
                static_cast<double>(clock.nsecsElapsed()) / 1e6 / kRuns);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--worker") {
        return Worker(args[2], args[3].toInt(), args[4].toInt());
    }
    const int count = args.size() > 1 ? args[1].toInt() : 200;
    QTemporaryDir folder;
    qputenv("XDG_DATA_HOME", folder.path().toLocal8Bit());
    const QString package = folder.filePath("sample.bin");
    QFile file(package);
    file.open(QIODevice::WriteOnly);
    file.write(QByteArray(13256, 'x'));
    file.close();

    testing::PostgresServer server;
    if (server.Unsuited().empty()) {
        Claims("postgresql", QString::fromStdString(server.Uri()), count);
        // Stations that claim blocks of numbers, to go on while the server is away.
        for (const int lease : {1, 20}) {
            Claims("postgresql", QString::fromStdString(server.Uri()), count, lease);
        }
    } else {
        std::printf("postgresql: skipped, %s\n", server.Unsuited().c_str());
    }
    Claims("sqlite", folder.filePath("claims.sqlite"), count);
    if (server.Unsuited().empty()) {
        RecordCost("postgresql", QString::fromStdString(server.Uri()), package);
    }
    RecordCost("sqlite", folder.filePath("records.sqlite"), package);
    return 0;
}
