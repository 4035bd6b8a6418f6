// The service manager's socket: READY, WATCHDOG, STATUS and STOPPING as the
// datagrams of its notification protocol (one "NAME=value" each, to the unix
// socket NOTIFY_SOCKET names, "@" for the abstract namespace).
//
// Main thread only. Every send is non-blocking: a manager that stops reading
// fills its queue (ten datagrams by default), and a blocking send would then
// freeze the main loop, and with it the snapshots and the shutdown. What cannot
// be sent waits for room only where losing it would matter: READY until it is
// sent, STATUS as its newest text; a WATCHDOG that finds no room is dropped (the
// next comes a second later, and a manager that reads nothing restarts us anyway),
// and STOPPING gets one try.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/linux/shell_linux.h"
#include "core/app_state.h"

namespace {

struct Notifier {
    int fd = -1;
    sockaddr_un to {};
    socklen_t toLength = 0;
    bool readyPending = false;
    bool statusPending = false;
    char status[600] = "STATUS=";
    bool refused = false;       // the last send found no room; said once in the journal
    unsigned long dropped = 0;  // WATCHDOG and STOPPING datagrams lost since then
};
Notifier notifier;

// Opens the socket the first time; false without a usable NOTIFY_SOCKET, when
// every notification is nothing (run by hand, or by a manager that asks for none).
bool opened() {
    if (notifier.fd >= 0) return true;
    static bool looked = false;
    if (looked) return false;
    looked = true;
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@')) return false;
    std::size_t length = std::strlen(path);
    if (length < 2 || length > sizeof notifier.to.sun_path) return false;
    notifier.to.sun_family = AF_UNIX;
    std::memcpy(notifier.to.sun_path, path, length);
    if (path[0] == '@') notifier.to.sun_path[0] = '\0';
    // An abstract name is exactly its bytes; a path may end with its terminator.
    notifier.toLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path[0] == '/'));
    if (notifier.toLength > sizeof notifier.to) notifier.toLength = sizeof notifier.to;
    notifier.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return notifier.fd >= 0;
}

// 1 when the datagram went; never waits for the manager.
int sendNow(const char* datagram) {
    for (;;) {
        ssize_t n = sendto(notifier.fd, datagram, std::strlen(datagram), MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&notifier.to), notifier.toLength);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if (!notifier.refused)
            journalLine("service manager: a notification cannot be sent (%s); going on without waiting",
                        std::strerror(errno));
        notifier.refused = true;
        return 0;
    }
    if (notifier.refused) {
        journalLine("service manager: notifications go through again (%lu lost meanwhile)", notifier.dropped);
        notifier.refused = false;
        notifier.dropped = 0;
    }
    return 1;
}

// READY before STATUS, as they were asked for; 1 when nothing waits any more.
int flush() {
    if (notifier.readyPending) {
        if (!sendNow("READY=1")) return 0;
        notifier.readyPending = false;
    }
    if (notifier.statusPending) {
        if (!sendNow(notifier.status)) return 0;
        notifier.statusPending = false;
    }
    return 1;
}

void sendOrDrop(const char* datagram) {
    if (!flush() || !sendNow(datagram)) ++notifier.dropped;
}

}  // namespace

void serviceReady() {
    if (!opened()) return;
    notifier.readyPending = true;
    flush();
}

void serviceStatus(const char* utf8Line) {
    if (!opened()) return;
    copyText(notifier.status + 7, sizeof notifier.status - 7, utf8Line);
    notifier.statusPending = true;
    flush();
}

void serviceWatchdog() {
    if (opened()) sendOrDrop("WATCHDOG=1");
}

void serviceStopping() {
    if (!opened()) return;
    sendOrDrop("STOPPING=1");
    close(notifier.fd);
    notifier.fd = -1;
}
