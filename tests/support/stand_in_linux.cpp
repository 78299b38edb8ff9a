#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <deque>
#include <mutex>
#include <thread>

#include "support/stand_in.h"

// Answers each command with the answers queued for it, as a thermometer
// does, from a thread of its own: the program drops any answer that is
// already waiting when it sends a command.
struct StandInPlayer {
    int device;
    std::mutex mutex;
    std::deque<Bytes> answers;
    std::vector<Bytes> commands;
    int owed = 0;  // answers the last commands still wait for
    std::thread thread;
};

namespace {

void SendReport(int device, const Bytes& report) {
    (void)!send(device, report.data(), report.size(), MSG_NOSIGNAL);
}

// Called with the mutex held.
void SendOwedAnswers(StandInPlayer* player) {
    while (player->owed > 0 && !player->answers.empty()) {
        SendReport(player->device, player->answers.front());
        player->answers.pop_front();
        --player->owed;
    }
}

void Play(StandInPlayer* player) {
    // Signals are the program's: a test that sends them means its waits.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        Bytes command(64);
        ssize_t got;
        do {
            got = recv(player->device, command.data(), command.size(), 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            return;
        }
        command.resize(static_cast<std::size_t>(got));
        const std::lock_guard<std::mutex> lock(player->mutex);
        player->commands.push_back(command);
        player->owed += command.size() > 2 && command[2] == 0x86 ? 2 : 1;
        SendOwedAnswers(player);
    }
}

}  // namespace

// A SOCK_SEQPACKET pair keeps report boundaries, like a hidraw node.
bool OpenStandIn(StandIn* standIn) {
    // A write to a socket whose peer has gone raises SIGPIPE; a hidraw node
    // reports an error instead, which is what the tests look for.
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    standIn->program = ends[0];
    standIn->device = ends[1];
    standIn->player = new StandInPlayer;
    standIn->player->device = ends[1];
    standIn->player->thread = std::thread(Play, standIn->player);
    return true;
}

void QueueAnswer(const StandIn& standIn, const Bytes& report) {
    const std::lock_guard<std::mutex> lock(standIn.player->mutex);
    standIn.player->answers.push_back(report);
    SendOwedAnswers(standIn.player);
}

void SendStaleReport(const StandIn& standIn, const Bytes& report) {
    SendReport(static_cast<int>(standIn.device), report);
}

std::vector<Bytes> ReceivedCommands(const StandIn& standIn) {
    const std::lock_guard<std::mutex> lock(standIn.player->mutex);
    std::vector<Bytes> commands;
    commands.swap(standIn.player->commands);
    return commands;
}

void HangUp(StandIn* standIn) {
    if (standIn->player != nullptr) {
        // Wakes the player's recv, which a close from here would not.
        shutdown(standIn->player->device, SHUT_RDWR);
        standIn->player->thread.join();
        delete standIn->player;
        standIn->player = nullptr;
    }
    if (standIn->device >= 0) {
        close(static_cast<int>(standIn->device));
        standIn->device = -1;
    }
}

void CloseStandIn(StandIn* standIn) {
    HangUp(standIn);
    if (standIn->program >= 0) {
        close(static_cast<int>(standIn->program));
        standIn->program = -1;
    }
}
