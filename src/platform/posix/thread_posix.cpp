// pthreads, the feed lock as a process-wide timed mutex, clocks, files, libraries.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace {

struct Start {
    void (*procedure)(void*);
    void* argument;
};

void* trampoline(void* p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.procedure(s.argument);
    return nullptr;
}

std::atomic<bool> mainMarked{false};
pthread_t mainThread;
// A binary semaphore, as on Windows: taken by a compare-and-swap, released by a store.
// The waiter polls every millisecond; the lock is held only around one feed send.
std::atomic<int> feedLockFree{1};

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};

}  // namespace

EventHandle eventCreate() {
    Event* e = new (std::nothrow) Event;
    return reinterpret_cast<EventHandle>(e);
}

void eventSet(EventHandle h) {
    Event* e = reinterpret_cast<Event*>(h);
    if (!e) return;
    {
        std::lock_guard<std::mutex> g(e->mutex);
        e->set = true;
    }
    e->changed.notify_one();
}

int eventWait(EventHandle h, int timeoutMs) {
    Event* e = reinterpret_cast<Event*>(h);
    if (!e) {
        sleepMs(timeoutMs);
        return 0;
    }
    std::unique_lock<std::mutex> g(e->mutex);
    if (!e->changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [e] { return e->set; })) return 0;
    e->set = false;
    return 1;
}

ThreadHandle threadStart(void (*procedure)(void*), void* argument) {
    Start* s = new (std::nothrow) Start{procedure, argument};
    if (!s) return kNoThread;
    pthread_t t;
    if (pthread_create(&t, nullptr, trampoline, s) != 0) {
        delete s;
        return kNoThread;
    }
    return static_cast<ThreadHandle>(t);
}

void threadJoin(ThreadHandle t) {
    if (t != kNoThread) pthread_join(static_cast<pthread_t>(t), nullptr);
}

int threadJoinTimed(ThreadHandle t, int timeoutMs) {
    if (t == kNoThread) return 1;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeoutMs / 1000;
    until.tv_nsec += (timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(static_cast<pthread_t>(t), nullptr, &until) == 0;
}

void markMainThread() {
    mainThread = pthread_self();
    mainMarked.store(true);
}

int onMainThread() { return !mainMarked.load() || pthread_equal(mainThread, pthread_self()); }

int feedLockCreate() { return 1; }

int feedLockAcquire(int timeoutMs) {
    std::int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int expected = 1;
        if (feedLockFree.compare_exchange_strong(expected, 0, std::memory_order_acquire)) return 1;
        if (monotonicMs() >= deadline) return 0;
        sleepMs(1);
    }
}

void feedLockRelease() { feedLockFree.store(1, std::memory_order_release); }

void useFineTimer() {}

void sleepMs(int milliseconds) {
    if (milliseconds <= 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::int64_t calendarSeconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::int64_t monotonicMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::int64_t monotonicUs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void utcNow(UtcTime* out) {
    time_t now = ::time(nullptr);
    tm parts;
    gmtime_r(&now, &parts);
    out->year = parts.tm_year + 1900;
    out->month = parts.tm_mon + 1;
    out->day = parts.tm_mday;
    out->hour = parts.tm_hour;
    out->minute = parts.tm_min;
    out->second = parts.tm_sec;
}

int workingDirectory(char* out, std::size_t capacity) {
    if (!capacity) return 0;
    if (!::getcwd(out, capacity)) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int deleteFile(const char* path) { return ::unlink(path) == 0; }

int fileSync(std::FILE* file) { return file && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

int fileReplace(const char* from, const char* to) { return std::rename(from, to) == 0; }

void* libraryLoad(const char* name) {
    // The Windows program loads zlib1.dll; natively the same step loads the system
    // zlib, and any other name is looked up as it is (so a test can name one that
    // does not exist).
    if (std::strcmp(name, "zlib1.dll") == 0) name = "libz.so.1";
    return ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* librarySymbol(void* library, const char* symbol) { return library ? ::dlsym(library, symbol) : nullptr; }

void libraryFree(void* library) {
    if (library) ::dlclose(library);
}
