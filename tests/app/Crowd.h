#pragma once
// The matching advertisements of two kinds of traffic, in time order, with simulated times: a busy room (400
// devices at 300 advertisements a second in all, 4 of them glasses, each device taking a new address every 2 to
// 5 minutes) and a transmitter that sends a matching advertisement under a new address every time.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace glintward::testing {

// Calls each(atMs, address) for every advertisement of the room's glasses in [0, durationMs).
template <class Each>
void crowdMatches(std::int64_t durationMs, std::uint32_t seed, Each&& each) {
    constexpr int GLASSES = 4;
    constexpr double PER_DEVICE_PER_S = 300.0 / 400.0;
    std::mt19937 random(seed);
    std::exponential_distribution<double> gapMs(PER_DEVICE_PER_S / 1000.0);
    std::uniform_int_distribution<std::int64_t> rotationMs(120'000, 300'000);
    struct Device {
        double nextAdMs;
        std::int64_t nextRotationMs;
        int generation;
    };
    std::vector<Device> devices;
    for (int d = 0; d < GLASSES; ++d) {
        // Each starts somewhere in its address's life, as a room heard from a random moment does.
        devices.push_back({gapMs(random), rotationMs(random) * (d + 1) / (GLASSES + 1), 0});
    }
    for (;;) {
        Device* next = &devices[0];
        for (auto& device : devices) {
            if (device.nextAdMs < next->nextAdMs) next = &device;
        }
        const auto at = static_cast<std::int64_t>(next->nextAdMs);
        if (at >= durationMs) return;
        if (at >= next->nextRotationMs) {
            ++next->generation;
            next->nextRotationMs = at + rotationMs(random);
        }
        const int index = static_cast<int>(next - devices.data());
        each(at, "glasses-" + std::to_string(index) + "-" + std::to_string(next->generation));
        next->nextAdMs += gapMs(random);
    }
}

// Calls each(atMs, address) perSecond times a second in [0, durationMs), each time under a new address.
template <class Each>
void rotatingMatches(std::int64_t durationMs, int perSecond, Each&& each) {
    const std::int64_t total = durationMs * perSecond / 1000;
    for (std::int64_t n = 0; n < total; ++n) each(n * 1000 / perSecond, "rotating-" + std::to_string(n));
}

}  // namespace glintward::testing
