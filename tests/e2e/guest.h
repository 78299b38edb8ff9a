// The test machine's guest program: the rows of scenarios.txt as data, and
// what the host can check of them without a machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr long kNone = -1;
constexpr std::size_t kReportLength = 8;
constexpr int kMostRuns = 10;

// A thermometer's settings, as the devices column writes them.
struct Thermometer {
    std::string id = "TEMPerGold_V3.1";
    unsigned calibration = 0;
    unsigned celsius = 0x1920;
    long stopAfter = kNone;    // commands answered before it falls silent
    long unplugAfter = kNone;  // commands answered before it leaves the bus
    long delayMs = 0;
    long delayMaxMs = 0;  // above delayMs: each delay drawn from the range
    long stale = kNone;   // the temperature of a report that comes unasked
    long early = kNone;   // the same, once the run has the node open
    long killAt = kNone;  // the command during which the first run is killed
    long lateMs = kNone;  // when that command's answer comes, after it arrived
};

struct Device {
    char kind = '-';  // T: a thermometer; O: another device
    unsigned vendor = 0x0c45;
    unsigned product = 0x7402;
    Thermometer thermometer;
};

struct Row {
    std::string name;
    std::vector<Device> devices;
    std::string bus;  // the devices without the thermometers' settings
    std::string runner;
    std::string firstRunner;  // the first run's user, where "A/B" names another
    int runs = 1;
    std::string zone;
    std::vector<std::string> arguments;
    bool toFull = false;  // standard output goes to /dev/full
    int status = 0;
    std::string output;  // as the table writes it: escapes, or @FILE
    long limit = kNone;  // a caller's time limit, in seconds (SIGKILL)
    std::string markOwner;
    long markAge = 0;
    std::string lockDir;         // root-only, missing or empty
    std::string shm;             // missing, read-only, full or empty
    std::string plant;           // folders, between or empty
    std::string aclUser;         // let write the thermometer by its access list
    bool plugBackwards = false;  // the last device first: hidraw numbers against the ports
    long umask = kNone;
    long clockStepS = 0;  // the wall clock's step once the killed run is dead
    long repeat = 1;      // plays, each timed
    long holdMs = kNone;  // this program holds the thermometer while the run starts
    long soakRuns = kNone;
    long soakWindowMs = 0;
};

// False for a comment or an empty line (error empty) and for a row that
// cannot be read (error says why).
bool ParseRow(const std::string& line, Row* row, std::string* error);
bool ParseDevices(const std::string& text, Row* row, std::string* error);
bool IsWindowsRunner(const std::string& runner);
// The programs a row runs: "linux", or the Windows ones its runner names.
std::vector<std::string> ProgramsOf(const std::string& runner);
// tag: a machine's rows (all, or a tag such as arm) or a mode's (demo,
// bench, soak); "all" leaves out the rows of bench and soak.
bool RowIsForBoot(const Row& row, const std::string& tag, bool windows);

// printf's %b escapes, as the output column writes line breaks.
std::string Unescape(const std::string& text);
// Windows's text mode writes every "\n" as "\r\n".
std::string WithCrlf(const std::string& text);
// Wine's handle number, which is Wine's choice, becomes <HANDLE>.
std::string PlaceHandles(const std::string& output);
std::string PlaceStamp(const std::string& output, const std::string& stamp);

// The reports a thermometer answers a command with: none for one it does
// not know, as the real one does.
std::vector<std::vector<std::uint8_t>> AnswerTo(const std::uint8_t* command,
                                                const Thermometer& thermometer);
