// Applying a change to widgets from any thread: widgets belong to the thread that made them.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <utility>

namespace korvane {

// Runs change on the thread of owner and returns once it has run. On that thread itself
// it runs at once; from another thread it is queued to owner's thread, which must be
// handling events (the window's wait loop does during a run), and the caller waits for it.
template <typename Change>
void ApplyOnThreadOf(QObject* owner, Change&& change) {
    if (QThread::currentThread() == owner->thread()) {
        change();
    } else {
        QMetaObject::invokeMethod(owner, std::forward<Change>(change),
                                  Qt::BlockingQueuedConnection);
    }
}

}  // namespace korvane
