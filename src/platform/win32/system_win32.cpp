// Threads, the named feed-lock semaphore, clocks, files and run-time libraries.
#include <io.h>
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <ctime>
#include <new>

#include "platform/platform.h"

namespace {

struct Start {
    void (*procedure)(void*);
    void* argument;
};

DWORD WINAPI trampoline(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.procedure(s.argument);
    return 0;
}

DWORD mainThreadId = 0;
HANDLE feedLock = nullptr;

// Waits for a thread to end. On the main thread the wait keeps carrying out the
// messages other threads send to our windows: the thread being waited for may
// itself be inside such a send (a show-now line, a status refresh) and could never
// end otherwise.
DWORD waitForThread(HANDLE h, DWORD timeoutMs) {
    if (GetCurrentThreadId() != mainThreadId) return WaitForSingleObject(h, timeoutMs);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD left = INFINITE;
        if (timeoutMs != INFINITE) {
            DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) return WAIT_TIMEOUT;
            left = timeoutMs - spent;
        }
        DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, left, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) return r;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

EventHandle eventCreate() {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return h ? reinterpret_cast<EventHandle>(h) : kNoEvent;
}

void eventSet(EventHandle e) {
    if (e != kNoEvent) SetEvent(reinterpret_cast<HANDLE>(e));
}

void useFineTimer() {
    static bool asked = false;
    if (asked) return;
    asked = true;
    timeBeginPeriod(1);
}

int eventWait(EventHandle e, int timeoutMs) {
    if (e == kNoEvent) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    return WaitForSingleObject(reinterpret_cast<HANDLE>(e), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

ThreadHandle threadStart(void (*procedure)(void*), void* argument) {
    Start* s = new (std::nothrow) Start{procedure, argument};
    if (!s) return kNoThread;
    HANDLE h = CreateThread(nullptr, 0, trampoline, s, 0, nullptr);
    if (!h) {
        delete s;
        return kNoThread;
    }
    return reinterpret_cast<ThreadHandle>(h);
}

void threadJoin(ThreadHandle t) {
    if (t == kNoThread) return;
    waitForThread(reinterpret_cast<HANDLE>(t), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(t));
}

int threadJoinTimed(ThreadHandle t, int timeoutMs) {
    if (t == kNoThread) return 1;
    if (waitForThread(reinterpret_cast<HANDLE>(t), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return 0;
    CloseHandle(reinterpret_cast<HANDLE>(t));
    return 1;
}

void markMainThread() { mainThreadId = GetCurrentThreadId(); }

int onMainThread() { return mainThreadId == 0 || GetCurrentThreadId() == mainThreadId; }

int feedLockCreate() {
    // Unnamed: the lock is this process's own, like its feed link.
    feedLock = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    return feedLock != nullptr;
}

int feedLockAcquire(int timeoutMs) {
    return feedLock && WaitForSingleObject(feedLock, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

void feedLockRelease() {
    if (feedLock) ReleaseSemaphore(feedLock, 1, nullptr);
}

void sleepMs(int milliseconds) { Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0); }

std::int64_t calendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t monotonicMs() { return static_cast<std::int64_t>(GetTickCount64()); }

std::int64_t monotonicUs() {
    static const std::int64_t perSecond = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split so that the product cannot overflow in a machine's lifetime.
    std::int64_t c = static_cast<std::int64_t>(now.QuadPart);
    return c / perSecond * 1000000 + c % perSecond * 1000000 / perSecond;
}

void utcNow(UtcTime* out) {
    SYSTEMTIME t;
    GetSystemTime(&t);
    out->year = t.wYear;
    out->month = t.wMonth;
    out->day = t.wDay;
    out->hour = t.wHour;
    out->minute = t.wMinute;
    out->second = t.wSecond;
}

int workingDirectory(char* out, std::size_t capacity) {
    if (!capacity) return 0;
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(capacity), out);
    if (n == 0 || n >= capacity) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int deleteFile(const char* path) { return DeleteFileA(path) != 0; }

int fileSync(std::FILE* file) {
    if (!file || std::fflush(file) != 0) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}

int fileReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void* libraryLoad(const char* name) { return reinterpret_cast<void*>(LoadLibraryA(name)); }

void* librarySymbol(void* library, const char* symbol) {
    if (!library) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}

void libraryFree(void* library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}
