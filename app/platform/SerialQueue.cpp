#include "app/platform/SerialQueue.h"

#include <pthread.h>

#include <future>

namespace glintward {

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
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    async([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

void SerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
        if (work_.empty()) return;  // stopping, and the backlog has run
        // Take the whole backlog at once: one lock per batch instead of one per item.
        std::deque<std::function<void()>> batch;
        batch.swap(work_);
        lock.unlock();
        for (auto& item : batch) item();
        lock.lock();
    }
}

}  // namespace glintward
