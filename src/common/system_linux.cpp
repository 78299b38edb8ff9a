#include "common/system_linux.h"
#include "common/system.h"

#include <endian.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// A file's access list (<linux/posix_acl_xattr.h>): a 4-byte version,
// then entries of a tag, permissions and an id, little-endian.
struct AclEntry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
};
enum : unsigned { kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08, kAclMask = 0x10 };
constexpr unsigned kAclWrite = 0x02;

}  // namespace

bool MayWrite(int fd, uid_t uid, gid_t gid, bool groupCounts) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return false;
    }
    if (uid == 0 || uid == status.st_uid || (status.st_mode & S_IWOTH) != 0) {
        return true;
    }
    // Without an access list the mode tells; with one, its group bits are the mask.
    bool groupWrites = (status.st_mode & S_IWGRP) != 0;
    bool entryWrites = false;
    bool maskWrites = true;
    unsigned char acl[4 + 32 * sizeof(AclEntry)];  // more than a seat and a few groups need
    const ssize_t got = fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
    if (got < 0 && errno == ERANGE) {
        return false;
    }
    for (ssize_t at = 4; at + static_cast<ssize_t>(sizeof(AclEntry)) <= got;
         at += sizeof(AclEntry)) {
        AclEntry entry;
        std::memcpy(&entry, acl + at, sizeof entry);
        const unsigned tag = le16toh(entry.tag);
        const bool writes = (le16toh(entry.permissions) & kAclWrite) != 0;
        const std::uint32_t id = le32toh(entry.id);
        if (tag == kAclMask) {
            maskWrites = writes;
        } else if (tag == kAclGroupObj) {
            groupWrites = writes;
        } else if ((tag == kAclUser && id == uid) ||
                   (tag == kAclGroup && id == gid && groupCounts)) {
            entryWrites = entryWrites || writes;
        }
    }
    return maskWrites && (entryWrites || (groupCounts && gid == status.st_gid && groupWrites));
}

const char* SystemErrorText(int code, char* text, std::size_t size) {
    std::snprintf(text, size, "%s", std::strerror(code));
    return text;
}

void PauseMilliseconds(int milliseconds) {
    timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

long MillisecondsSince(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

std::int64_t BootClockMs() {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
