// UUCP lock files: how serial programs on one POSIX machine tell each other
// that a device is in use.
//
// A lock is the file LCK..<name> in a shared directory (/var/lock by default,
// see SetComLockDirectory()) holding the holder's PID as ten characters,
// right-aligned, and a newline. <name> is the device's path with symlinks
// resolved, taken relative to /dev with every '/' turned into '_'
// (/dev/ttyUSB0 -> LCK..ttyUSB0, /dev/pts/3 -> LCK..pts_3). A device outside
// /dev is named by its whole path, '/' written as '_' and '_' and '%' as
// %5F and %25 (/srv/line_7 -> LCK.._srv_line%5F7), so two devices never share
// a lock; a name too long for a file keeps its end behind a hash of the path.
//
// What a lock found in the directory means:
// - it names a live process other than ours: the device is busy (EBUSY);
// - it names a process that no longer exists: it is stale, removed, and the
//   device may be taken;
// - it names our own process: another port object of ours may hold the
//   device, which the device's flock() then settles;
// - it names no process we can read (empty, not a number, not a plain file,
//   unreadable): it counts as held, since another program may still be
//   writing it and removing it could let two programs share one line.
//
// A lock is created with O_CREAT|O_EXCL, so of two programs taking it at once
// only one succeeds. A lock directory that is missing, or that we may not
// write to, is no failure: the device is then used without a lock file.
// Everything here is reached only from comport_posix.cpp.
#pragma once

#include <string>
#include <string_view>

// A lock file that the port holds (or found already naming its process).
struct ComLock {
    std::string path;      // empty: no lock file is involved
    bool created = false;  // true when this open wrote the file itself
};

// The lock file name of a device from its resolved path ("LCK..pts_3").
std::string comLockName(const std::string& resolvedPath);
// The PID a lock file's content names, or 0 when it names none. Accepts the
// HDB text form with any padding and the old 4-byte binary form.
long comLockPid(std::string_view content);
// The HDB text form of a PID: ten characters right-aligned and a newline.
std::string comLockContent(long pid);

// Looks at and, when the device is free, takes the lock of the device at
// `resolvedPath` in the current lock directory. Returns 0 when the device may
// be opened (`lock` then tells what file, if any, is involved) or EBUSY when
// another process holds it.
int comLockTake(const std::string& resolvedPath, ComLock& lock);
// Removes the lock file, but only while it still names our process.
void comLockRelease(const ComLock& lock);
