#include "app/platform/CentralSupport.h"

#include <gtest/gtest.h>

#include <future>

#include "app/platform/SerialQueue.h"
#include "tests/platform/CentralTestSupport.h"

namespace glintward {
namespace {

using namespace testing_support;

TEST(CallbackGate, WhatWasGatheredForOneScanNeverReachesTheNext) {
    SerialQueue queue("glintward.ble");
    RecordingDelegate delegate(queue);
    central::CallbackGate gate(delegate, queue);
    const auto discoveries = [](std::int32_t rssi) {
        return std::vector<central::Discovery>{{{"ID", std::nullopt}, {}, rssi}};
    };
    // Everything below queues up behind this, as it does behind a slow delegate.
    std::promise<void> release;
    queue.async([held = release.get_future().share()] { held.wait(); });

    const std::uint64_t first = gate.scanStarted(true);
    EXPECT_EQ(gate.scanStarted(true), first);  // asked for again while it runs: the same scan
    gate.reportDiscoveries(first, discoveries(-1));
    gate.scanStopped();
    const std::uint64_t second = gate.scanStarted(true);
    EXPECT_NE(second, first);
    int afterwards = 0;
    gate.reportDiscoveries(first, discoveries(-2), [&] { ++afterwards; });  // handed over late
    gate.reportDiscoveries(second, discoveries(-3), [&] { ++afterwards; });
    release.set_value();
    queue.sync([] {});

    const auto delivered = delegate.discoveries();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].rssi, -3);
    EXPECT_EQ(afterwards, 2);  // a batch dropped still says it is done, so its producer is not held up
    gate.close();
    EXPECT_EQ(delegate.faults(), 0);
}

}  // namespace
}  // namespace glintward
