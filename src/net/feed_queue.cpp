// The feed link's outbound queue: a fixed ring with whole-unit appends.
#include "net/feed_queue.h"

#include "core/app_state.h"

int feedQueuePut(const unsigned char* data, int count) {
    FeedQueue& q = app.feedQueue;
    if (count <= 0) return 1;
    if (q.overflow.load()) return 0;
    std::uint64_t tail = q.tail.load(std::memory_order_relaxed);
    std::uint64_t used = tail - q.head.load(std::memory_order_acquire);
    if (static_cast<std::uint64_t>(count) > kFeedQueueSize - used) {
        // Full: the feed server has not taken a queue's worth of data.
        q.overflow.store(1);
        eventSet(q.wake);
        return 0;
    }
    ringCopyIn(q.bytes, kFeedQueueSize, tail, data, static_cast<std::size_t>(count));
    q.tail.store(tail + static_cast<std::uint64_t>(count), std::memory_order_release);
    eventSet(q.wake);
    return 1;
}

int feedQueuePeek(const unsigned char** data) {
    FeedQueue& q = app.feedQueue;
    std::uint64_t head = q.head.load(std::memory_order_relaxed);
    std::uint64_t waiting = q.tail.load(std::memory_order_acquire) - head;
    std::size_t at = static_cast<std::size_t>(head % kFeedQueueSize);
    std::uint64_t together = kFeedQueueSize - at;
    if (waiting < together) together = waiting;
    *data = q.bytes + at;
    return static_cast<int>(together);
}

void feedQueueTake(int count) {
    if (count > 0) app.feedQueue.head.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_release);
}

void feedQueueDiscard() {
    FeedQueue& q = app.feedQueue;
    q.head.store(q.tail.load());
    q.overflow.store(0);
}

std::uint64_t feedQueueWaiting() {
    const FeedQueue& q = app.feedQueue;
    return q.tail.load() - q.head.load();
}
