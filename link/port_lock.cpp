#include "link/port_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace korvane {

namespace {

constexpr char kDevicePrefix[] = "/dev/";
constexpr char kPseudoTerminalFolder[] = "/dev/pts/";
// Major device numbers of the pseudo-terminals' device side on Linux.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

std::string ResolvedPath(const std::string& device) {
    char resolved[PATH_MAX];
    return realpath(device.c_str(), resolved) != nullptr ? std::string(resolved) : device;
}

// The process id a lock file names: ten-column ASCII as the lock convention writes it.
// 0 when the file holds none.
long LockOwner(const std::string& lockFile) {
    std::ifstream file(lockFile);
    long pid = 0;
    if (!(file >> pid) || pid <= 0) {
        return 0;
    }
    return pid;
}

bool ProcessAlive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Writes a lock file naming this process beside the real one and links it into place, so
// that nobody ever reads a half-written lock. EEXIST when another lock is there.
int CreateLock(const std::string& lockFile) {
    // Each attempt has a name of its own: the runs of one process (the ports of one
    // tool) may be making their locks at the same moment.
    static std::atomic<unsigned> attempts{0};
    const std::string temporary = LockFolder() + "/LTMP." +
                                  std::to_string(static_cast<long>(getpid())) + "." +
                                  std::to_string(attempts.fetch_add(1));
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    const bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    int result = 0;
    if (!written) {
        result = EIO;
    } else if (link(temporary.c_str(), lockFile.c_str()) != 0) {
        result = errno;
    }
    unlink(temporary.c_str());
    return result;
}

}  // namespace

std::string LockFolder() {
    const char* folder = std::getenv("KORVANE_LOCK_DIR");
    return folder != nullptr && *folder != '\0' ? folder : "/var/lock";
}

std::string LockFilePath(const std::string& device) {
    std::string name = ResolvedPath(device);
    if (name.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0) {
        name.erase(0, sizeof kDevicePrefix - 1);
    }
    while (!name.empty() && name.front() == '/') {
        name.erase(0, 1);
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return LockFolder() + "/LCK.." + name;
}

std::string DescribeProcess(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    const std::string id = "pid " + std::to_string(pid);
    return name.empty() ? id : name + " (" + id + ")";
}

std::vector<std::string> ProcessesHolding(const std::string& path) {
    std::vector<std::string> holders;
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) {
        return holders;
    }
    const bool device = S_ISCHR(target.st_mode);
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return holders;
    }
    const long self = static_cast<long>(getpid());
    while (const dirent* process = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
        DIR* descriptors = opendir(fdFolder.c_str());
        if (descriptors == nullptr) {
            continue;  // gone meanwhile, or another user's without the right to look
        }
        bool holds = false;
        while (const dirent* entry = readdir(descriptors)) {
            struct stat open {};
            if (entry->d_name[0] == '.' ||
                stat((fdFolder + "/" + entry->d_name).c_str(), &open) != 0) {
                continue;
            }
            holds = device ? S_ISCHR(open.st_mode) && open.st_rdev == target.st_rdev
                           : open.st_dev == target.st_dev && open.st_ino == target.st_ino;
            if (holds) {
                break;
            }
        }
        closedir(descriptors);
        if (holds) {
            holders.push_back(DescribeProcess(pid));
        }
    }
    closedir(processes);
    return holders;
}

std::string OtherOpener(const std::string& device) {
    if (IsPseudoTerminal(device)) {
        return {};
    }
    const std::vector<std::string> others = ProcessesHolding(device);
    return others.empty() ? std::string() : others.front();
}

std::string LockHolder(const std::string& device) {
    const long owner = LockOwner(LockFilePath(device));
    return ProcessAlive(owner) ? DescribeProcess(owner) : std::string();
}

bool IsPseudoTerminal(const std::string& device) {
    const std::string resolved = ResolvedPath(device);
    if (resolved.compare(0, sizeof kPseudoTerminalFolder - 1, kPseudoTerminalFolder) == 0) {
        return true;
    }
    struct stat status {};
    if (stat(resolved.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return false;
    }
    const unsigned majorNumber = major(status.st_rdev);
    return majorNumber >= kFirstPtyMajor && majorNumber <= kLastPtyMajor;
}

bool AcquirePortLock(const std::string& device, std::string& lockFile, std::string& holder) {
    lockFile.clear();
    const std::string path = LockFilePath(device);
    // Twice at most: a stale lock is removed and the lock taken on the second round.
    for (int round = 0; round < 2; ++round) {
        const int error = CreateLock(path);
        if (error == 0) {
            lockFile = path;
            return true;
        }
        const long owner = LockOwner(path);
        if (error != EEXIST && !ProcessAlive(owner)) {
            // No lock of our own can be made here (no such folder, no right to write it),
            // and nobody else's stands in the way.
            return true;
        }
        if (ProcessAlive(owner)) {
            holder = DescribeProcess(owner);
            return false;
        }
        // The owner is gone (or the file names none): the lock is stale.
        unlink(path.c_str());
    }
    holder = "the lock file " + path;
    return false;
}

void ReleasePortLock(std::string& lockFile) {
    if (!lockFile.empty() && LockOwner(lockFile) == static_cast<long>(getpid())) {
        unlink(lockFile.c_str());
    }
    lockFile.clear();
}

}  // namespace korvane
