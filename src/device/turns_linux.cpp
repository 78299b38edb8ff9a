#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
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
// planted can cost root its mark. Then those open to every account, sticky,
// in the order a run tries them: /dev/shm is missing on busybox systems and
// in some containers, /run/lock is root's alone on Fedora, RHEL and Arch,
// /tmp is there on every Linux.
constexpr char kRootMarkDir[] = "/run/frostgauge";
constexpr const char* kMarkDirs[] = {kRootMarkDir, "/dev/shm", "/run/lock", "/tmp"};

// A stamp is the boot clock in milliseconds after 2000 (which every file
// system can date), and 1 ns more: a file system that keeps less loses it.
constexpr std::int64_t kStampEpochS = 946684800;
constexpr long kStampMarkNs = 1;

// The folder of a mark's path, and its status. False where it has none.
bool StatFolder(const char* path, char* folder, struct stat* status) {
    const char* slash = std::strrchr(path, '/');
    std::snprintf(folder, kMarkPathSize, "%.*s",
                  slash != nullptr ? static_cast<int>(slash - path) : 0, path);
    return slash != nullptr && lstat(folder, status) == 0;
}

// Root makes its folder once; its mode is not the umask's to narrow, or
// other accounts could not see root's marks. /run is root's alone.
void MakeRootDir() {
    if (mkdir(kRootMarkDir, 0755) == 0) {
        chmod(kRootMarkDir, 0755);
    } else if (errno != EEXIST) {
        PrintDiagnosedError("WRN RootMarkDir", errno);
    }
}

}  // namespace

bool TakeTurn(const char*, DeviceHandle device, Turn* turn) {
    // flock on the node itself: the kernel releases it when the node is
    // closed or the run dies.
    const int fd = static_cast<int>(device);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    *turn = {fd, false};
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK || errno == EINTR ? ETIMEDOUT : errno;
        if (error != ETIMEDOUT || MillisecondsSince(start) >= lockTimeoutMs) {
            PrintSystemError("ERR flock", error);
            return false;
        }
        PauseMilliseconds(kLockRetryMs);
    }
    return true;
}

void EndTurn(Turn* turn) {
    flock(static_cast<int>(turn->lock), LOCK_UN);
}

int ListMarkPlaces(const char* devicePath, MarkPaths paths) {
    const char* name = std::strrchr(devicePath, '/');
    const bool tests = readOutMarkDir != nullptr;
    if (!tests && geteuid() == 0) {
        MakeRootDir();
    }
    // Every run looks at root's marks; only root keeps its own there.
    for (int i = 0; i < (tests ? 1 : kMostMarkPlaces); ++i) {
        std::snprintf(paths[i], kMarkPathSize, "%s/frostgauge-%s",
                      tests ? readOutMarkDir : kMarkDirs[i],
                      name != nullptr ? name + 1 : devicePath);
    }
    return tests ? 1 : kMostMarkPlaces;
}

Lying WhatLiesAt(const char* path, DeviceHandle device, Stamp* stamp) {
    struct stat mark;
    struct stat folder;
    if (lstat(path, &mark) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? Lying::kNothing : Lying::kOther;
    }
    stamp->ms =
        (mark.st_mtim.tv_sec - kStampEpochS) * INT64_C(1000) + mark.st_mtim.tv_nsec / 1000000;
    stamp->exact = mark.st_mtim.tv_nsec % 1000000 == kStampMarkNs;
    // A link or a second name could be anyone's, planted to hold runs up; in
    // a setgid folder a mark's group says nothing of its owner.
    char folderPath[kMarkPathSize];
    const bool groupTells =
        StatFolder(path, folderPath, &folder) && (folder.st_mode & S_ISGID) == 0;
    if (!S_ISREG(mark.st_mode) || mark.st_nlink != 1) {
        return Lying::kOther;
    }
    if (mark.st_uid == geteuid()) {
        return Lying::kOwn;
    }
    // Trusted only where its owner could have opened the thermometer for
    // writing, as the node itself tells: its mode and its access list (the
    // user at the seat gets in through uaccess). A member of the node's group
    // is told by the mark's group, which a run sets with fchown: only members
    // may.
    return MayWrite(static_cast<int>(device), mark.st_uid, mark.st_gid, groupTells)
               ? Lying::kTrusted
               : Lying::kOther;
}

std::int64_t StampClockMs() {
    return BootClockMs();
}

bool CanKeepMark(const char* path, DeviceHandle device, int* error) {
    // A real folder (not a link), not on a read-only mount, whose marks no
    // other account can remove or replace; root's own only for root, while
    // no other account can write there.
    char folderPath[kMarkPathSize];
    struct stat folder;
    *error = EACCES;
    if (!StatFolder(path, folderPath, &folder) || !S_ISDIR(folder.st_mode) ||
        (folder.st_uid != 0 && folder.st_uid != geteuid())) {
        return false;
    }
    const bool othersWrite = (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool rootsOwn = readOutMarkDir == nullptr && std::strcmp(folderPath, kRootMarkDir) == 0;
    if ((othersWrite && (folder.st_mode & S_ISVTX) == 0) ||
        (rootsOwn && (geteuid() != 0 || othersWrite))) {
        return false;
    }
    if (access(folderPath, W_OK | X_OK) != 0) {
        *error = errno;
        return false;
    }
    Stamp stamp = {0, true};
    const Lying lying = WhatLiesAt(path, device, &stamp);
    *error = EEXIST;
    return lying == Lying::kNothing || lying == Lying::kOwn;
}

MarkHandle MakeMark(const char* path, DeviceHandle device, int* error) {
    // O_EXCL follows no link and opens nothing another made.
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return kNoMark;
    }
    // The node's group tells other accounts that a member may read the
    // thermometer.
    struct stat node;
    if (fstat(static_cast<int>(device), &node) == 0 &&
        fchown(fd, static_cast<uid_t>(-1), node.st_gid) != 0) {
        // Not a member: the mark keeps this account's own group.
    }
    if (!StampMark(fd, error)) {
        unlink(path);
        close(fd);
        return kNoMark;
    }
    return fd;
}

bool StampMark(MarkHandle mark, int* error) {
    const std::int64_t ms = BootClockMs();
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(kStampEpochS + ms / 1000),
                                static_cast<long>(ms % 1000 * 1000000 + kStampMarkNs)}};
    // Refused on a read-only mount too.
    if (futimens(static_cast<int>(mark), times) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool CloseMark(const char* path, MarkHandle mark, bool remove, int* error) {
    const bool removed = !remove || unlink(path) == 0;
    *error = removed ? 0 : errno;
    close(static_cast<int>(mark));
    return removed;
}

void RemoveMark(const char* path) {
    unlink(path);
}
