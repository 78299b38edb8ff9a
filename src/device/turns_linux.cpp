#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/system.h"
#include "device/hidraw_linux.h"
#include "device/turns.h"

int lockTimeoutMs = 30000;
// On every Linux, open to every account (sticky: only a file's owner may
// remove it); /run/lock is root's alone on some systems and missing in
// many containers.
const char* readOutMarkDir = "/dev/shm";

namespace {

// How often a run waiting for another run's read-out looks again.
constexpr int kLockRetryMs = 10;

// A mark this run may stamp: a plain file of this account's.
bool IsOwnMark(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid();
}

int MakeMark(const char* path) {
    // O_EXCL never follows a link; the file it makes is stamped now.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

}  // namespace

bool TakeTurn(const char*, DeviceHandle device, Turn* turn) {
    // flock on the node itself: the kernel releases it when the node is
    // closed or the run dies.
    const int fd = static_cast<int>(device);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    turn->lock = fd;
    turn->waited = false;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        turn->waited = true;
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            PrintSystemError("ERR flock", error);
            return false;
        }
        if (MillisecondsSince(start) >= lockTimeoutMs) {
            PrintSystemError("ERR flock", ETIMEDOUT);
            return false;
        }
        PauseMilliseconds(kLockRetryMs);
    }
    return true;
}

void EndTurn(Turn* turn) {
    flock(static_cast<int>(turn->lock), LOCK_UN);
}

void MarkPathOf(const char* devicePath, char* path, std::size_t size) {
    const char* slash = std::strrchr(devicePath, '/');
    const int length = std::snprintf(path, size, "%s/frostgauge-%s", readOutMarkDir,
                                     slash != nullptr ? slash + 1 : devicePath);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        path[0] = '\0';
    }
}

MarkFound LookAtMark(const char* path, long* ageMs) {
    struct stat status;
    if (lstat(path, &status) != 0) {
        return MarkFound::kNone;
    }
    // Anyone may make a file here: only a mark of this account's, or one of
    // root's, which no other can make, tells when its run sent a command.
    if (!S_ISREG(status.st_mode) || (status.st_uid != geteuid() && status.st_uid != 0)) {
        return MarkFound::kUndated;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *ageMs = (now.tv_sec - status.st_mtim.tv_sec) * 1000L +
             (now.tv_nsec - status.st_mtim.tv_nsec) / 1000000L;
    return MarkFound::kDated;
}

MarkHandle StampMark(const char* path, MarkHandle mark) {
    if (mark != kNoMark) {
        futimens(static_cast<int>(mark), nullptr);
        return mark;
    }
    int fd = MakeMark(path);
    if (fd >= 0 || errno != EEXIST) {
        return fd >= 0 ? fd : kNoMark;
    }
    // Left there by this account: taken over. O_NONBLOCK, so that a pipe
    // planted there cannot hold the run.
    fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && IsOwnMark(fd)) {
        futimens(fd, nullptr);
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    // Root may replace another's file; any other account goes without.
    if (geteuid() != 0 || unlink(path) != 0) {
        return kNoMark;
    }
    fd = MakeMark(path);
    return fd >= 0 ? fd : kNoMark;
}

void ClearMark(const char* path, MarkHandle mark) {
    unlink(path);
    close(static_cast<int>(mark));
}

void LeaveMark(MarkHandle mark) {
    close(static_cast<int>(mark));
}
