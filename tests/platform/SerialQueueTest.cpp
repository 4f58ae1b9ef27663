#include "app/platform/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pthread.h>

namespace glintward {
namespace {

TEST(SerialQueue, RunsWorkInOrderOnItsOwnNamedThread) {
    std::vector<int> order;
    std::atomic<int> offQueue{0};
    {
        SerialQueue queue("glintward.test");
        EXPECT_FALSE(queue.isCurrent());
        for (int i = 0; i < 1000; ++i) {
            queue.async([&, i] {
                if (!queue.isCurrent()) ++offQueue;
                order.push_back(i);
            });
        }
        std::string name;
        queue.sync([&] {
            char buf[16];
            pthread_getname_np(pthread_self(), buf, sizeof buf);
            name = buf;
        });
        EXPECT_EQ(name, "glintward.test");
        queue.sync([&] { queue.sync([&] { order.push_back(-1); }); });  // nested sync runs inline
        for (int i = 0; i < 10; ++i) queue.async([&] { order.push_back(1000); });
    }  // the destructor runs the backlog first
    ASSERT_EQ(order.size(), 1011u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(order[1000], -1);
    EXPECT_EQ(offQueue, 0);
}

TEST(SerialQueue, WorkFromManyThreadsNeverOverlaps) {
    SerialQueue queue("glintward.test");
    int inside = 0, maxInside = 0, total = 0;
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                queue.async([&] {
                    maxInside = std::max(maxInside, ++inside);
                    ++total;
                    --inside;
                });
            }
        });
    }
    for (auto& t : producers) t.join();
    queue.sync([] {});
    EXPECT_EQ(total, 2000);
    EXPECT_EQ(maxInside, 1);
}

// Work queued in a wake batch runs once the batch ends, in order, with nothing else queued to wake the
// worker; a sync() inside the batch neither waits for the batch to end nor overtakes what the batch queued
// before it.
TEST(SerialQueue, WorkQueuedInAWakeBatchRunsInOrderAndSyncInsideItDoesNotWait) {
    SerialQueue queue("glintward.test");
    std::vector<int> order;  // written on the queue only
    std::atomic<int> count{0};
    std::promise<void> synced;
    std::thread producer([&] {
        SerialQueue::WakeBatch batch;
        const auto record = [&](int value) {
            return [&, value] {
                order.push_back(value);
                ++count;
            };
        };
        for (int i = 0; i < 100; ++i) queue.async(record(i));
        {
            SerialQueue::WakeBatch nested;
            queue.async(record(100));
        }
        queue.sync(record(-1));
        synced.set_value();
        queue.async(record(101));
    });
    const bool syncReturned =
        synced.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!syncReturned) queue.async([] {});  // wakes the worker, so the producer can end
    producer.join();
    EXPECT_TRUE(syncReturned) << "sync() inside a wake batch waited for the batch";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count < 103 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(count, 103) << "work queued in the batch still waits after it ended";
    queue.sync([] {});
    for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(order[101], -1);
    EXPECT_EQ(order[102], 101);
}

// A batch holds back only its own thread's wake-ups: work another thread queues meanwhile runs at once, and
// with it what the batch queued before.
TEST(SerialQueue, AWakeBatchNeverHoldsBackAnotherThreadsWork) {
    SerialQueue queue("glintward.test");
    std::promise<void> batchQueued, otherRan;
    std::atomic<int> ran{0};
    std::thread producer([&] {
        SerialQueue::WakeBatch batch;
        queue.async([&] { ++ran; });
        batchQueued.set_value();
        // Keeps the batch open until the other thread's work has run (or the test has given up on it).
        otherRan.get_future().wait_for(std::chrono::seconds(10));
    });
    batchQueued.get_future().wait();
    std::promise<int> seen;
    queue.async([&] { seen.set_value(ran.load()); });
    auto result = seen.get_future();
    const bool prompt = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    otherRan.set_value();
    producer.join();
    ASSERT_TRUE(prompt) << "work from another thread waited for the batch to end";
    EXPECT_EQ(result.get(), 1);
}

// What an item captured is released as soon as it has run, before the next item runs, and releasing it holds
// nobody back: another thread can queue work while a finished item's captures are still being destroyed.
TEST(SerialQueue, AFinishedItemIsReleasedAtOnceWithoutHoldingBackProducers) {
    struct Capture {
        std::function<void()> onRelease;
        ~Capture() { onRelease(); }
    };
    std::vector<std::string> events;  // written on the queue only
    std::promise<void> firstReleasing, otherQueued;
    bool queuedWhileReleasing = false;
    {
        SerialQueue queue("glintward.test");
        for (int i = 0; i < 3; ++i) {
            auto capture = std::make_shared<Capture>();
            capture->onRelease = [&, i] {
                events.push_back("released " + std::to_string(i));
                if (i != 0) return;
                firstReleasing.set_value();
                queuedWhileReleasing =
                    otherQueued.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            };
            // The queue holds the only reference, so the release happens on the queue.
            queue.async([&, i, capture = std::move(capture)] { events.push_back("ran " + std::to_string(i)); });
        }
        firstReleasing.get_future().wait();
        queue.async([&] { events.push_back("queued meanwhile"); });
        otherQueued.set_value();
    }
    EXPECT_TRUE(queuedWhileReleasing) << "queueing work waited for a finished item to be released";
    const std::vector<std::string> expected = {"ran 0", "released 0", "ran 1",           "released 1",
                                               "ran 2", "released 2", "queued meanwhile"};
    EXPECT_EQ(events, expected);
}

// Producers with and without batches, racing a worker that keeps falling asleep: no work is ever left
// waiting.
TEST(SerialQueue, NoWorkIsLeftWaitingWhateverTheProducersInterleaving) {
    SerialQueue queue("glintward.test");
    std::atomic<int> total{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int burst = 0; burst < 200; ++burst) {
                std::optional<SerialQueue::WakeBatch> batch;
                if ((p + burst) % 2 == 0) batch.emplace();
                for (int i = 0; i < 1 + burst % 5; ++i) queue.async([&] { ++total; });
                if (burst % 50 == 0) std::this_thread::yield();
            }
        });
    }
    for (auto& t : producers) t.join();
    std::promise<void> drained;
    queue.async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    int expected = 0;
    for (int burst = 0; burst < 200; ++burst) expected += 1 + burst % 5;
    EXPECT_EQ(total, 4 * expected);
}

}  // namespace
}  // namespace glintward
