// A tiny lock for short copies of shared texts (host, name, peer addresses, ring
// slots). Portable: built on std::atomic_flag, so it works with every toolchain we
// use (the mingw-w64 win32 thread model has no std::mutex) and ThreadSanitizer
// understands it. Hold it only around bounded copies; never across a blocking call.
#pragma once

#include <atomic>

#include "platform/platform.h"

class TextLock {
public:
    void lock() {
        int spins = 0;
        while (flag_.test_and_set(std::memory_order_acquire)) {
            if (++spins > 64) sleepMs(0);
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// Holds a TextLock for one scope.
class TextGuard {
public:
    explicit TextGuard(TextLock& l) : lock_(l) { lock_.lock(); }
    ~TextGuard() { lock_.unlock(); }
    TextGuard(const TextGuard&) = delete;
    TextGuard& operator=(const TextGuard&) = delete;

private:
    TextLock& lock_;
};
