#include "app/platform/SerialQueue.h"

#include <pthread.h>

#include <algorithm>
#include <future>
#include <memory>
#include <utility>
#include <vector>

namespace glintward {

namespace {
// This thread's open wake batches, and the queues whose wake-up they hold back.
struct HeldWakeUps {
    int depth = 0;
    std::vector<SerialQueue*> queues;
};
thread_local HeldWakeUps held;
}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
    bool wakeNow = false;
    bool holdBack = false;
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
        // Only a worker asleep with nothing queued needs waking; one already told to get up finds this too.
        if (waiting_ && !woken_) {
            holdBack = held.depth > 0;
            wakeNow = !holdBack;
            woken_ = wakeNow;
        }
    }
    if (wakeNow) wake_.notify_one();
    if (holdBack && std::find(held.queues.begin(), held.queues.end(), this) == held.queues.end()) {
        held.queues.push_back(this);
    }
}

void SerialQueue::wake() {
    {
        std::lock_guard lock(mutex_);
        if (!waiting_ || woken_) return;
        woken_ = true;
    }
    wake_.notify_one();
}

void SerialQueue::wakeHeldBack() {
    for (SerialQueue* queue : std::exchange(held.queues, {})) queue->wake();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    // The promise belongs to the queued work, not to this frame: set_value may still be finishing on the
    // worker when the wait below returns, and this frame may then be gone.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    async([&work, done] {
        work();
        done->set_value();
    });
    // Nothing this thread queued, this work included, may wait behind a wake-up held back while it waits.
    wakeHeldBack();
    finished.wait();
}

SerialQueue::WakeBatch::WakeBatch() {
    ++held.depth;
}

SerialQueue::WakeBatch::~WakeBatch() {
    if (--held.depth == 0) wakeHeldBack();
}

void SerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::deque<std::function<void()>> batch;  // reused, so taking a backlog allocates nothing under the lock
    std::unique_lock lock(mutex_);
    for (;;) {
        while (work_.empty() && !stopping_) {
            waiting_ = true;
            wake_.wait(lock);
            waiting_ = false;
            woken_ = false;
        }
        if (work_.empty()) return;  // stopping, and the backlog has run
        // Take the whole backlog at once: one lock per batch instead of one per item.
        batch.swap(work_);
        lock.unlock();
        // Each item goes as soon as it has run: what it captured is released at once, and freeing a long
        // backlog is spread over the run instead of happening in one piece while producers wait for the lock.
        while (!batch.empty()) {
            batch.front()();
            batch.pop_front();
        }
        lock.lock();
    }
}

}  // namespace glintward
