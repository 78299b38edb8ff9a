// The test machine's `date` where busybox's own counts time in 32 bits
// (Debian 12's armhf build): it cannot set a clock past 2038 or print an
// instant there. Only what the scenario harness uses:
//
// Usage: guest_date [-u] [-s 'YYYY-MM-DD HH:MM:SS' | -s @SECONDS] [-d @SECONDS] [+FORMAT]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static_assert(sizeof(std::time_t) == 8, "build with a 64-bit time_t (-D_TIME_BITS=64)");

namespace {

bool ParseInstant(const char* text, bool utc, std::time_t* instant) {
    if (text[0] == '@') {
        char* end = nullptr;
        *instant = static_cast<std::time_t>(std::strtoll(text + 1, &end, 10));
        return end != text + 1 && *end == '\0';
    }
    std::tm parts = {};
    if (std::sscanf(text, "%d-%d-%d %d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    parts.tm_isdst = -1;
    *instant = utc ? timegm(&parts) : std::mktime(&parts);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool utc = false;
    const char* set = nullptr;
    const char* at = nullptr;
    int option = 0;
    while ((option = getopt(argc, argv, "us:d:")) != -1) {
        switch (option) {
        case 'u':
            utc = true;
            break;
        case 's':
            set = optarg;
            break;
        case 'd':
            at = optarg;
            break;
        default:
            return 1;
        }
    }
    const char* format = optind < argc && argv[optind][0] == '+' ? argv[optind] + 1 : "%c";
    if (utc) {
        setenv("TZ", "UTC0", 1);
    }
    tzset();
    std::time_t instant = std::time(nullptr);
    if ((set != nullptr && !ParseInstant(set, utc, &instant)) ||
        (at != nullptr && !ParseInstant(at, utc, &instant))) {
        std::fprintf(stderr, "guest_date: bad date\n");
        return 1;
    }
    if (set != nullptr) {
        const timespec now = {instant, 0};
        if (clock_settime(CLOCK_REALTIME, &now) != 0) {
            std::perror("guest_date: clock_settime");
            return 1;
        }
    }
    // glibc 2.36's strftime computes %s through a 32-bit time_t on armhf.
    if (std::strcmp(format, "%s") == 0) {
        std::printf("%lld\n", static_cast<long long>(instant));
        return 0;
    }
    std::tm local = {};
    char text[128];
    if (localtime_r(&instant, &local) == nullptr ||
        std::strftime(text, sizeof text, format, &local) == 0) {
        return 1;
    }
    std::printf("%s\n", text);
    return 0;
}
