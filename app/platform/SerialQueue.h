#pragma once
// A named worker thread that runs queued work one item at a time, in the order it was queued. Each item is
// destroyed right after it has run, before the next one starts.

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
    // Queues the work. The worker is woken only when it sleeps with nothing queued, and it runs everything
    // queued before it sleeps again, so work queued in a burst costs one wake-up.
    void async(std::function<void()> work);
    // Waits until the work has run; runs it at once when called from the queue itself.
    void sync(const std::function<void()>& work);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

    // While one exists on a thread, the wake-ups that thread's async() calls owe are held back until the last
    // one ends (or the thread calls sync()), so a burst queued item by item wakes each worker once, after the
    // whole burst. Work in its scope must not queue work and then wait for it by any means but sync(). Every
    // queue given work in its scope must outlive it.
    class WakeBatch {
    public:
        WakeBatch();
        ~WakeBatch();
        WakeBatch(const WakeBatch&) = delete;
        WakeBatch& operator=(const WakeBatch&) = delete;
    };

private:
    void run();
    void wake();
    static void wakeHeldBack();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool waiting_ = false;  // the worker sleeps in wake_.wait()
    bool woken_ = false;    // and has been told to get up
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace glintward
