#include "app/platform/SerialQueue.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace glintward
