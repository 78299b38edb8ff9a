#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "guest.h"

namespace {

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? ""
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (separator != ' ' || !part.empty()) {
            parts.push_back(separator == ' ' ? part : Trim(part));
        }
    }
    return parts;
}

bool Number(const std::string& text, int base, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text.c_str(), &end, base);
    return errno == 0 && !text.empty() && *end == '\0';
}

bool Hex(const std::string& text, std::size_t digits, long* value) {
    return text.size() == digits &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
           Number(text, 16, value);
}

bool Setting(const std::string& key, const std::string& value, Device* device, Row* row) {
    Thermometer& t = device->thermometer;
    long number = 0;
    if (key == "t" && Hex(value, 4, &number)) {
        t.celsius = static_cast<unsigned>(number);
    } else if (key == "c" && Hex(value, 2, &number)) {
        t.calibration = static_cast<unsigned>(number);
    } else if (key == "id" && value.size() <= 16) {
        t.id = value;
    } else if ((key == "product" || key == "vendor") && Hex(value, 4, &number)) {
        (key == "product" ? device->product : device->vendor) = static_cast<unsigned>(number);
    } else if (key == "plug" && value == "backwards") {
        row->plugBackwards = true;
    } else if (key == "stale" || key == "early") {
        return Hex(value, 4, key == "stale" ? &t.stale : &t.early);
    } else if (key == "stop") {
        return Number(value, 10, &t.stopAfter) && t.stopAfter >= 0;
    } else if (key == "unplug") {
        return Number(value, 10, &t.unplugAfter) && t.unplugAfter >= 0;
    } else if (key == "kill") {
        return Number(value, 10, &t.killAt) && t.killAt >= 1 && t.killAt <= 3;
    } else if (key == "late") {
        return Number(value, 10, &t.lateMs) && t.lateMs >= 0;
    } else if (key == "repeat") {
        return Number(value, 10, &row->repeat) && row->repeat > 0;
    } else if (key == "hold") {
        return Number(value, 10, &row->holdMs) && row->holdMs > 0;
    } else if (key == "soak") {
        const std::size_t comma = value.find(',');
        return comma != std::string::npos && Number(value.substr(0, comma), 10, &row->soakRuns) &&
               Number(value.substr(comma + 1), 10, &row->soakWindowMs) && row->soakRuns > 0 &&
               row->soakWindowMs > 0;
    } else if (key == "limit") {
        return Number(value, 10, &row->limit) && row->limit > 0;
    } else if (key == "lockdir" && (value == "root-only" || value == "missing")) {
        row->lockDir = value;
    } else if (key == "shm" && (value == "missing" || value == "read-only" || value == "full")) {
        row->shm = value;
    } else if (key == "plant" && (value == "folders" || value == "between")) {
        row->plant = value;
    } else if (key == "acl" && value == "seat") {
        row->aclUser = value;
    } else if (key == "umask") {
        return value.find_first_not_of("01234567") == std::string::npos &&
               Number(value, 8, &row->umask) && row->umask <= 0777;
    } else if (key == "clock") {
        // A step either way, written with its sign.
        return value.find_first_of("+-") == 0 && Number(value, 10, &row->clockStepS) &&
               row->clockStepS != 0;
    } else if (key == "delay") {
        const std::size_t dash = value.find('-');
        return Number(value.substr(0, dash), 10, &t.delayMs) &&
               Number(dash == std::string::npos ? value : value.substr(dash + 1), 10,
                      &t.delayMaxMs) &&
               t.delayMs >= 0 && t.delayMaxMs >= t.delayMs;
    } else if (key == "mark") {
        const std::size_t comma = value.find(',');
        row->markOwner = value.substr(0, comma);
        return comma != std::string::npos && Number(value.substr(comma + 1), 10, &row->markAge);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseDevices(const std::string& text, Row* row, std::string* error) {
    row->devices.clear();
    row->bus.clear();
    if (text == "-") {
        return true;
    }
    // A "+" right after "=" is a sign (clock=+60), not the next device.
    std::string joined = text;
    for (std::size_t at = joined.find('+'); at != std::string::npos;
         at = joined.find('+', at + 1)) {
        joined[at] = at > 0 && joined[at - 1] == '=' ? '+' : '\n';
    }
    for (const std::string& item : Split(joined, '\n')) {
        const std::vector<std::string> words = Split(item, ' ');
        Device device;
        device.kind = words.empty() ? '?' : words[0][0];
        if (words.empty() || words[0].size() != 1 || (device.kind != 'T' && device.kind != 'O')) {
            *error = "unknown device \"" + item + "\"";
            return false;
        }
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::size_t equals = words[i].find('=');
            if (equals == std::string::npos ||
                !Setting(words[i].substr(0, equals), words[i].substr(equals + 1), &device, row)) {
                *error = "unknown setting \"" + words[i] + "\"";
                return false;
            }
        }
        row->bus +=
            (row->bus.empty() ? "" : "+") + std::string(1, device.kind) +
            (device.kind == 'O' ? std::to_string(device.vendor << 16 | device.product) : "");
        row->devices.push_back(device);
    }
    return true;
}

bool ParseRow(const std::string& line, Row* row, std::string* error) {
    error->clear();
    std::vector<std::string> columns = Split(line, '|');
    if (columns.empty() || columns[0].empty() || columns[0][0] == '#') {
        return false;
    }
    while (columns.size() > 7) {  // the output may hold the separator
        columns[6] += "|" + columns.back();
        columns.pop_back();
    }
    columns.resize(7);
    *row = Row{};
    row->name = columns[0];
    const std::size_t star = columns[2].find('*');
    row->runner = columns[2].substr(0, star);
    const std::size_t slash = row->runner.find('/');
    row->firstRunner = row->runner.substr(0, slash);
    row->runner = row->runner.substr(slash == std::string::npos ? 0 : slash + 1);
    long number = 1;
    if (star != std::string::npos &&
        (!Number(columns[2].substr(star + 1), 10, &number) || number < 1 || number > kMostRuns)) {
        *error = row->name + ": bad user \"" + columns[2] + "\"";
        return false;
    }
    row->runs = static_cast<int>(number);
    row->zone = columns[3];
    std::string arguments = columns[4];
    const std::string full = ">/dev/full";
    if (arguments.size() >= full.size() &&
        arguments.compare(arguments.size() - full.size(), full.size(), full) == 0) {
        row->toFull = true;
        arguments.resize(arguments.size() - full.size());
    }
    row->arguments = Split(arguments, ' ');
    if (!Number(columns[5], 10, &number)) {
        *error = row->name + ": bad status \"" + columns[5] + "\"";
        return false;
    }
    row->status = static_cast<int>(number);
    row->output = columns[6];
    if (!ParseDevices(columns[1], row, error)) {
        *error = row->name + ": " + *error;
        return false;
    }
    // The clock steps between the killed run and the next.
    bool killedLate = false;
    for (const Device& device : row->devices) {
        killedLate = killedLate ||
                     (device.thermometer.killAt != kNone && device.thermometer.lateMs != kNone);
    }
    if (row->clockStepS != 0 && !killedLate) {
        *error = row->name + ": clock= needs kill= and late=";
        return false;
    }
    return true;
}

bool IsWindowsRunner(const std::string& runner) {
    return runner.compare(0, 4, "wine") == 0;
}

std::vector<std::string> ProgramsOf(const std::string& runner) {
    if (runner == "wine") {
        return {"x64", "x86"};
    }
    if (runner == "wine64" || runner == "wine32") {
        return {runner == "wine64" ? "x64" : "x86"};
    }
    return {"linux"};
}

bool RowIsForBoot(const Row& row, const std::string& tag, bool windows) {
    const auto tagged = [&row](const std::string& which) {
        const std::string suffix = " [" + which + "]";
        return row.name.size() > suffix.size() &&
               row.name.compare(row.name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return (tag == "all" ? !tagged("bench") && !tagged("soak") : tagged(tag)) &&
           IsWindowsRunner(row.runner) == windows;
}

std::string Unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::string escapes = "nrt\\";
        const std::size_t which =
            i + 1 < text.size() ? escapes.find(text[i + 1]) : std::string::npos;
        if (text[i] != '\\' || which == std::string::npos) {
            plain += text[i];
            continue;
        }
        plain += "\n\r\t\\"[which];
        ++i;
    }
    return plain;
}

std::string WithCrlf(const std::string& text) {
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return crlf;
}

std::string PlaceHandles(const std::string& output) {
    const std::string port = "USB Port #";
    std::string placed = output;
    for (std::size_t at = 0; at != std::string::npos;) {
        const std::size_t digits = at + port.size();
        const std::size_t end =
            std::min(placed.find_first_not_of("0123456789", digits), placed.size());
        if (placed.compare(at, port.size(), port) == 0 && end > digits) {
            placed.replace(digits, end - digits, "<HANDLE>");
        }
        at = placed.find('\n', at);
        at = at == std::string::npos ? at : at + 1;
    }
    return placed;
}

std::string PlaceStamp(const std::string& output, const std::string& stamp) {
    std::string placed = output;
    for (std::size_t at = placed.find(stamp); !stamp.empty() && at != std::string::npos;
         at = placed.find(stamp, at)) {
        placed.replace(at, stamp.size(), "<NOW>");
    }
    return placed;
}

std::vector<std::vector<std::uint8_t>> AnswerTo(const std::uint8_t* command,
                                                const Thermometer& thermometer) {
    if (command[0] != 0x01) {
        return {};
    }
    // The host reads only bytes 2 and 3 of a data answer; 80 02 in front is filler.
    const auto data = [](unsigned high, unsigned low) {
        return std::vector<std::uint8_t>{
            0x80, 0x02, static_cast<std::uint8_t>(high), static_cast<std::uint8_t>(low), 0, 0,
            0,    0};
    };
    switch (command[1]) {
    case 0x86: {
        std::vector<std::uint8_t> id(thermometer.id.begin(), thermometer.id.end());
        id.resize(2 * kReportLength);
        return {{id.begin(), id.begin() + kReportLength}, {id.begin() + kReportLength, id.end()}};
    }
    case 0x82:
        return {data(thermometer.calibration, 0)};
    case 0x80:
        return {data(thermometer.celsius >> 8, thermometer.celsius & 0xFF)};
    default:
        return {};
    }
}
