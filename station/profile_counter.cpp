#include "station/profile_counter.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include "settings/profile.h"

namespace korvane {

ProfileCounter::ProfileCounter() = default;

ProfileCounter::~ProfileCounter() {
    Unlock();
}

QString ProfileCounter::LockPath() {
#ifdef Q_OS_WIN
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/" + kProfileKey;
#else
    const QString folder = QFileInfo(ProfileLocation()).absolutePath();
#endif
    return folder + "/" + kProfileApplication + ".sn.lock";
}

bool ProfileCounter::Lock(std::string& why) {
    const QString path = LockPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    lock = std::make_unique<QLockFile>(path);
    // A run may last as long as its package takes on the line: a lock is stale only when
    // the process that holds it is gone, never because it is old.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        return true;
    }
    if (lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        // A holder that has only just made the file may not have written itself into it.
        for (int tries = 0; tries < 50 && !lock->getLockInfo(&pid, &host, &application); ++tries) {
            QThread::msleep(10);
        }
        why = QStringLiteral(
                  "The sequence number is in use by another program: %1 (process %2 "
                  "on %3).")
                  .arg(application.isEmpty() ? QStringLiteral("unknown") : application)
                  .arg(pid)
                  .arg(host.isEmpty() ? QStringLiteral("an unknown host") : host)
                  .toStdString();
    } else {
        why = QStringLiteral("The sequence number cannot be locked: %1 cannot be written.")
                  .arg(path)
                  .toStdString();
    }
    lock.reset();
    return false;
}

void ProfileCounter::Unlock() {
    if (lock) {
        lock->unlock();
        lock.reset();
    }
}

bool ProfileCounter::Take(std::optional<int> chosen, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!Lock(why)) {
        return false;
    }
    if (chosen) {
        next = *chosen;
        return true;
    }
    const StoredSequenceNumber stored = ReadSequenceNumber();
    if (!stored.Usable()) {
        why = DescribeSequenceNumber(stored).toStdString();
        Unlock();
        return false;
    }
    next = stored.value;
    return true;
}

int ProfileCounter::Next() const {
    std::lock_guard<std::mutex> guard(mutex);
    return next;
}

bool ProfileCounter::Consume(int& number, const NumberGuard& guard, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    // The advance reaches the disk before anyone hears of the number: a run killed from
    // here on leaves it spent, never given twice.
    QString problem;
    if (!SaveSequenceNumber(next + 1, problem)) {
        why = problem.toStdString();
        return false;
    }
    if (guard) {
        const NumberVerdict verdict = guard(next, why);
        if (verdict == NumberVerdict::kRefused) {
            // Another device holds it: the counter goes back to the number, which this run
            // did not send. Should that fail too, the number stays spent.
            SaveSequenceNumber(next, problem);
            return false;
        }
        if (verdict == NumberVerdict::kUnknown) {
            ++next;  // it may be recorded as this run's: never again
            return false;
        }
    }
    number = next++;
    return true;
}

void ProfileCounter::Give() {
    std::lock_guard<std::mutex> guard(mutex);
    Unlock();
}

bool ProfileCounter::SaveChosen(int number, std::string& why) {
    std::lock_guard<std::mutex> guard(mutex);
    if (!Lock(why)) {
        return false;
    }
    QString problem;
    const bool saved = SaveSequenceNumber(number, problem);
    if (saved) {
        next = number;
    } else {
        why = problem.toStdString();
    }
    Unlock();
    return saved;
}

}  // namespace korvane
