// What changed in the journal, as counts that grow: a live view (the dashboard) waits on them.
// A server's writers notify (LISTEN/NOTIFY); an SQLite file is watched by its modification
// times and sizes (with its write-ahead log), looked at a few times a second.
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace korvane {

// How many times each kind of thing has changed since the feed started.
struct Changes {
    uint64_t runs = 0;
    uint64_t stations = 0;

    bool operator==(const Changes& other) const {
        return runs == other.runs && stations == other.stations;
    }
    bool operator!=(const Changes& other) const { return !(*this == other); }
};

class ChangeFeed {
public:
    // where: the journal's address, as a JournalReader takes it. Starts watching at once.
    explicit ChangeFeed(QString where);
    ~ChangeFeed();
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    Changes Now() const;
    // Waits until the changes differ from seen, the feed closes, or timeout passes; gives
    // the changes then.
    Changes Wait(const Changes& seen, std::chrono::milliseconds timeout) const;
    // Ends every wait at once, and the watching.
    void Close();
    bool Closed() const;

private:
    void WatchFile();
    void ListenToServer();
    void Changed(bool runs, bool stations);

    QString where;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Changes changes;
    bool closed = false;
    void* loop = nullptr;  // the listening thread's event loop, to end it
    std::thread watcher;
};

}  // namespace korvane
