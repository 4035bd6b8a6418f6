// The floor of a relay's cost under Wine: what any Windows program relaying the
// stream must pay, Winsock's sends through Wine above all. As bench/relay_floor
// does natively, it reads the serial port and, at most once per the program's
// window, gives the gathered bytes to each client with one send() each; no ring,
// no second thread on the data path, no parsing, no status. relay_linux.sh runs it
// beside brevalink.exe in the same Wine session ("wfloor"), so that the program's
// figures under Wine have a floor measured in the same run:
//
//   relay_floor_win.exe COMn PORT
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/app_state.h"
#include "../relay_floor_window.h"

namespace {

CRITICAL_SECTION joinLock;
std::vector<SOCKET> joined;  // accepted, not yet relayed to; under joinLock

std::int64_t nowUs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<std::int64_t>(c.QuadPart / f.QuadPart * 1000000 + c.QuadPart % f.QuadPart * 1000000 / f.QuadPart);
}

// Blocks in accept; its own thread, so that the data path makes no call for it.
DWORD WINAPI acceptClients(void* arg) {
    SOCKET listener = reinterpret_cast<SOCKET>(arg);
    for (;;) {
        SOCKET c = accept(listener, nullptr, nullptr);
        if (c == INVALID_SOCKET) return 0;
        // As the program's clients: non-blocking, no Nagle delay, the same send buffer.
        u_long on = 1;
        ioctlsocket(c, FIONBIO, &on);
        int one = 1, size = kRelaySendBuffer;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        setsockopt(c, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
        EnterCriticalSection(&joinLock);
        joined.push_back(c);
        LeaveCriticalSection(&joinLock);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: relay_floor_win COMn PORT\n");
        return 2;
    }
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "relay_floor_win: cannot open %s\n", argv[1]);
        return 1;
    }
    // Read as the program reads: a first byte (waited for up to 70 ms), then what
    // the port holds. Wine serves a read that asks for what is there with a wait
    // of its own of some 50 ms, which would measure the port, not the sends.
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutMultiplier = 70;
    t.ReadTotalTimeoutConstant = 70;
    SetCommTimeouts(port, &t);
    timeBeginPeriod(1);

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 128) != 0) {
        std::fprintf(stderr, "relay_floor_win: cannot listen on port %s\n", argv[2]);
        return 1;
    }
    InitializeCriticalSection(&joinLock);
    CreateThread(nullptr, 0, acceptClients, reinterpret_cast<void*>(listener), 0, nullptr);
    std::printf("relay_floor: listening on port %s\n", argv[2]);
    std::fflush(stdout);

    std::vector<SOCKET> clients;
    clients.reserve(256);
    std::vector<unsigned char> buffer(kRelaySendLimit);
    std::int64_t lastSendUs = 0;
    for (;;) {
        // Bytes after a quiet spell go at once; the rest gather in the port until a
        // window has passed since the last round's start.
        DWORD got = 0;
        if (!ReadFile(port, buffer.data(), 1, &got, nullptr)) return 1;
        if (got == 0) continue;
        std::int64_t windowUs = floorWindowUs(clients.size());
        std::int64_t restUs = lastSendUs + windowUs - nowUs();
        if (restUs >= 500) Sleep(static_cast<DWORD>((restUs + 500) / 1000));
        DWORD errors = 0, more = 0;
        COMSTAT stat{};
        if (ClearCommError(port, &errors, &stat) && stat.cbInQue > 0) {
            DWORD want = std::min<DWORD>(stat.cbInQue, static_cast<DWORD>(buffer.size()) - 1);
            if (ReadFile(port, buffer.data() + 1, want, &more, nullptr)) got += more;
        }
        EnterCriticalSection(&joinLock);
        clients.insert(clients.end(), joined.begin(), joined.end());
        joined.clear();
        LeaveCriticalSection(&joinLock);
        lastSendUs = nowUs();
        // A client that does not take the whole window goes, as the program's does.
        std::size_t kept = 0;
        for (SOCKET c : clients) {
            if (send(c, reinterpret_cast<const char*>(buffer.data()), static_cast<int>(got), 0) == static_cast<int>(got))
                clients[kept++] = c;
            else
                closesocket(c);
        }
        clients.resize(kept);
    }
}
