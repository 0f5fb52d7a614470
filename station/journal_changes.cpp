#include "station/journal_changes.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSqlDriver>
#include <QTimer>

#include "station/journal_connection.h"

namespace korvane {

namespace {

// How often an SQLite file is looked at, and how often a server's connection is checked.
constexpr std::chrono::milliseconds kFileLook{250};
constexpr int kServerCheckMs = 5000;
constexpr std::chrono::seconds kServerRetry{2};

// What an SQLite file's state is told by: its modification time and size, and those of its
// write-ahead log, where a writer's commits land first.
QString FileState(const QString& path) {
    QString state;
    for (const QString& file : {path, path + QStringLiteral("-wal")}) {
        const QFileInfo info(file);
        state += QString::number(info.lastModified().toMSecsSinceEpoch()) + ':' +
                 QString::number(info.size()) + ';';
    }
    return state;
}

}  // namespace

ChangeFeed::ChangeFeed(QString whereIn) : where(std::move(whereIn)) {
    if (journal_sql::IsServerAddress(where)) {
        watcher = std::thread([this] { ListenToServer(); });
    } else {
        watcher = std::thread([this] { WatchFile(); });
    }
}

ChangeFeed::~ChangeFeed() {
    Close();
    watcher.join();
}

Changes ChangeFeed::Now() const {
    std::lock_guard<std::mutex> lock(mutex);
    return changes;
}

Changes ChangeFeed::Wait(const Changes& seen, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, timeout, [&] { return closed || changes != seen; });
    return changes;
}

void ChangeFeed::Close() {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    if (loop != nullptr) {
        QMetaObject::invokeMethod(static_cast<QEventLoop*>(loop), "quit", Qt::QueuedConnection);
    }
    changed.notify_all();
}

bool ChangeFeed::Closed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return closed;
}

void ChangeFeed::Changed(bool runs, bool stations) {
    std::lock_guard<std::mutex> lock(mutex);
    changes.runs += runs ? 1 : 0;
    changes.stations += stations ? 1 : 0;
    changed.notify_all();
}

void ChangeFeed::WatchFile() {
    QString last = FileState(where);
    std::unique_lock<std::mutex> lock(mutex);
    while (!changed.wait_for(lock, kFileLook, [this] { return closed; })) {
        lock.unlock();
        const QString now = FileState(where);
        // A file tells no more than that it changed: runs and stations alike.
        if (now != last) {
            last = now;
            Changed(true, true);
        }
        lock.lock();
    }
}

void ChangeFeed::ListenToServer() {
    bool first = true;
    while (!Closed()) {
        // Made first: the driver's socket notifier needs this thread's event dispatcher.
        QEventLoop events;
        QString error;
        journal_sql::Connection connection(where, journal_sql::Connection::Access::kReadOnly);
        QSqlDriver* driver = connection.Open(error) ? connection.Db().driver() : nullptr;
        if (driver != nullptr &&
            driver->subscribeToNotification(QString::fromLatin1(journal_sql::kChangeChannel))) {
            // What was written while nobody listened is news too.
            if (!first) {
                Changed(true, true);
            }
            first = false;
            QObject::connect(
                driver, &QSqlDriver::notification, &events,
                [this](const QString&, QSqlDriver::NotificationSource, const QVariant& payload) {
                    const QString what = payload.toString();
                    Changed(what != QLatin1String("stations"), what != QLatin1String("runs"));
                });
            // A connection that broke delivers nothing, and says so only when used.
            QTimer check;
            QObject::connect(&check, &QTimer::timeout, &events, [&] {
                QSqlQuery alive(connection.Db());
                if (!alive.exec(QStringLiteral("SELECT 1"))) {
                    events.quit();
                }
            });
            check.start(kServerCheckMs);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (closed) {
                    break;
                }
                loop = &events;
            }
            events.exec();
            std::lock_guard<std::mutex> lock(mutex);
            loop = nullptr;
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kServerRetry, [this] { return closed; });
    }
}

}  // namespace korvane
