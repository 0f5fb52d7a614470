// What a program that runs the station's work on threads of its own must set before Qt
// starts.
#pragma once

#include <QtGlobal>

namespace korvane {

// The journal's database drivers match regular expressions on whatever thread opens a
// connection (a flash run's worker, a port's run), and Qt gives each such thread a JIT
// stack of its own. The static MinGW build frees those stacks when the thread ends after
// their allocator is gone, and the program crashes on its way out. Matching without the
// JIT needs no such stack; the journal's few matches do not miss its speed.
inline void PrepareQtForWorkerThreads() {
#ifdef Q_OS_WIN
    qputenv("QT_ENABLE_REGEXP_JIT", "0");
#endif
}

}  // namespace korvane
