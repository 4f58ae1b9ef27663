// The whole detection loop under load: a fake central pushes advertisements (10 % from glasses) through the real
// scanner and radar model, and the published states are taken on the main thread. Prints the rate the engine
// sustains under a flood (and what the bounded inlet shed meanwhile), then, after the loop has settled, the
// latency from the central's callback to the published state for every state of a paced 50,000 per second.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "app/AppPreferences.h"
#include "app/RadarLog.h"
#include "app/RadarModel.h"
#include "bench/QuietSeams.h"
#include "tests/app/FakeCentral.h"
#include "tests/platform/TempDir.h"

using namespace glintward;
using Clock = std::chrono::steady_clock;

namespace {

struct Feed {
    std::vector<std::pair<Peripheral, AdvertisementData>> ads;
    std::vector<bool> matching;
};

Feed makeFeed(int count) {
    Feed feed;
    for (int i = 0; i < count; ++i) {
        char address[40];
        const bool glasses = i % 10 == 0;
        std::snprintf(address, sizeof address, "00000000-0000-5000-8000-%012d", glasses ? i % 500 : 1000 + i % 4500);
        AdvertisementData data;
        data.localName = glasses ? "Ray-Ban Meta" : "Galaxy S23";
        data.manufacturerData = glasses ? std::vector<std::uint8_t>{0x8E, 0x05} : std::vector<std::uint8_t>{0x75, 0x00};
        feed.ads.push_back({Peripheral{address, std::nullopt}, std::move(data)});
        feed.matching.push_back(glasses);
    }
    return feed;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    glintward::testing::TempDir dir;
    RadarLog::replaceSystemLog(nullptr);  // the log lines are not what is measured
    UserDefaults defaults(dir.path() / "defaults.json");
    AppPreferences preferences(defaults);
    auto central = std::make_shared<glintward::testing::FakeCentral::Shared>();
    RadarModel::Seams seams = bench::quietSeams(central);
    seams.pruneInterval = std::chrono::hours(1);
    RadarModel model(preferences, std::move(seams));

    constexpr int FLOOD = 300000;
    constexpr int PACED = 100000;
    constexpr int RATE = 50000;
    const Feed feed = makeFeed(FLOOD);
    const char* const MARKER = "00000000-0000-5000-8000-999999999999";  // a glasses address of its own

    // Runs the event loop until the condition, asked at each published state, holds.
    std::function<bool()> until;
    QObject::connect(&model, &RadarModel::stateChanged, [&] {
        if (until && until()) app.quit();
    });
    const auto runUntil = [&](std::function<bool()> condition) {
        until = std::move(condition);
        app.exec();
        until = nullptr;
    };
    const auto settle = [&](int ms) {
        QTimer::singleShot(ms, &app, &QCoreApplication::quit);
        app.exec();
    };

    model.startScanning();
    runUntil([&] { return model.state().scanning; });  // start's own publish, which is no flood state
    while (central->scans == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    auto* fake = central->central.load();
    settle(200);

    // Flood: everything at once, then a marker; being the newest, it is never shed, and once its state is
    // published everything before it has been handled or shed.
    {
        const std::uint64_t shedBefore = model.shedAdvertisements();
        const auto start = Clock::now();
        std::thread producer([&] {
            for (int i = 0; i < FLOOD; ++i) {
                const auto& [peripheral, data] = feed.ads[static_cast<std::size_t>(i)];
                fake->discover(peripheral, data, -55);
            }
            fake->discover(Peripheral{MARKER, std::nullopt}, feed.ads[0].second, -55);
        });
        runUntil([&] {
            const auto& detections = model.state().detections;
            return std::any_of(detections.begin(), detections.end(),
                               [&](const Detection& d) { return d.address == MARKER; });
        });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        producer.join();
        const std::uint64_t shed = model.shedAdvertisements() - shedBefore;
        const double handled = static_cast<double>(FLOOD + 1) - static_cast<double>(shed);
        std::printf("flood: %d advertisements (10 %% matching) at once: %.0f handled in %.3f s, %.0f per second; "
                    "%llu shed by the bounded inlet\n",
                    FLOOD, handled, seconds, handled / seconds, static_cast<unsigned long long>(shed));
    }
    settle(500);

    // Paced: each matching advertisement publishes exactly once and none is shed (checked below), so the n-th
    // state of the phase is the n-th matching send.
    std::vector<Clock::time_point> sentAt;
    sentAt.reserve(PACED / 10 + 16);
    std::mutex sentMutex;
    std::vector<double> latencyMs;
    int states = 0;
    int expected = 0;
    for (int i = 0; i < PACED; ++i) expected += feed.matching[static_cast<std::size_t>(i)];
    const std::uint64_t shedBefore = model.shedAdvertisements();
    const auto start = Clock::now();
    std::thread producer([&] {
        for (int i = 0; i < PACED; ++i) {
            const auto due = start + std::chrono::nanoseconds(1'000'000'000LL * i / RATE);
            while (Clock::now() < due) {
            }
            const auto& [peripheral, data] = feed.ads[static_cast<std::size_t>(i)];
            if (feed.matching[static_cast<std::size_t>(i)]) {
                std::lock_guard lock(sentMutex);
                sentAt.push_back(Clock::now());
            }
            fake->discover(peripheral, data, -55);
        }
    });
    runUntil([&] {
        const auto now = Clock::now();
        {
            std::lock_guard lock(sentMutex);
            if (states < static_cast<int>(sentAt.size())) {
                latencyMs.push_back(std::chrono::duration<double, std::milli>(now - sentAt[static_cast<std::size_t>(states)]).count());
            }
        }
        return ++states == expected;
    });
    const double pacedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    producer.join();
    const std::uint64_t shed = model.shedAdvertisements() - shedBefore;
    std::printf("paced at %d per second: %d advertisements in %.3f s; callback to published state: p50 %.3f ms, "
                "p99 %.3f ms, max %.3f ms over %zu of %d states%s\n",
                RATE, PACED, pacedSeconds, percentile(latencyMs, 0.5), percentile(latencyMs, 0.99),
                percentile(latencyMs, 1.0), latencyMs.size(), expected,
                shed ? " (advertisements were shed: the figures are not valid)" : "");
    return 0;
}
