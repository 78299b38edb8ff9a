#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/system.h"
#include "common/system_linux.h"
#include "device/turns.h"
#include "device/turns_platform.h"

int lockTimeoutMs = 30000;
const char* readOutMarkDir = nullptr;

namespace {

// How often a run waiting for another run's read-out looks again.
constexpr int kLockRetryMs = 10;

// Root's own folder: no other account can make a name there, so nothing
// planted can cost root its mark.
constexpr char kRootMarkDir[] = "/run/frostgauge";
// Open to every account, sticky, in the order a run tries them: /dev/shm is
// missing on busybox systems and in some containers, /run/lock is root's
// alone on Fedora, RHEL and Arch, /tmp is there on every Linux.
constexpr const char* kSharedMarkDirs[] = {"/dev/shm", "/run/lock", "/tmp"};
constexpr std::size_t kMarkDirCount = 1 + sizeof kSharedMarkDirs / sizeof kSharedMarkDirs[0];

// A mark older than any answer could be.
constexpr std::int64_t kLongAgoMs = INT64_C(1) << 40;

// The mark holds when its run last sent a command, on the boot clock, which
// no step of the wall clock moves, and which boot that was: the folders of
// /tmp outlive one.
constexpr std::size_t kBootIdSize = 40;
constexpr char kBootIdFile[] = "/proc/sys/kernel/random/boot_id";
constexpr std::size_t kStampSize = kBootIdSize + 24;

void ReadBootId(char* id) {
    std::snprintf(id, kBootIdSize, "-");
    const int fd = open(kBootIdFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char text[kBootIdSize] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got > 0) {
        text[strcspn(text, "\n")] = '\0';
        std::snprintf(id, kBootIdSize, "%s", text);
    }
}

std::int64_t BootClockMs() {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const char* NameOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool JoinPath(const char* dir, const char* name, char* path, std::size_t size) {
    const int length = std::snprintf(path, size, "%s/%s", dir, name);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

// The folders where marks may lie: the one a test names, or the system's.
std::size_t MarkDirs(const char** dirs) {
    if (readOutMarkDir != nullptr) {
        dirs[0] = readOutMarkDir;
        return 1;
    }
    dirs[0] = kRootMarkDir;
    for (std::size_t i = 1; i < kMarkDirCount; ++i) {
        dirs[i] = kSharedMarkDirs[i - 1];
    }
    return kMarkDirCount;
}

// A file whose time this run may believe: a plain one of its own account's
// or of root's, which no other account can make.
bool IsTrusted(const struct stat& status) {
    return S_ISREG(status.st_mode) && (status.st_uid == geteuid() || status.st_uid == 0);
}

// A real folder (not a link) this run may write, whose marks no other
// account can remove or replace.
bool IsUsableDir(const char* dir) {
    struct stat status;
    if (lstat(dir, &status) != 0 || !S_ISDIR(status.st_mode) ||
        (status.st_uid != 0 && status.st_uid != geteuid())) {
        return false;
    }
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (othersWrite && (status.st_mode & S_ISVTX) == 0) {
        return false;
    }
    // Also refused on a read-only mount.
    return access(dir, W_OK | X_OK) == 0;
}

// Root makes its folder once; its mode is not the umask's to narrow, or
// other accounts could not read root's marks.
void MakeRootDir() {
    if (mkdir(kRootMarkDir, 0755) != 0) {
        return;
    }
    const int fd = open(kRootMarkDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        fchmod(fd, 0755);
        close(fd);
    }
}

// Whether this run can keep its mark at path: the name is free, or holds a
// plain file it may replace (its own; root's are all).
bool IsUsableName(const char* path) {
    struct stat status;
    if (lstat(path, &status) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(status.st_mode) && (status.st_uid == geteuid() || geteuid() == 0);
}

// Root's folder holds marks only while no other account can write to it.
bool IsClosedToOthers(const char* dir) {
    struct stat status;
    return lstat(dir, &status) == 0 && status.st_uid == 0 &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Splits "BOOT MS\n" at the space, leaving the boot's id in text.
bool ParseStamp(char* text, std::int64_t* ms) {
    char* space = std::strchr(text, ' ');
    if (space == nullptr) {
        return false;
    }
    *space = '\0';
    char* end = nullptr;
    errno = 0;
    *ms = std::strtoll(space + 1, &end, 10);
    return end != space + 1 && *end == '\n' && errno == 0;
}

// The time a stamp holds, or its file's time where it holds none (a run
// killed between making the mark and stamping it, or an earlier version's).
MarkFound AgeOfMark(int fd, const struct stat& status, std::int64_t* ageMs) {
    char text[kStampSize] = {};
    std::int64_t stampedMs = 0;
    if (pread(fd, text, sizeof text - 1, 0) > 0 && ParseStamp(text, &stampedMs)) {
        char thisBoot[kBootIdSize];
        ReadBootId(thisBoot);
        if (std::strcmp(text, thisBoot) != 0) {
            *ageMs = kLongAgoMs;
            return MarkFound::kDated;
        }
        *ageMs = BootClockMs() - stampedMs;
        // The boot clock never goes back: such a stamp is no run's.
        return *ageMs < 0 ? MarkFound::kUndated : MarkFound::kDated;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *ageMs = (static_cast<std::int64_t>(now.tv_sec) - status.st_mtim.tv_sec) * 1000 +
             (now.tv_nsec - status.st_mtim.tv_nsec) / 1000000;
    return MarkFound::kDated;
}

MarkFound LookAtMark(const char* path, std::int64_t* ageMs) {
    struct stat status;
    if (lstat(path, &status) != 0) {
        return MarkFound::kNone;
    }
    if (!IsTrusted(status)) {
        return MarkFound::kUndated;
    }
    // O_NONBLOCK, so that a pipe swapped in cannot hold the run.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    MarkFound found = MarkFound::kUndated;
    if (fd >= 0 && fstat(fd, &opened) == 0 && IsTrusted(opened)) {
        found = AgeOfMark(fd, opened, ageMs);
    }
    if (fd >= 0) {
        close(fd);
    }
    return found;
}

void WriteStamp(int fd) {
    static char bootId[kBootIdSize] = "";
    if (bootId[0] == '\0') {
        ReadBootId(bootId);
    }
    char text[kStampSize];
    const int length = std::snprintf(text, sizeof text, "%s %020lld\n", bootId,
                                     static_cast<long long>(BootClockMs()));
    if (length <= 0 || pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
        // Emptied, the mark tells its time by the file's, which is now.
        if (ftruncate(fd, 0) == 0) {
            futimens(fd, nullptr);
        }
    }
}

int MakeMark(const char* path) {
    // O_EXCL never follows a link. Readable by all, whatever the umask, so
    // that root's marks tell other accounts their time.
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        fchmod(fd, 0644);
    }
    return fd;
}

// This account's marks of the device elsewhere are older than the one just
// made, and would cost later runs a quiet line each.
void RemoveOwnMarksBesides(const char* path) {
    const char* dirs[kMarkDirCount];
    const std::size_t count = MarkDirs(dirs);
    for (std::size_t i = 0; i < count; ++i) {
        char other[kMarkPathSize];
        struct stat status;
        if (JoinPath(dirs[i], NameOf(path), other, sizeof other) && std::strcmp(other, path) != 0 &&
            lstat(other, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid()) {
            unlink(other);
        }
    }
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

bool FindMarkPlace(const char* devicePath, char* path, std::size_t size) {
    const char* dirs[kMarkDirCount];
    const std::size_t count = MarkDirs(dirs);
    char name[kMarkPathSize];
    std::snprintf(name, sizeof name, "frostgauge-%s", NameOf(devicePath));
    const bool root = geteuid() == 0;
    if (root && readOutMarkDir == nullptr) {
        MakeRootDir();
    }
    for (std::size_t i = 0; i < count; ++i) {
        const bool rootsDir = std::strcmp(dirs[i], kRootMarkDir) == 0;
        if ((rootsDir && !(root && IsClosedToOthers(dirs[i]))) || !IsUsableDir(dirs[i])) {
            continue;
        }
        if (JoinPath(dirs[i], name, path, size) && IsUsableName(path)) {
            return true;
        }
    }
    path[0] = '\0';
    return false;
}

MarkFound LookAtMarks(const char* path, std::int64_t* ageMs) {
    const char* dirs[kMarkDirCount];
    const std::size_t count = MarkDirs(dirs);
    MarkFound found = MarkFound::kNone;
    for (std::size_t i = 0; i < count; ++i) {
        char mark[kMarkPathSize];
        std::int64_t markAgeMs = 0;
        const MarkFound here = JoinPath(dirs[i], NameOf(path), mark, sizeof mark)
                                   ? LookAtMark(mark, &markAgeMs)
                                   : MarkFound::kNone;
        // The youngest dated mark rules; a file that tells nothing only
        // where none does.
        if (here == MarkFound::kDated && (found != MarkFound::kDated || markAgeMs < *ageMs)) {
            found = MarkFound::kDated;
            *ageMs = markAgeMs;
        } else if (here == MarkFound::kUndated && found == MarkFound::kNone) {
            found = MarkFound::kUndated;
        }
    }
    return found;
}

MarkHandle StampMark(const char* path, MarkHandle mark) {
    if (mark != kNoMark) {
        WriteStamp(static_cast<int>(mark));
        return mark;
    }
    int fd = MakeMark(path);
    // Left there by this account (or, for root, by anyone): made anew, so
    // that a mark an earlier run could not stamp (a umask that made it
    // read-only) is this run's to stamp.
    if (fd < 0 && errno == EEXIST && IsUsableName(path) && unlink(path) == 0) {
        fd = MakeMark(path);
    }
    if (fd < 0) {
        return kNoMark;
    }
    WriteStamp(fd);
    RemoveOwnMarksBesides(path);
    return fd;
}

void ClearMark(const char* path, MarkHandle mark) {
    unlink(path);
    close(static_cast<int>(mark));
}

void LeaveMark(MarkHandle mark) {
    close(static_cast<int>(mark));
}
