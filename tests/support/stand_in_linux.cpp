#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "support/stand_in.h"

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
    return true;
}

void QueueAnswer(const StandIn& standIn, const Bytes& report) {
    (void)!send(static_cast<int>(standIn.device), report.data(), report.size(), MSG_NOSIGNAL);
}

std::vector<Bytes> ReceivedCommands(const StandIn& standIn) {
    std::vector<Bytes> commands;
    for (;;) {
        Bytes command(64);
        const ssize_t got =
            recv(static_cast<int>(standIn.device), command.data(), command.size(), MSG_DONTWAIT);
        if (got <= 0) {
            return commands;
        }
        command.resize(static_cast<std::size_t>(got));
        commands.push_back(command);
    }
}

void HangUp(StandIn* standIn) {
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
