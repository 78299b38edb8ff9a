#include <windows.h>

#include <cstdio>

#include "support/stand_in.h"

namespace {

constexpr std::intptr_t kClosed = -1;
constexpr DWORD kPipeBufferBytes = 4096;

HANDLE HandleOf(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

// A message-mode named pipe keeps report boundaries, like a HID handle; the
// program's end is opened with CreateFileA, as a HID interface is.
bool OpenStandIn(StandIn* standIn) {
    standIn->program = kClosed;
    standIn->device = kClosed;
    standIn->player = nullptr;  // answers wait in the pipe, which nothing drops
    static unsigned serial = 0;
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\frostgauge-stand-in-%lu-%u",
                  GetCurrentProcessId(), ++serial);
    const HANDLE device = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                           kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Overlapped, as the program opens a HID interface.
    const HANDLE program = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (program == INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        return false;
    }
    // A pipe's client end starts in byte mode, which would run reports together.
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(program, &mode, nullptr, nullptr)) {
        CloseHandle(program);
        CloseHandle(device);
        return false;
    }
    standIn->program = reinterpret_cast<DeviceHandle>(program);
    standIn->device = reinterpret_cast<std::intptr_t>(device);
    return true;
}

// Windows HID reads deliver the report ID before the report's bytes.
void QueueAnswer(const StandIn& standIn, const Bytes& report) {
    Bytes message = {0x00};
    message.insert(message.end(), report.begin(), report.end());
    DWORD written = 0;
    WriteFile(HandleOf(standIn.device), message.data(), static_cast<DWORD>(message.size()),
              &written, nullptr);
}

std::vector<Bytes> ReceivedCommands(const StandIn& standIn) {
    std::vector<Bytes> commands;
    if (standIn.device == kClosed) {
        return commands;
    }
    for (;;) {
        // Peek first: a read on an empty pipe would wait for the next command.
        DWORD waiting = 0;
        if (!PeekNamedPipe(HandleOf(standIn.device), nullptr, 0, nullptr, &waiting, nullptr) ||
            waiting == 0) {
            return commands;
        }
        Bytes command(64);
        DWORD got = 0;
        if (!ReadFile(HandleOf(standIn.device), command.data(), static_cast<DWORD>(command.size()),
                      &got, nullptr)) {
            return commands;
        }
        command.resize(got);
        commands.push_back(command);
    }
}

void HangUp(StandIn* standIn) {
    if (standIn->device != kClosed) {
        CloseHandle(HandleOf(standIn->device));
        standIn->device = kClosed;
    }
}

void CloseStandIn(StandIn* standIn) {
    HangUp(standIn);
    if (standIn->program != kClosed) {
        CloseHandle(HandleOf(standIn->program));
        standIn->program = kClosed;
    }
}
