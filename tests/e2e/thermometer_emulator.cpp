// Plays a TEMPer Gold's data interface from the gadget side of a USB link:
// reads the host's commands from /dev/hidgN and writes the answers to it.
//
// Usage: thermometer_emulator HIDG [--id TEXT] [--calibration HH]
//            [--celsius HHLL] [--stop-after N] [--unplug-after N UDC_FILE]
//            [--delay MS[-MS]] [--stale HHLL] [--kill-at N FILE [--late MS]]
//            [--keyboard HIDG]
// With --kill-at it holds back its answers to the first command and to
// command N: it writes the command's number into FILE and waits for SIGUSR2
// (10 s at most) before its delay and the answer. Meanwhile the test starts
// the other runs, and at command N kills the run that sent it. With --late,
// the answer to command N comes MS after the command arrived (or at that
// word, if later) instead of the delay: a dead run's answer comes no later
// than the time a transfer waits after its command.
// A delay given as a range is drawn afresh for each answer.
// With --keyboard it also watches the keyboard interface and says on
// standard error when anything but the keyboard's own LED report reaches it.
// With --stale it sends one data report when SIGUSR1 arrives, answering no
// command: a late answer to another run's command.
//
//        thermometer_emulator --hold HIDRAW
// stands for another run that holds the thermometer: it takes the host
// node's lock and keeps it until it is killed.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kReportLength = 8;
constexpr std::size_t kIdentificationLength = 16;
constexpr long kNoLimit = -1;
// The boot keyboard's only output report: one byte of LED states.
constexpr ssize_t kLedReportLength = 1;

struct Settings {
    const char* hidg;
    char identification[kIdentificationLength];  // zero-padded, sent over two reports
    std::uint8_t calibration;
    std::uint8_t celsiusHigh;
    std::uint8_t celsiusLow;
    long stopAfter;    // commands answered before the device falls silent
    long unplugAfter;  // commands answered before the device leaves the bus
    const char* udcFile;
    long delayMs;     // before each answer
    long delayMaxMs;  // above delayMs, a range to draw each delay from
    bool stale;       // a data report to send on SIGUSR1
    std::uint8_t staleHigh;
    std::uint8_t staleLow;
    long killAt;  // the command whose sender the test kills
    const char* killRequest;
    long lateMs;  // before the answer to command killAt, if not kNoLimit
    const char* keyboard;
};

enum class Command { kVersion, kCalibration, kCelsius, kUnknown };

volatile std::sig_atomic_t staleWanted = 0;

void WantStale(int) {
    staleWanted = 1;
}

bool ParseHex(const char* text, std::size_t digits, unsigned long* value) {
    if (std::strlen(text) != digits || std::strspn(text, "0123456789abcdefABCDEF") != digits) {
        return false;
    }
    *value = std::strtoul(text, nullptr, 16);
    return true;
}

bool ParseCount(const char* text, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *value >= 0;
}

bool ParseSettings(int argc, char* argv[], Settings* settings) {
    if (argc < 2) {
        return false;
    }
    *settings = Settings{};
    settings->hidg = argv[1];
    std::memcpy(settings->identification, "TEMPerGold_V3.1", sizeof "TEMPerGold_V3.1");
    settings->celsiusHigh = 0x19;
    settings->celsiusLow = 0x20;
    settings->stopAfter = kNoLimit;
    settings->unplugAfter = kNoLimit;
    settings->killAt = kNoLimit;
    settings->lateMs = kNoLimit;
    for (int i = 2; i < argc; i += 2) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long number = 0;
        if (value == nullptr) {
            return false;
        }
        if (std::strcmp(option, "--id") == 0 && std::strlen(value) <= kIdentificationLength) {
            std::memset(settings->identification, 0, kIdentificationLength);
            std::memcpy(settings->identification, value, std::strlen(value));
        } else if (std::strcmp(option, "--calibration") == 0 && ParseHex(value, 2, &number)) {
            settings->calibration = static_cast<std::uint8_t>(number);
        } else if (std::strcmp(option, "--celsius") == 0 && ParseHex(value, 4, &number)) {
            settings->celsiusHigh = static_cast<std::uint8_t>(number >> 8);
            settings->celsiusLow = static_cast<std::uint8_t>(number & 0xFF);
        } else if (std::strcmp(option, "--stop-after") == 0) {
            if (!ParseCount(value, &settings->stopAfter)) {
                return false;
            }
        } else if (std::strcmp(option, "--delay") == 0) {
            char low[24] = {};
            const char* dash = std::strchr(value, '-');
            const std::size_t length = dash == nullptr ? std::strlen(value) : dash - value;
            if (length >= sizeof low) {
                return false;
            }
            std::memcpy(low, value, length);
            if (!ParseCount(low, &settings->delayMs) ||
                !ParseCount(dash == nullptr ? low : dash + 1, &settings->delayMaxMs) ||
                settings->delayMaxMs < settings->delayMs) {
                return false;
            }
        } else if (std::strcmp(option, "--stale") == 0 && ParseHex(value, 4, &number)) {
            settings->stale = true;
            settings->staleHigh = static_cast<std::uint8_t>(number >> 8);
            settings->staleLow = static_cast<std::uint8_t>(number & 0xFF);
        } else if (std::strcmp(option, "--late") == 0) {
            if (!ParseCount(value, &settings->lateMs)) {
                return false;
            }
        } else if (std::strcmp(option, "--keyboard") == 0) {
            settings->keyboard = value;
        } else if (std::strcmp(option, "--kill-at") == 0 && i + 2 < argc) {
            if (!ParseCount(value, &settings->killAt) || settings->killAt < 1) {
                return false;
            }
            settings->killRequest = argv[i + 2];
            ++i;
        } else if (std::strcmp(option, "--unplug-after") == 0 && i + 2 < argc) {
            if (!ParseCount(value, &settings->unplugAfter)) {
                return false;
            }
            settings->udcFile = argv[i + 2];
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

// The device tells its commands apart by their first two bytes.
Command Recognise(const std::uint8_t* command) {
    if (command[0] != 0x01) {
        return Command::kUnknown;
    }
    switch (command[1]) {
    case 0x86:
        return Command::kVersion;
    case 0x82:
        return Command::kCalibration;
    case 0x80:
        return Command::kCelsius;
    default:
        return Command::kUnknown;
    }
}

bool SendReport(int fd, const std::uint8_t* report) {
    ssize_t written;
    do {
        written = write(fd, report, kReportLength);
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(kReportLength);
}

// The host reads only bytes 2 and 3 of a data answer; 80 02 in front is filler.
bool SendData(int fd, std::uint8_t byte2, std::uint8_t byte3) {
    const std::uint8_t report[kReportLength] = {0x80, 0x02, byte2, byte3, 0, 0, 0, 0};
    return SendReport(fd, report);
}

void SleepMs(long milliseconds) {
    const timespec pause = {milliseconds / 1000, milliseconds % 1000 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

bool Answer(int fd, Command command, const Settings& settings, long delayMs) {
    SleepMs(delayMs);
    const auto* id = reinterpret_cast<const std::uint8_t*>(settings.identification);
    switch (command) {
    case Command::kVersion:
        return SendReport(fd, id) && SendReport(fd, id + kReportLength);
    case Command::kCalibration:
        return SendData(fd, settings.calibration, 0);
    case Command::kCelsius:
        return SendData(fd, settings.celsiusHigh, settings.celsiusLow);
    case Command::kUnknown:
        break;
    }
    return true;  // the real device leaves an unknown command unanswered
}

// Clearing the gadget's UDC takes the whole device off the bus, as pulling the plug does.
// It waits as long as an answer would take, so that the host has surely finished
// sending its command and waits for the answer.
bool Unplug(const char* udcFile) {
    SleepMs(50);
    const int fd = open(udcFile, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool cleared = write(fd, "\n", 1) == 1;
    close(fd);
    return cleared;
}

// Reads one report; false when the host has gone away.
bool ReadReport(int fd, std::uint8_t* report, ssize_t* got) {
    do {
        *got = read(fd, report, kReportLength);
    } while (*got < 0 && errno == EINTR);
    return *got > 0;
}

// Waits for a command on the data interface, meanwhile reporting whatever
// the host writes to the keyboard interface (keyboard < 0: none watched).
bool ReadCommand(int fd, int keyboard, const Settings& settings, std::uint8_t* command) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {keyboard, POLLIN, 0}};
        if (poll(fds, keyboard < 0 ? 1 : 2, -1) < 0) {
            if (errno != EINTR) {
                return false;
            }
            if (staleWanted != 0) {
                staleWanted = 0;
                if (!SendData(fd, settings.staleHigh, settings.staleLow)) {
                    return false;
                }
            }
            continue;
        }
        ssize_t got = 0;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint8_t report[kReportLength] = {};
            if (ReadReport(keyboard, report, &got) && got != kLedReportLength) {
                std::fprintf(stderr,
                             "thermometer_emulator: %zd bytes reached the keyboard interface\n",
                             got);
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            return ReadReport(fd, command, &got);
        }
    }
}

long MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Tells the test that command `number` has arrived and waits for its word
// (SIGUSR2, blocked since the start) that it has done what that moment asks.
void HoldAnswer(const Settings& settings, long number) {
    const int request = open(settings.killRequest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (request >= 0) {
        char text[24];
        const int length = std::snprintf(text, sizeof text, "%ld\n", number);
        (void)!write(request, text, static_cast<std::size_t>(length));
        close(request);
    }
    sigset_t release;
    sigemptyset(&release);
    sigaddset(&release, SIGUSR2);
    const timespec most = {10, 0};
    while (sigtimedwait(&release, nullptr, &most) < 0 && errno == EINTR) {
    }
}

// Serves commands until the host goes away; true when the device is to leave the bus.
bool Serve(int fd, int keyboard, const Settings& settings) {
    if (settings.stale) {
        struct sigaction action = {};
        action.sa_handler = WantStale;  // no SA_RESTART: the wait for a command ends
        sigaction(SIGUSR1, &action, nullptr);
    }
    for (long received = 0;; ++received) {
        std::uint8_t command[kReportLength] = {};
        if (!ReadCommand(fd, keyboard, settings, command)) {
            return false;
        }
        if (received == settings.unplugAfter) {
            return true;
        }
        long delayMs =
            settings.delayMs + std::rand() % (settings.delayMaxMs - settings.delayMs + 1);
        if (settings.killAt != kNoLimit && (received == 0 || received + 1 == settings.killAt)) {
            const long arrivedMs = MonotonicMs();
            HoldAnswer(settings, received + 1);
            if (received + 1 == settings.killAt && settings.lateMs != kNoLimit) {
                delayMs = std::max(0L, arrivedMs + settings.lateMs - MonotonicMs());
            }
        }
        const bool silent = settings.stopAfter != kNoLimit && received >= settings.stopAfter;
        if (!silent && !Answer(fd, Recognise(command), settings, delayMs)) {
            return false;
        }
    }
}

}  // namespace

// Holds the lock of a host node, as a run reading it does, until killed.
int Hold(const char* node) {
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        std::fprintf(stderr, "thermometer_emulator: %s: %s\n", node, std::strerror(errno));
        return 1;
    }
    for (;;) {
        pause();
    }
}

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) {
        return Hold(argv[2]);
    }
    Settings settings;
    if (!ParseSettings(argc, argv, &settings)) {
        std::fprintf(stderr,
                     "usage: thermometer_emulator HIDG [--id TEXT] [--calibration HH] "
                     "[--celsius HHLL] [--stop-after N] [--unplug-after N UDC_FILE] "
                     "[--delay MS[-MS]] [--stale HHLL] [--kill-at N FILE [--late MS]] "
                     "[--keyboard HIDG]\n"
                     "       thermometer_emulator --hold HIDRAW\n");
        return 2;
    }
    // Blocked before the test can send it, so that it waits for HoldAnswer.
    sigset_t release;
    sigemptyset(&release);
    sigaddset(&release, SIGUSR2);
    sigprocmask(SIG_BLOCK, &release, nullptr);
    std::srand(static_cast<unsigned>(getpid()));
    const int fd = open(settings.hidg, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "thermometer_emulator: %s: %s\n", settings.hidg, std::strerror(errno));
        return 1;
    }
    int keyboard = -1;
    if (settings.keyboard != nullptr) {
        keyboard = open(settings.keyboard, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (keyboard < 0) {
            std::fprintf(stderr, "thermometer_emulator: %s: %s\n", settings.keyboard,
                         std::strerror(errno));
            close(fd);
            return 1;
        }
    }
    const bool leave = Serve(fd, keyboard, settings) && settings.udcFile != nullptr;
    if (keyboard >= 0) {
        close(keyboard);
    }
    close(fd);
    if (leave && !Unplug(settings.udcFile)) {
        std::fprintf(stderr, "thermometer_emulator: %s: %s\n", settings.udcFile,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
