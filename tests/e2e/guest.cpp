// The test machine's guest program, started by its /init: plugs emulated
// thermometers into the kernel's USB bus as configfs gadgets, plays the
// rows of /e2e/scenarios.txt for this boot against them (rows=TAG: those
// tagged [TAG]; frostgauge=demo, bench or soak: that mode's; wine=1: the
// Windows programs), timing kills, late answers and stale reports, and
// reports on the console ("e2e: " lines).

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "guest.h"

namespace {

const std::string kGadgets = "/sys/kernel/config/usb_gadget";
// A boot keyboard, as the thermometer's interface 0 declares itself.
const std::string kKeyboardDescriptor(
    "\x05\x01\x09\x06\xa1\x01\x05\x07\x19\xe0\x29\xe7\x15\x00\x25\x01\x75\x01\x95\x08\x81"
    "\x02\x95\x01\x75\x08\x81\x03\x95\x05\x75\x01\x05\x08\x19\x01\x29\x05\x91\x02\x95\x01"
    "\x75\x03\x91\x03\x95\x06\x75\x08\x15\x00\x25\x65\x05\x07\x19\x00\x29\x65\x81\x00\xc0",
    63);
// The data interface's own descriptor is not public; any 8-byte input and
// output report carries the protocol.
const std::string kDataDescriptor(
    "\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x08\x09\x01\x81\x02\x09\x01\x91"
    "\x02\xc0",
    25);
// A run's stamp after its write may beat the emulator's reading of the
// command on a busy machine; one a second older was not stamped for it.
constexpr long kStampSlackMs = 1000;
// What a live run waits for an answer after its write returned, less a
// margin for the emulator's own reaction.
constexpr long kLiveWaitMs = 4800;
// A play that missed its window proved nothing either way: it is played
// again, twice at most (a Wine run on a busy machine took over 5 s to start).
const std::string kWindowMissed = "missed its window: ";
constexpr int kMostMisses = 2;

struct Emulation {
    Thermometer settings;
    std::string gadget;
    int data = -1;
    int keyboard = -1;
    std::atomic<long> commands{0};  // received
    std::atomic<long> held{0};      // the command whose answer waits for release
    std::atomic<long> arrived{0};   // when the held command came (NowMs)
    std::atomic<bool> answeredLate{false};
    std::atomic<long long> lastStamp{LLONG_MIN};  // the dead run's, where only that one is seen
    std::uint8_t owed[kReportLength] = {};        // the dead run's command, its answer owed
    std::atomic<long> owedBy{kNone};              // sent at the latest then
    long owedFrom = 0;                            // and not before
    long owedBefore = 0;                          // nor after this command reached it
    std::atomic<pid_t> next{0};  // under Wine: the run that must have started by the late answer
    std::atomic<bool> missed{false};
    std::atomic<bool> release{false};
    std::atomic<bool> stale{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

struct Run {
    std::atomic<pid_t> pid{0};
    std::atomic<bool> done{false};
    int status = -1;
    long startedMs = 0;
    long endedMs = 0;
    std::string umask;  // as /proc showed it while the run lived
};

// The boot's state: one machine, one row at a time.
struct Machine {
    bool windows = false;
    // Where runs keep the marks of their read-outs: root's own folder, then
    // the places other accounts may use.
    std::vector<std::string> markPlaces = {"/run/frostgauge", "/dev/shm", "/run/lock", "/tmp"};
    std::string udevMajor;  // hidraw's major number, where udevd records nodes
    int hidrawWanted = 0;
    std::list<Emulation> emulations;
    bool plugged = false;
    Run runs[kMostRuns + 1];
    std::mutex logLock;
    std::string log;  // what the emulators saw go wrong
    std::atomic<bool> keyboardWritten{false};
    int passed = 0;
    int failed = 0;
    bool show = false;    // the demo: what each run printed
    long soakRuns = 0;    // instead of the row's
    long releasedMs = 0;  // when this program let go of the thermometer it held
};
Machine machine;

// The boot clock, which the Linux program stamps its marks with.
long NowMs() {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// A signal cuts it short: that is how an emulator is stopped.
void SleepMs(long milliseconds) {
    const timespec pause = {milliseconds / 1000, milliseconds % 1000 * 1000000L};
    nanosleep(&pause, nullptr);
}

// Enumeration and the programs take a variable while: 10 s unless told.
bool WaitFor(const std::function<bool()>& done, long milliseconds = 10000) {
    for (const long end = NowMs() + milliseconds; !done(); SleepMs(10)) {
        if (NowMs() > end) {
            return false;
        }
    }
    return true;
}

void Log(const std::string& line) {
    std::lock_guard<std::mutex> guard(machine.logLock);
    machine.log += line + "\n";
}

bool Write(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return fd >= 0 && close(fd) == 0 && written;
}

std::string Read(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

std::vector<std::string> Glob(const std::string& pattern) {
    glob_t found = {};
    std::vector<std::string> paths;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    }
    globfree(&found);
    return paths;
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// A Windows run seen from outside Wine: past its start once HID.DLL is
// loaded, and waiting for its turn when it then uses no processor.
bool WineRunLoaded(pid_t pid) {
    return pid > 0 && Contains(Read("/proc/" + std::to_string(pid) + "/maps"), "hid.dll");
}

long ProcessorTicks(pid_t pid) {
    const std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
    long user = -1, system = -1;
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos &&
                   std::sscanf(stat.c_str() + end + 1,
                               " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
                               &system) == 2
               ? user + system
               : -1;
}

bool WineRunWaits(pid_t pid) {
    const long before = WineRunLoaded(pid) ? ProcessorTicks(pid) : -1;
    SleepMs(500);
    return before >= 0 && ProcessorTicks(pid) == before;
}

// The kernel's warnings, bugs and hung tasks since the last look.
std::string KernelTrouble() {
    static const int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string trouble;
    char record[4096];
    for (ssize_t got;
         kmsg >= 0 && ((got = read(kmsg, record, sizeof record)) > 0 || errno == EPIPE);) {
        const std::string text = got > 0 ? std::string(record, static_cast<std::size_t>(got)) : "";
        for (const char* sign :
             {"WARNING:", "BUG:", "blocked for more than", "kernel BUG at", "Internal error: Oops",
              "Unable to handle kernel", "UBSAN:", "general protection fault", "detected stall"}) {
            trouble += Contains(text, sign) ? text.substr(text.find(';') + 1) : "";
        }
    }
    return trouble;
}

void Report(const std::string& line) {
    std::printf("e2e: %s\n", line.c_str());
}

// guest-wine.sh does what Wine needs: start, hand devices over, take them back.
bool Wine(const std::string& what) {
    std::fflush(stdout);
    return std::system(("/bin/guest-wine.sh " + what).c_str()) == 0;
}

// --- The emulated thermometers ---

// The answer owed to the dead run's command goes out, once.
bool SendOwed(Emulation* e) {
    e->owedBy = kNone;
    for (const auto& report : AnswerTo(e->owed, e->settings)) {
        if (write(e->data, report.data(), kReportLength) != static_cast<ssize_t>(kReportLength)) {
            return false;
        }
    }
    e->missed = e->next != 0 && !WineRunLoaded(e->next);
    Log("command " + std::to_string(e->settings.killAt) + " answered " +
        std::to_string(NowMs() - e->arrived) + " ms after it came, " +
        std::to_string(NowMs() - e->lastStamp) + " ms after the last stamp");
    e->answeredLate = true;
    return true;
}

bool ReadCommand(Emulation* e, std::uint8_t* command) {
    while (!e->stop) {
        if (e->owedBy != kNone && NowMs() >= e->owedBy && !SendOwed(e)) {
            return false;
        }
        if (e->stale.exchange(false)) {
            const std::uint8_t celsius[kReportLength] = {0x01, 0x80};
            Thermometer unasked = e->settings;
            unasked.celsius = static_cast<unsigned>(std::max(e->settings.stale, e->settings.early));
            if (write(e->data, AnswerTo(celsius, unasked)[0].data(), kReportLength) < 0) {
                return false;
            }
        }
        pollfd fds[2] = {{e->data, POLLIN, 0}, {e->keyboard, POLLIN, 0}};
        if (poll(fds, 2, 20) < 0 && errno != EINTR) {
            return false;
        }
        std::uint8_t report[kReportLength];
        const ssize_t got =
            (fds[1].revents & POLLIN) != 0 ? read(e->keyboard, report, sizeof report) : 0;
        if (got > 1) {  // more than the boot keyboard's LED byte
            machine.keyboardWritten = true;
            Log(std::to_string(got) + " bytes reached the keyboard interface");
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            return read(e->data, command, kReportLength) > 0;
        }
    }
    return false;
}

// What lies under a mark's name in the places runs keep marks.
std::vector<std::string> MarkNames() {
    std::vector<std::string> found;
    for (const std::string& place : machine.markPlaces) {
        for (const std::string& path : Glob(place + "/frostgauge-*")) {
            found.push_back(path);
        }
    }
    return found;
}

// The latest stamp on a mark, on NowMs's clock (LLONG_MIN: no mark): what
// the next run's wait counts from. A mark's modification time is its
// stamp: the boot clock (Windows: the performance counter, which Wine reads
// off the same clock) in milliseconds after 2000.
long long LastStampMs(std::string* where = nullptr) {
    long long last = LLONG_MIN;
    struct stat status = {};
    for (const std::string& mark : MarkNames()) {
        const long long stamp =
            lstat(mark.c_str(), &status) == 0 && S_ISREG(status.st_mode)
                ? (status.st_mtim.tv_sec - 946684800LL) * 1000 + status.st_mtim.tv_nsec / 1000000
                : LLONG_MIN;
        if (stamp > last && where != nullptr) {
            *where = mark.substr(0, mark.rfind('/'));
        }
        last = std::max(last, stamp);
    }
    return last;
}

// Answers until stopped. With kill=N it holds back its answers to the first
// command and to command N until the choreography releases them. With
// late=MS the answer to command N comes just before the next run's command
// that would take it for its own (its ReadCelsius after a dead
// ReadCalibration, else its ReadCalibration), so that only a run that
// waited too little is hurt, or as long after the dead run's last stamp as
// a live run would still take it, whichever comes first; not before MS
// after command N came.
void Serve(Emulation* e) {
    const Thermometer& s = e->settings;
    for (long received = 0;; ++received) {
        std::uint8_t command[kReportLength] = {};
        if (!ReadCommand(e, command)) {
            return;
        }
        ++e->commands;
        if (e->owedBy != kNone && e->commands == e->owedBefore) {
            WaitFor([e] { return NowMs() >= e->owedFrom || e->stop; });
            if (!SendOwed(e)) {
                return;
            }
        }
        if (received == s.unplugAfter) {
            // As long as an answer would take, so that the host waits for one.
            close(e->data);
            close(e->keyboard);
            e->data = e->keyboard = -1;
            SleepMs(50);
            Write(e->gadget + "/UDC", "\n");
            return;
        }
        if (s.killAt != kNone && (received == 0 || received + 1 == s.killAt)) {
            e->arrived = NowMs();
            e->held = received + 1;
            WaitFor([e] { return e->release.exchange(false) || e->stop; });
            e->held = 0;
        }
        if (received + 1 == s.killAt && s.lateMs != kNone) {
            const long stamp = e->lastStamp != LLONG_MIN ? long(e->lastStamp) : e->arrived.load();
            std::memcpy(e->owed, command, kReportLength);
            e->owedFrom = std::min(e->arrived + s.lateMs, stamp + kLiveWaitMs);
            e->owedBefore = e->commands + (s.killAt == 2 ? 3 : 2);
            e->owedBy = stamp + kLiveWaitMs;
            continue;
        }
        if (s.stopAfter != kNone && received >= s.stopAfter) {
            continue;
        }
        SleepMs(s.delayMs + std::rand() % (s.delayMaxMs - s.delayMs + 1));
        for (const auto& report : AnswerTo(command, s)) {
            if (write(e->data, report.data(), kReportLength) !=
                static_cast<ssize_t>(kReportLength)) {
                return;
            }
        }
    }
}

std::string HidgOf(const std::string& gadget, const char* function) {
    std::string dev = Read(gadget + "/functions/hid." + function + "/dev");
    const std::string uevent = Read("/sys/dev/char/" + dev.substr(0, dev.find('\n')) + "/uevent");
    const std::size_t name = uevent.find("DEVNAME=");
    return name == std::string::npos
               ? ""
               : "/dev/" + uevent.substr(name + 8, uevent.find('\n', name) - name - 8);
}

bool StartEmulation(int index, const Thermometer& settings) {
    Emulation& e = machine.emulations.emplace_back();
    e.settings = settings;
    e.gadget = kGadgets + "/g" + std::to_string(index);
    e.data = open(HidgOf(e.gadget, "data").c_str(), O_RDWR | O_CLOEXEC);
    e.keyboard = open(HidgOf(e.gadget, "keyboard").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (e.data < 0 || e.keyboard < 0) {
        Log("cannot open the gadget nodes of " + e.gadget + ": " + std::strerror(errno));
        e.done = true;
        return false;
    }
    e.thread = std::thread([&e] {
        Serve(&e);
        e.done = true;
    });
    return true;
}

// An answer the host does not take blocks its write: a signal ends it.
void StopEmulations() {
    for (Emulation& e : machine.emulations) {
        e.stop = true;
        while (!e.done) {
            pthread_kill(e.thread.native_handle(), SIGUSR1);
            SleepMs(5);
        }
        if (e.thread.joinable()) {
            e.thread.join();
        }
        for (int fd : {e.data, e.keyboard}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    machine.emulations.clear();
}

// The thermometers forget what they were asked: they answer the next program as new.
bool StartEmulations(const Row& row) {
    StopEmulations();
    bool started = true;
    for (std::size_t i = 0; i < row.devices.size(); ++i) {
        started = (row.devices[i].kind != 'T' ||
                   StartEmulation(static_cast<int>(i), row.devices[i].thermometer)) &&
                  started;
    }
    return started;
}

Emulation* EmulationWith(long Thermometer::*setting) {
    const auto e =
        std::find_if(machine.emulations.begin(), machine.emulations.end(),
                     [setting](const Emulation& e) { return e.settings.*setting != kNone; });
    return e == machine.emulations.end() ? nullptr : &*e;
}

// --- The USB bus ---

// frostgauge lists sysfs and opens /dev, and udevd (where it runs) must
// have applied the rules: all three must agree.
bool HidrawCountIsWanted() {
    const auto wanted = static_cast<std::size_t>(machine.hidrawWanted);
    return Glob("/sys/class/hidraw/hidraw*").size() == wanted &&
           Glob("/dev/hidraw*").size() == wanted &&
           (machine.udevMajor.empty() ||
            Glob("/run/udev/data/c" + machine.udevMajor + ":*").size() == wanted);
}

bool AddFunction(const std::string& gadget, const std::string& name, int subclass, int protocol,
                 const std::string& descriptor) {
    const std::string function = gadget + "/functions/hid." + name;
    // Output reports come as SET_REPORT requests.
    return mkdir(function.c_str(), 0755) == 0 &&
           Write(function + "/subclass", std::to_string(subclass)) &&
           Write(function + "/protocol", std::to_string(protocol)) &&
           Write(function + "/report_length", "8") && Write(function + "/no_out_endpoint", "1") &&
           Write(function + "/report_desc", descriptor) &&
           symlink(function.c_str(), (gadget + "/configs/c.1/hid." + name).c_str()) == 0;
}

// Each device has a UDC of its own (the bus's order) and comes up before
// the next (the hidraw numbers' order). Another vendor's is a TEMPer stick:
// a keyboard and a data interface, as the thermometer.
bool AddDevice(int index, const Device& device) {
    const std::string gadget = kGadgets + "/g" + std::to_string(index);
    const bool thermometer = device.kind == 'T';
    const bool twoInterfaces = thermometer || device.vendor != 0x0c45;
    // configfs reads numbers in any base.
    bool added =
        mkdir(gadget.c_str(), 0755) == 0 &&
        Write(gadget + "/idVendor", std::to_string(thermometer ? 0x0c45 : device.vendor)) &&
        Write(gadget + "/idProduct", std::to_string(thermometer ? 0x7401 : device.product)) &&
        Write(gadget + "/bcdDevice", thermometer ? "0x0001" : "0x0110") &&
        mkdir((gadget + "/configs/c.1").c_str(), 0755) == 0 &&
        (!twoInterfaces || AddFunction(gadget, "keyboard", 1, 1, kKeyboardDescriptor)) &&
        AddFunction(gadget, "data", thermometer, thermometer ? 2 : 0, kDataDescriptor);
    machine.hidrawWanted += twoInterfaces ? 2 : 1;
    added = added && Write(gadget + "/UDC", "dummy_udc." + std::to_string(index)) &&
            WaitFor(HidrawCountIsWanted);
    if (!added) {
        Log("cannot plug " + gadget + ": " + std::strerror(errno));
    }
    return added && (!thermometer || StartEmulation(index, device.thermometer));
}

bool RemoveDevices() {
    StopEmulations();
    for (const std::string& gadget : Glob(kGadgets + "/g*")) {
        Write(gadget + "/UDC", "\n");  // may be off the bus already
        for (const std::string& link : Glob(gadget + "/configs/c.1/hid.*")) {
            unlink(link.c_str());
        }
        rmdir((gadget + "/configs/c.1").c_str());
        for (const std::string& function : Glob(gadget + "/functions/hid.*")) {
            rmdir(function.c_str());
        }
        rmdir(gadget.c_str());
    }
    machine.hidrawWanted = 0;
    return WaitFor(HidrawCountIsWanted);
}

// plug=backwards: hidraw0 is then the last UDC's, or the row proves nothing.
bool AddDevices(const Row& row) {
    const std::size_t count = row.devices.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = row.plugBackwards ? count - 1 - i : i;
        if (!AddDevice(static_cast<int>(at), row.devices[at])) {
            return false;
        }
    }
    char link[256] = "";
    return (!row.plugBackwards ||
            (readlink("/sys/class/hidraw/hidraw0", link, sizeof link - 1) > 0 &&
             Contains(link, ("dummy_hcd." + std::to_string(count - 1)).c_str()))) &&
           (!machine.windows || machine.hidrawWanted == 0 ||
            Wine("offer " + std::to_string(machine.hidrawWanted)));
}

bool UnplugDevices(std::string* problem) {
    const bool plugged = machine.plugged;
    machine.plugged = false;
    if (plugged && !RemoveDevices()) {
        *problem = "the devices did not go away";
        return false;
    }
    return true;
}

// Wine gets its devices once a boot (every Wine row has the same, and the
// one that leaves the bus comes last): later rows only start their
// emulators afresh.
bool PlugDevices(const Row& row, std::string* problem) {
    if (machine.windows && machine.plugged) {
        return StartEmulations(row);
    }
    if (!UnplugDevices(problem)) {
        return false;
    }
    machine.plugged = true;
    if (!AddDevices(row)) {
        *problem = "the devices did not come up";
        return false;
    }
    return true;
}

// The host node of the thermometer's data interface (interface 01).
std::string DataNode() {
    for (const std::string& dir : Glob("/sys/class/hidraw/hidraw*")) {
        if (Read(dir + "/device/../bInterfaceNumber") == "01\n") {
            return "/dev/" + dir.substr(dir.rfind('/') + 1);
        }
    }
    return "";
}

// pid has the node open, or holds its lock (flock shows in fdinfo).
bool HasOpen(pid_t pid, const std::string& node, bool locked) {
    char target[256];
    for (std::string fd : Glob("/proc/" + std::to_string(pid) + "/fd/*")) {
        const ssize_t length = readlink(fd.c_str(), target, sizeof target - 1);
        if (length > 0 && node == std::string(target, static_cast<std::size_t>(length)) &&
            (!locked || Contains(Read(fd.replace(fd.rfind("/fd/"), 4, "/fdinfo/")), "FLOCK"))) {
            return true;
        }
    }
    return false;
}

// --- Runs of the program ---

// reader and member are in plugdev; seat may be let in by the access list.
uid_t UserId(const std::string& user) {
    const std::vector<std::string> users = {"user", "reader", "member", "seat"};
    const auto at = std::find(users.begin(), users.end(), user);
    return at == users.end() ? 0 : static_cast<uid_t>(1000 + (at - users.begin()));
}

// env sets the run's zone (and Wine's variables), so that the child needs
// only calls that are safe in a copy of a process with threads.
void PlayRun(const Row& row, const std::string& program, int number, const std::string& out,
             long limitS, int signal) {
    Run& run = machine.runs[number];
    std::vector<std::string> words = {"/bin/env"};
    if (!row.zone.empty()) {
        words.push_back("TZ=" + row.zone);
    }
    if (program != "linux") {
        words.insert(words.end(),
                     {"/bin/guest-wine.sh", "run",
                      program == "x86" ? "/mnt/frostgauge32.exe" : "/mnt/frostgauge.exe"});
    } else {
        words.push_back("/bin/frostgauge");
    }
    words.insert(words.end(), row.arguments.begin(), row.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    const std::string errors = program == "linux" ? "" : "/tmp/wine." + std::to_string(number);
    const uid_t user = UserId(number == 1 ? row.firstRunner : row.runner);
    const gid_t plugdev = 46;
    const long mask = row.umask;
    run.startedMs = NowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        if (mask != kNone) {
            umask(static_cast<mode_t>(mask));
        }
        const int output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int input = open("/dev/null", O_RDONLY);
        const int error =
            errors.empty() ? 2 : open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0 || input < 0 || error < 0 || dup2(output, 1) < 0 || dup2(input, 0) < 0 ||
            dup2(error, 2) < 0 ||
            (user != 0 && (setgroups(user == 1001 || user == 1002 ? 1 : 0, &plugdev) != 0 ||
                           setgid(user) != 0 || setuid(user) != 0))) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    run.pid = pid;
    int status = 0;
    bool cut = false;
    for (const long end = NowMs() + limitS * 1000; pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
         SleepMs(5)) {
        if (!cut && NowMs() > end) {
            kill(pid, signal);
            cut = true;
        }
        const std::string proc =
            mask == kNone ? "" : Read("/proc/" + std::to_string(pid) + "/status");
        const std::size_t at = proc.find("Umask:\t");
        if (at != std::string::npos) {
            run.umask = proc.substr(at + 7, proc.find('\n', at) - at - 7);
        }
    }
    run.endedMs = NowMs();
    run.status = pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.done = true;
}

std::string OutOf(int number) {
    return "/tmp/out." + std::to_string(number);
}

// A run that does not end by itself is cut off (143); under a caller's
// limit it is killed after that many seconds (137), as `timeout -s KILL` does.
void PlayRuns(const Row& row, const std::string& program, int first, int last,
              std::vector<std::thread>* threads) {
    long limit = program != "linux" ? 60 : 20;
    const int signal = row.limit == kNone ? SIGTERM : SIGKILL;
    limit = row.limit == kNone ? limit : row.limit;
    const auto play = [&row, program, limit, signal](int number) {
        PlayRun(row, program, number, row.toFull ? "/dev/full" : OutOf(number), limit, signal);
    };
    if (row.limit == kNone) {
        for (int number = first; number <= last; ++number) {
            threads->emplace_back(play, number);
        }
        return;
    }
    // One after another, as a script or a poller starts them, the first a
    // second after a killed run.
    threads->emplace_back([play, first, last] {
        for (int number = first; number <= last; ++number) {
            SleepMs(number > 1 && number == first ? 1000 : 0);
            play(number);
        }
    });
}

// A busy machine took a 32-bit Windows run more than 10 s to send its first command.
bool WaitHeld(Emulation* e, long command, std::string* problem) {
    if (!WaitFor([e, command] { return e->held == command; }, machine.windows ? 60000 : 10000)) {
        *problem = problem->empty()
                       ? "the thermometer did not hold command " + std::to_string(command)
                       : *problem;
        return false;
    }
    return true;
}

// Runs first to last wait for their turn: a Linux run has the node open,
// a Windows one is loaded and idle. Windows runs started at once (`atOnce`)
// must be seen two at a time past their start (HID.DLL loaded): a run that
// waits for an answer looks as idle as one that waits for its turn. A
// Windows run's window closes when the first run (atOnce: every run) ended.
void SeenWaiting(const std::string& program, int first, int last, bool atOnce,
                 std::string* problem) {
    const bool linux = program == "linux";
    bool seen = false;
    WaitFor(
        [&] {
            int waiting = 0, ended = 0;
            for (int number = first; number <= last; ++number) {
                const Run& run = machine.runs[number];
                ended += run.done;
                waiting += !run.done && (linux    ? HasOpen(run.pid, DataNode(), false)
                                         : atOnce ? WineRunLoaded(run.pid)
                                                  : WineRunWaits(run.pid));
            }
            seen = atOnce ? waiting > 1 : waiting == last - first + 1;
            return seen ||
                   (!linux && (atOnce ? ended == last - first + 1 : machine.runs[1].done.load()));
        },
        linux ? 10000 : 60000);
    if (!seen && problem->empty()) {
        *problem = (linux ? "" : kWindowMissed) +
                   (atOnce ? "no two runs were seen started at once"
                           : "the other runs were not seen waiting for their turn");
    } else if (linux) {
        SleepMs(200);
    }
}

// The wall clock's lead over NowMs's.
long long WallLeadMs() {
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    return wall.tv_sec * 1000LL + wall.tv_nsec / 1000000 - NowMs();
}

// True when the clock was set, even if it did not move as far: it is to
// be stepped back.
bool StepClock(long seconds, std::string* problem) {
    const long long lead = WallLeadMs();
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    wall.tv_sec += seconds;
    const bool set = clock_settime(CLOCK_REALTIME, &wall) == 0;
    const long long movedMs = WallLeadMs() - lead;
    if (std::llabs(movedMs - seconds * 1000LL) > 500) {
        *problem = "the wall clock moved " + std::to_string(movedMs) + " ms, not " +
                   std::to_string(seconds) + " s";
    }
    return set;
}

// plant=folders: user, who may not open the thermometer, holds every
// mark's name in the places open to all, with folders that are not empty;
// plant=between: in /dev/shm, in place of what lay there.
void PlantFolders(std::initializer_list<const char*> places, std::string* problem) {
    const uid_t user = UserId("user");
    for (const char* place : places) {
        for (int number = 0; number < 8 && access(place, F_OK) == 0; ++number) {
            const std::string folder =
                std::string(place) + "/frostgauge-hidraw" + std::to_string(number);
            unlink(folder.c_str());
            if (mkdir(folder.c_str(), 0755) != 0 || !Write(folder + "/held", "") ||
                chown((folder + "/held").c_str(), user, user) != 0 ||
                chown(folder.c_str(), user, user) != 0) {
                *problem = "cannot plant the folder " + folder + ": " + std::strerror(errno);
                return;
            }
        }
    }
}

// Where the killed run keeps its mark: root in a folder of its own, other
// accounts in the first shared one the row leaves them (a full /dev/shm
// still has room for an empty file).
std::string ExpectedPlace(const Row& row) {
    return UserId(row.firstRunner) == 0 ? "/run/frostgauge"
           : row.shm == "missing" || row.shm == "read-only"
               ? (row.lockDir.empty() ? "/run/lock" : "/tmp")
               : "/dev/shm";
}

// The kill comes once the run has stamped its mark after its write: the
// next run's wait counts from the date on it, which must not be older than
// the command. A run with no place for a mark (another account's folders
// at every name) has none anywhere.
void StampedAfterWrite(const Row& row, Emulation* e, std::string* problem) {
    std::string where;
    if (row.plant == "folders" && UserId(row.firstRunner) != 0) {
        struct stat status = {};
        for (const std::string& mark : MarkNames()) {
            if (lstat(mark.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
                *problem = "the run found a place for its mark: " + mark;
            }
        }
    } else if (machine.windows) {
        // Wine's write returns before the command reaches the thermometer
        // (the mark's last stamp lands 0.2 to 0.9 s before it comes), so
        // only that a mark was stamped can be seen; the answer is kept
        // within what a live run would wait for after that stamp.
        if (WaitFor([] { return LastStampMs() != LLONG_MIN; }, 5000)) {
            e->lastStamp = LastStampMs();
        } else {
            *problem = "the run did not stamp its mark";
        }
    } else if (!WaitFor([e] { return LastStampMs() >= e->arrived - kStampSlackMs; }, 5000)) {
        const long long last = LastStampMs();
        *problem = "the run did not stamp its mark after its write (" +
                   (last == LLONG_MIN ? std::string("no mark")
                                      : "its mark dated " + std::to_string(e->arrived - last) +
                                            " ms before the command came") +
                   ")";
    } else if ((e->lastStamp = LastStampMs(&where)) != LLONG_MIN && where != ExpectedPlace(row)) {
        *problem = "the run kept its mark in " + where + ", not in " + ExpectedPlace(row);
    }
}

// kill=N: the first run starts alone. When its first command reaches the
// thermometer, which holds back its answer, the others start and wait for
// it; when its command N does, it is killed, and that command is answered
// as a killed run's answer comes, late (Serve times it). With late=MS the
// run is killed once it has stamped its mark after its write, and the
// others start only once it is dead (and the clock stepped, with clock=S).
void KillDuringReadOut(const Row& row, const std::string& program, Emulation* e,
                       std::vector<std::thread>* threads, std::string* problem, long* steppedS) {
    const long at = e->settings.killAt;
    const bool late = e->settings.lateMs != kNone;
    // Under a caller's limit the runs come one after another: the next one waits.
    const int lastWaiting = row.limit == kNone ? row.runs : 2;
    Run& first = machine.runs[1];
    PlayRuns(row, program, 1, 1, threads);
    WaitHeld(e, 1, problem);
    if (!late) {
        PlayRuns(row, program, 2, row.runs, threads);
        SeenWaiting(program, 2, lastWaiting, false, problem);
    }
    if (at > 1) {
        e->release = true;
        WaitHeld(e, at, problem);
    }
    if (late && problem->empty()) {
        StampedAfterWrite(row, e, problem);
    }
    kill(first.pid, SIGKILL);
    if (late) {
        WaitFor([&] { return first.done.load(); });
        if (row.clockStepS != 0 && problem->empty() && StepClock(row.clockStepS, problem)) {
            *steppedS = row.clockStepS;
        }
        PlayRuns(row, program, 2, row.runs, threads);
        if (program == "linux") {
            SeenWaiting(program, 2, lastWaiting, false, problem);
            // plant=between: the next run has looked, and its first command is yet to come.
            if (row.plant == "between" && problem->empty()) {
                PlantFolders({"/dev/shm"}, problem);
                *problem = e->commands == at ? *problem : "a command came before the plant";
            }
        } else if (WaitFor([] { return machine.runs[2].pid > 0; })) {
            e->next = machine.runs[2].pid.load();
        }
    }
    e->release = true;
}

// hold=MS or stale=HHLL: this program holds the thermometer, as another
// run would, until the run has it open, and then MS or until a stale
// report has come (usbhid drops what comes in the first 50 ms after a
// first open). early=HHLL: this program keeps the node open unlocked, so
// that the run's open is not the first; the run is stopped once it holds
// the lock, before its first command (stopped past its first stamp it had
// dropped already: a missed window), the report comes, and it goes on:
// only its drop before each command keeps the report from being its answer.
void PlayHolding(const Row& row, const std::string& program, Emulation* e, bool early,
                 std::vector<std::thread>* threads, std::string* problem) {
    const std::string node = DataNode();
    // This program's own open of the node, as another run's: locked or not.
    const int held = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (held < 0 || (!early && flock(held, LOCK_EX) != 0)) {
        *problem = "cannot open " + node + " as another run would: " + std::strerror(errno);
        return;
    }
    PlayRuns(row, program, 1, row.runs, threads);
    Run& run = machine.runs[1];
    bool seen = false;
    for (const long end = NowMs() + 10000; !seen && !run.done && NowMs() < end;
         SleepMs(early ? 0 : 5)) {
        seen =
            run.pid > 0 && HasOpen(run.pid, node, early) && (!early || kill(run.pid, SIGSTOP) == 0);
    }
    if (!seen) {
        *problem = early ? "the run was not seen holding the thermometer"
                         : "the run did not open the thermometer while it was held";
    } else if (early && (LastStampMs() != LLONG_MIN || e->commands > 0)) {
        // Its drop comes just before its first stamp: the report would come after it.
        *problem = kWindowMissed + "the run was stopped after its first command";
    }
    if (e != nullptr) {
        e->stale = true;
        // Once it reached this open of the node, it had reached the run's.
        std::uint8_t report[kReportLength];
        pollfd arrival = {held, POLLIN, 0};
        if ((poll(&arrival, 1, 5000) != 1 || read(held, report, sizeof report) <= 0) &&
            problem->empty()) {
            *problem = "the unasked report did not reach the host";
        }
    } else {
        SleepMs(row.holdMs);
    }
    if (seen && early) {
        kill(run.pid, SIGCONT);
    }
    close(held);
    machine.releasedMs = NowMs();
}

// Everything under a mark's name goes, planted folders with what they hold.
void RemoveMarks() {
    for (const std::string& mark : MarkNames()) {
        for (const std::string& inside : Glob(mark + "/*")) {
            unlink(inside.c_str());
        }
        if (unlink(mark.c_str()) != 0) {
            rmdir(mark.c_str());
        }
    }
}

// mark=OWNER,AGE: the mark OWNER's run stamped AGE seconds ago by the boot
// clock (ahead, when negative; never before the boot) lies in /dev/shm, in
// OWNER's own group; under umask=M, with the mode a run under it gave it.
void PlantMark(const Row& row, std::string* problem) {
    const std::string node = DataNode();
    const std::string mark = "/dev/shm/frostgauge-" + node.substr(node.rfind('/') + 1);
    const long long ms = std::max(0LL, NowMs() - row.markAge * 1000LL);
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(946684800 + ms / 1000), static_cast<long>(ms % 1000 * 1000000 + 1)}};
    const uid_t owner = UserId(row.markOwner);
    const mode_t mode = 0644 & ~static_cast<mode_t>(row.umask == kNone ? 0 : row.umask);
    if (node.empty() || !Write(mark, "") || chown(mark.c_str(), owner, owner) != 0 ||
        chmod(mark.c_str(), mode) != 0 || utimensat(AT_FDCWD, mark.c_str(), times, 0) != 0) {
        *problem = "cannot plant the mark " + mark + ": " + std::strerror(errno);
    }
}

bool ShmWritable() {
    struct statvfs status = {};
    return statvfs("/dev/shm", &status) == 0 && (status.f_flag & ST_RDONLY) == 0;
}

// What a row does to the machine before its runs, as other systems have
// it: /run/lock root's or missing, /dev/shm missing or read-only, another
// account's folders or a mark at the mark's name. Each fails the row when
// it did not take.
void PrepareMachine(const Row& row, std::string* problem) {
    if (row.lockDir == "root-only") {
        chmod("/run/lock", 0755);
    } else if (row.lockDir == "missing") {
        rmdir("/run/lock");
    }
    if (row.shm == "missing") {
        umount("/dev/shm");
        rmdir("/dev/shm");
        if (access("/dev/shm", F_OK) == 0) {
            *problem = "/dev/shm is still there";
        }
    } else if (row.shm == "read-only") {
        mount("none", "/dev/shm", "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr);
        if (ShmWritable()) {
            *problem = "/dev/shm is still writable";
        }
    } else if (row.shm == "full") {
        // As any account can fill it: room for a name, none for a byte.
        mount("none", "/dev/shm", "tmpfs", MS_REMOUNT, "size=64k");
        for (int i = 0; Write("/dev/shm/full." + std::to_string(i), std::string(4096, 'x')); ++i) {
        }
        if (Write("/dev/shm/full.more", "x")) {
            *problem = "/dev/shm is not full";
        }
    }
    if (row.plant == "folders" && problem->empty()) {
        PlantFolders({"/dev/shm", "/run/lock", "/tmp", "/var/lock"}, problem);
    }
    // acl=seat: seat may open the data node for writing, as uaccess lets the
    // user at the seat: user::rw- user:seat:rw- group::rw- mask::rw- other::---.
    const std::uint32_t acl[] = {
        2,   1 | 6 << 16, ~0u, 2 | 6 << 16, UserId(row.aclUser), 4 | 6 << 16, ~0u, 0x10 | 6 << 16,
        ~0u, 0x20,        ~0u};
    if (!row.aclUser.empty() && problem->empty() &&
        setxattr(DataNode().c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0) {
        *problem = "cannot let seat in: " + std::string(std::strerror(errno));
    }
    if (!row.markOwner.empty() && problem->empty()) {
        PlantMark(row, problem);
    }
}

// The rows after this one need the machine back as the boot made it.
void RestoreMachine(const Row& row, long steppedS, std::string* problem) {
    mkdir("/run/lock", 01777);
    chmod("/run/lock", 01777);
    std::string failed;
    if (row.shm == "missing" && access("/dev/shm", F_OK) != 0) {
        mkdir("/dev/shm", 0755);
        mount("none", "/dev/shm", "tmpfs", 0, "mode=1777");
    } else if (row.shm == "read-only" || row.shm == "full") {
        for (const std::string& file : Glob("/dev/shm/full.*")) {
            unlink(file.c_str());
        }
        mount("none", "/dev/shm", "tmpfs", MS_REMOUNT, "size=50%");
    }
    if (!row.shm.empty() && !ShmWritable()) {
        failed = "/dev/shm did not come back";
    }
    if (steppedS != 0) {
        StepClock(-steppedS, &failed);
    }
    if (!failed.empty()) {
        *problem += (problem->empty() ? "" : "; ") + failed;
    }
}

std::string Stamp(std::time_t instant, const std::string& zone) {
    setenv("TZ", zone.c_str(), 1);
    tzset();
    std::tm parts = {};
    localtime_r(&instant, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    unsetenv("TZ");
    tzset();
    return text;
}

// Sets problem when a run's status or output differs from the row's, a
// run wrote to the keyboard, or a mark stays that no run should leave.
void CheckRuns(const Row& row, const std::string& want, int first, std::time_t from,
               std::string* problem, std::string* got) {
    for (int number = first; number <= row.runs && problem->empty(); ++number) {
        const std::string which = row.runs > first ? "run " + std::to_string(number) + ": " : "";
        *got = Read(OutOf(number));
        if (Contains(want, "<HANDLE>")) {
            *got = PlaceHandles(*got);
        }
        for (std::time_t instant = from; Contains(want, "<NOW>") && instant <= std::time(nullptr);
             ++instant) {
            *got = PlaceStamp(*got, Stamp(instant, row.zone));
        }
        if (machine.runs[number].status != row.status) {
            *problem = which + "status " + std::to_string(machine.runs[number].status) +
                       ", expected " + std::to_string(row.status);
        } else if (*got != want) {
            *problem = which + "output differs";
        }
    }
    if (problem->empty() && machine.keyboardWritten) {
        *problem = "the program wrote to the keyboard interface";
    }
    // Only a transfer that failed leaves an answer owed, and a mark; a mark
    // left after whole answers would cost the next run its wait. Another
    // account's (planted, or a killed first run's) is not the runs' to remove.
    struct stat status = {};
    for (const std::string& mark : MarkNames()) {
        if (problem->empty() && !Contains(want, "ERR ReadFile") &&
            !Contains(want, "ERR WriteFile") && lstat(mark.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == UserId(row.runner)) {
            *problem = "a run left the mark of its read-out: " + mark;
        }
    }
}

std::string Seconds(long ms) {
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

// Checks what the row's proof rests on: the kill, the late answer, the
// runs' umask.
void CheckSteps(const Row& row, const Emulation* killed, std::string* problem) {
    if (killed != nullptr && machine.runs[1].status != 128 + SIGKILL) {
        *problem = "the first run was not killed: status " + std::to_string(machine.runs[1].status);
    } else if (killed != nullptr && killed->settings.lateMs != kNone && !killed->answeredLate) {
        *problem = "the dead run's answer did not go out";
    } else if (killed != nullptr && killed->missed) {
        *problem =
            kWindowMissed + "the next run had not loaded HID.DLL when the dead run's answer came";
    }
    // Runs at once prove turns only if each began before any ended.
    for (int number = 1;
         killed == nullptr && row.limit == kNone && number <= row.runs && problem->empty();
         ++number) {
        for (int other = 1; other <= row.runs; ++other) {
            if (machine.runs[number].startedMs >= machine.runs[other].endedMs) {
                *problem = "run " + std::to_string(number) + " began after run " +
                           std::to_string(other) + " had ended";
            }
        }
    }
    char mask[8];
    std::snprintf(mask, sizeof mask, "%04lo", row.umask);
    for (int number = 1; number <= row.runs && row.umask != kNone && problem->empty(); ++number) {
        if (machine.runs[number].umask != mask) {
            *problem = "run " + std::to_string(number) + "'s umask was \"" +
                       machine.runs[number].umask + "\", not " + mask;
        }
    }
}

void ResetRuns() {
    for (int number = 1; number <= kMostRuns; ++number) {
        unlink(OutOf(number).c_str());
        machine.runs[number].pid = 0;
        machine.runs[number].done = false;
        machine.runs[number].status = -1;
        machine.runs[number].umask.clear();
    }
    machine.releasedMs = 0;
}

// soak=N,MS: N runs, 1 to 4 at once, about one in ten killed at a random
// moment of its first MS; each of the others must end as the row says, and
// one still running after 90 s hangs.
void Soak(const Row& row, const std::string& program, const std::string& want,
          std::string* problem) {
    const long total = machine.soakRuns > 0 ? machine.soakRuns : row.soakRuns;
    long soaked = 0, killed = 0, failed = 0, wrong = 0, hangs = 0;
    const long began = NowMs();
    const auto report = [&] {
        std::printf(
            "e2e: soak: %s: %ld runs, %ld killed; %ld failed, %ld wrong readings, %ld hangs (%ld "
            "s)\n",
            program.c_str(), soaked, killed, failed, wrong, hangs, (NowMs() - began) / 1000);
    };
    Row some = row;
    while (soaked < total) {
        some.runs = 1 + std::rand() % 4;
        ResetRuns();
        std::vector<std::thread> threads;
        std::atomic<bool> cut[kMostRuns + 1] = {};
        for (int number = 1; number <= some.runs; ++number) {
            threads.emplace_back(PlayRun, std::cref(some), program, number, OutOf(number), 90,
                                 SIGTERM);
            if (std::rand() % 10 == 0) {
                threads.emplace_back([&cut, &row, number] {
                    SleepMs(std::rand() % row.soakWindowMs);
                    Run& run = machine.runs[number];
                    cut[number] = run.pid > 0 && !run.done && kill(run.pid, SIGKILL) == 0;
                });
            }
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (int number = 1; number <= some.runs; ++number) {
            const int status = machine.runs[number].status;
            const std::string out = Read(OutOf(number));
            killed += cut[number] ? 1 : 0;
            hangs += !cut[number] && status == 143 ? 1 : 0;
            if (!cut[number] && status != 143 && (status != row.status || out != want)) {
                ++(status != row.status ? failed : wrong);
                std::printf("e2e: soak: %s: run %ld ended with %d: %s\n", program.c_str(),
                            soaked + 1, status, out.c_str());
            }
            if (++soaked % 50 == 0 || soaked == total) {
                report();
            }
        }
    }
    if (failed + wrong + hangs > 0) {
        *problem = "runs failed, read wrong or hung";
    }
}

void PlayProgram(const Row& row, const std::string& program, const std::string& want,
                 std::string* problem, std::string* got) {
    ResetRuns();
    if (row.soakRuns != kNone) {
        Soak(row, program, want, problem);
        return;
    }
    RemoveMarks();
    machine.keyboardWritten = false;
    PrepareMachine(row, problem);
    const std::time_t from = std::time(nullptr);
    std::vector<std::thread> threads;
    long steppedS = 0;
    Emulation* killed = EmulationWith(&Thermometer::killAt);
    Emulation* stale = EmulationWith(&Thermometer::stale);
    Emulation* early = EmulationWith(&Thermometer::early);
    if (!problem->empty()) {
        // What the row rests on is not there: nothing runs.
    } else if (killed != nullptr) {
        KillDuringReadOut(row, program, killed, &threads, problem, &steppedS);
    } else if (early != nullptr || stale != nullptr || row.holdMs != kNone) {
        PlayHolding(row, program, early != nullptr ? early : stale, early != nullptr, &threads,
                    problem);
    } else {
        PlayRuns(row, program, 1, row.runs, &threads);
        if (program != "linux" && row.runs > 1 && row.limit == kNone) {
            // Wine takes seconds to start a run: started at once, they may still come one by one.
            SeenWaiting(program, 1, row.runs, true, problem);
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    RestoreMachine(row, steppedS, problem);
    // The first problem stands, but a wrong output is never a missed window.
    const bool missed = Contains(*problem, kWindowMissed.c_str());
    if (problem->empty()) {
        CheckSteps(row, killed, problem);
    }
    std::string outputs;
    CheckRuns(row, want, killed != nullptr ? 2 : 1, from, &outputs, got);
    if (!outputs.empty() && (problem->empty() || missed)) {
        *problem = outputs + (missed ? " (a play that missed its window)" : "");
    }
    RemoveMarks();
    if (!problem->empty() && program != "linux") {
        *problem = program + ": " + *problem;
    }
}

void Details(const std::string& prefix, const std::string& text) {
    std::size_t at = 0;
    for (std::size_t end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        std::printf("e2e: %s%s\n", prefix.c_str(), text.substr(at, end - at).c_str());
    }
}

// The demo: what the run printed, as a terminal shows it.
void Show(const Row& row, const std::string& program) {
    if (!machine.show) {
        return;
    }
    std::string out = Read(OutOf(1));
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    std::string words = program == "linux" ? "frostgauge" : "frostgauge.exe";
    for (const std::string& argument : row.arguments) {
        words += " " + argument;
    }
    Details("", "$ " + words + "\n" + out + (out.empty() || out.back() == '\n' ? "" : "\n") +
                    "[exit status " + std::to_string(machine.runs[1].status) + "]");
}

void PlayRow(const Row& row) {
    const long began = NowMs();
    {
        std::lock_guard<std::mutex> guard(machine.logLock);
        machine.log.clear();
    }
    std::string want = row.output.compare(0, 1, "@") == 0
                           ? Read("/e2e/expected/" + row.output.substr(1))
                           : Unescape(row.output);
    want = machine.windows ? WithCrlf(want) : want;
    std::string problem;
    std::string got;
    std::string note;
    if (PlugDevices(row, &problem)) {
        for (const std::string& program : ProgramsOf(row.runner)) {
            std::vector<long> times;
            int missed = 0;
            for (long play = 0; play < row.repeat && problem.empty(); ++play) {
                // Each play gets the thermometers as new.
                if (!StartEmulations(row)) {
                    problem = "the thermometers did not start for " + program;
                    break;
                }
                PlayProgram(row, program, want, &problem, &got);
                if (Contains(problem, kWindowMissed.c_str()) && ++missed <= kMostMisses) {
                    note += "; " + program + " missed its window, played again";
                    problem.clear();
                    --play;
                    continue;
                }
                const Run& run = machine.runs[1];
                times.push_back(run.endedMs - std::max(run.startedMs, machine.releasedMs));
                Show(row, program);
            }
            std::sort(times.begin(), times.end());
            if (row.repeat > 1 && !times.empty()) {
                char timed[96];
                std::snprintf(
                    timed, sizeof timed, "; %sa run: median %ld ms, mean %.1f ms of %zu",
                    program == "linux" ? "" : (program + ": ").c_str(), times[times.size() / 2],
                    std::accumulate(times.begin(), times.end(), 0.0) / times.size(), times.size());
                note += timed;
            }
        }
    }
    if (!machine.windows) {
        UnplugDevices(&problem);
    }
    const std::string trouble = KernelTrouble();
    if (!trouble.empty() && problem.empty()) {
        problem = "the kernel reported trouble";
    }
    const std::string verdict = row.name + " (" + Seconds(NowMs() - began) + note + ")";
    if (problem.empty()) {
        Report("ok   " + verdict);
        ++machine.passed;
        return;
    }
    Report("FAIL " + verdict + ": " + problem);
    Details("    want: ", want);
    Details("    got:  ", got);
    Details("    emulator: ", machine.log);
    Details("    kernel: ", trouble);
    for (const std::string& errors : Glob("/tmp/wine.*")) {
        Details("    wine: " + errors.substr(5) + ": ", Read(errors));
    }
    ++machine.failed;
}

bool PlayRows(const std::string& tag) {
    const long began = NowMs();
    const std::string table = Read("/e2e/scenarios.txt");
    std::size_t at = 0;
    for (std::size_t end; at < table.size(); at = end + 1) {
        end = std::min(table.find('\n', at), table.size());
        Row row;
        std::string error;
        if (ParseRow(table.substr(at, end - at), &row, &error)) {
            if (RowIsForBoot(row, tag, machine.windows)) {
                PlayRow(row);
            }
        } else if (!error.empty()) {
            Report("FAIL " + error);
            ++machine.failed;
        }
    }
    std::string problem;
    if (!machine.windows) {  // Wine's last devices stay: the machine powers off
        UnplugDevices(&problem);
    }
    const long took = (NowMs() - began) / 100;
    Report("scenarios took " + std::to_string(took / 10) + "." + std::to_string(took % 10) + " s");
    Report(std::to_string(machine.passed) + " passed, " + std::to_string(machine.failed) +
           " failed");
    return machine.passed > 0 && machine.failed == 0;
}

// A fixed instant in summer, so that summer-time offsets are known, and
// past 2038-01-19, where a 32-bit time_t runs out. Wine must start after
// it: its clock does not follow a later jump.
void SetClock() {
    std::tm summer = {};
    summer.tm_year = 2040 - 1900;
    summer.tm_mon = 6;
    summer.tm_mday = 15;
    summer.tm_hour = 9;
    summer.tm_min = 30;
    const timespec instant = {timegm(&summer), 0};
    clock_settime(CLOCK_REALTIME, &instant);
}

std::string Word(const std::string& commandLine, const std::string& key,
                 const std::string& otherwise) {
    const std::size_t at = (" " + commandLine).find(" " + key + "=");
    return at == std::string::npos
               ? otherwise
               : commandLine.substr(at + key.size() + 1,
                                    commandLine.find_first_of(" \n", at) - at - key.size() - 1);
}

void Nothing(int) {}

}  // namespace

int main() {
    static_assert(sizeof(std::time_t) == 8, "build with a 64-bit time_t (-D_TIME_BITS=64)");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction stop = {};
    stop.sa_handler = Nothing;  // without SA_RESTART: a blocked call ends
    sigaction(SIGUSR1, &stop, nullptr);
    std::srand(static_cast<unsigned>(getpid()));
    const std::string commandLine = Read("/proc/cmdline");
    const std::string mode = Word(commandLine, "frostgauge", "check");
    machine.windows = Word(commandLine, "wine", "0") == "1";
    if (machine.windows) {
        machine.markPlaces = {"/host/mnt/prefix/drive_c/ProgramData"};
    }
    if (access("/lib/systemd/systemd-udevd", X_OK) == 0) {
        const std::string devices = Read("/proc/devices");
        const std::size_t at = devices.find(" hidraw\n");
        const std::size_t line = devices.rfind('\n', at) + 1;
        machine.udevMajor = at == std::string::npos ? "" : devices.substr(line, at - line);
        machine.udevMajor.erase(0, machine.udevMajor.find_first_not_of(' '));
    }
    machine.soakRuns = std::atol(Word(commandLine, "soak_runs", "0").c_str());
    machine.show = mode == "demo";
    std::string trouble = KernelTrouble();  // the machine's start; rows report their own
    if (mode == "check") {
        SetClock();
    }
    bool passed = !machine.windows || Wine("start");
    // The 32-bit unit tests and program checks, under Wine only.
    machine.failed += passed && mode == "check" && machine.windows && !Wine("tests") ? 1 : 0;
    passed = passed && PlayRows(mode == "check" ? Word(commandLine, "rows", "all") : mode);
    StopEmulations();
    trouble += KernelTrouble();
    if (!trouble.empty()) {
        Report("FAIL the kernel reported trouble");
        Details("    kernel: ", trouble);
        passed = false;
    }
    // run-vm.sh's verdict on the boot.
    Report(passed ? "boot passed" : "boot failed");
    return 0;
}
