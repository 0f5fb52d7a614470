// Other programs that have a serial port in hand, as a POSIX system shows them: the
// lock files of the system lock folder (LCK..ttyUSB0 holding the owner's process id), and
// for a real serial device the processes that hold it open (a modem manager probing a
// freshly plugged adapter, a terminal program left running). A port that someone else
// holds is not opened: bytes sent there would reach their conversation, not the device's.
#pragma once

#include <string>
#include <vector>

namespace korvane {

// The folder of the lock files: KORVANE_LOCK_DIR when set, else /var/lock.
std::string LockFolder();

// The lock file that stands for device, symbolic links resolved: /dev/ttyUSB0 and any
// link to it give LCK..ttyUSB0; a device in a subfolder of /dev has its slashes turned
// into underscores (LCK..pts_3).
std::string LockFilePath(const std::string& device);

// A process as the operator can recognise it: "ModemManager (pid 812)", or "pid 812"
// when its name cannot be read.
std::string DescribeProcess(long pid);

// The processes other than this one that hold path open, described; empty when none are
// seen (processes of other users are seen only with the privileges to look at them).
std::vector<std::string> ProcessesHolding(const std::string& path);

// The first process other than this one that holds a real serial device open, described;
// empty when none does, and always for a pseudo-terminal, whose other end its simulator
// holds by design.
std::string OtherOpener(const std::string& device);

// The live process that device's lock file names (this one included), described; empty
// when there is no lock file or its process has ended.
std::string LockHolder(const std::string& device);

// True for a pseudo-terminal, which no other program can be probing as a modem and which
// cannot carry parity.
bool IsPseudoTerminal(const std::string& device);

// Takes the lock file for device in this process's name; lockFile becomes its path.
// False, with holder describing the owner, when a live process holds it (this one
// included: a second open in the same program is refused too). A lock left by a process
// that is gone is taken over. Where the folder cannot be written the port is used without
// a lock file of its own (true, lockFile empty): the exclusive open still keeps our own
// programs apart.
bool AcquirePortLock(const std::string& device, std::string& lockFile, std::string& holder);

// Removes the lock file taken by AcquirePortLock, if it is still ours; clears lockFile.
void ReleasePortLock(std::string& lockFile);

}  // namespace korvane
