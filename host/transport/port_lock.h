#pragma once
#include <string>
#include <sys/types.h>

// Who holds a serial device, so that "in use" can name the holder: a lock
// taken with flock or fcntl on the device node (as /proc/locks lists it), else
// a live process named in a UUCP lock file (/run/lock/LCK..NAME), which
// programs such as minicom leave. 0 when neither tells.
pid_t PortHolder(const std::string& path);

// A live process other than this one named in a UUCP lock file; 0 when none.
pid_t UucpLockHolder(const std::string& path);

// "is in use (by PID 812: vx42b-poll)", or "is in use by another program"
// when the holder cannot be known.
std::string InUseText(pid_t holder);

// The device node's entry in a /proc/locks text: the first holder of a lock
// on the inode `ino` of the file system `dev`; 0 when none.
pid_t LockHolderIn(const std::string& locks, dev_t dev, ino_t ino);
