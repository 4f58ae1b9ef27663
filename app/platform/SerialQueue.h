#pragma once
// A named worker thread that runs queued work one item at a time, in the order it was queued.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace glintward {

class SerialQueue {
public:
    // The label is the thread's name (the system keeps its first 15 characters).
    explicit SerialQueue(std::string label);
    // Runs everything already queued, then ends the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> work);
    // Waits until the work has run; runs it at once when called from the queue itself.
    void sync(const std::function<void()>& work);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace glintward
