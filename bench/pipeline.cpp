// The whole detection loop under load: a fake central pushes advertisements (10 % from glasses) through the real
// scanner and radar model, and the published states are taken on the main thread. Prints the sustained rate of a
// flood, and the latency from the central's callback to the published state at a paced 50,000 per second.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "app/AppPreferences.h"
#include "app/RadarLog.h"
#include "app/RadarModel.h"
#include "tests/app/FakeCentral.h"
#include "tests/platform/TempDir.h"

using namespace glintward;
using Clock = std::chrono::steady_clock;

namespace {

class NoHaptics : public HapticPerformer {
    void perform() override {}
};
class NoWorkspace : public Workspace {
    void openBluetoothSettings() override {}
};
class NotModified : public HttpTransport {
    HttpResponse get(const std::string&, const HttpHeaders&) override { return {304, std::nullopt, {}}; }
    HttpResponse postJson(const std::string&, const std::string&) override { return {404, std::nullopt, {}}; }
};

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
    RadarModel::Seams seams;
    seams.makeCentral = glintward::testing::FakeCentral::factory(central);
    seams.haptics = std::make_shared<NoHaptics>();
    seams.workspace = std::make_shared<NoWorkspace>();
    seams.makeTransport = [] { return std::make_shared<NotModified>(); };
    seams.pruneInterval = std::chrono::hours(1);
    RadarModel model(preferences, std::move(seams));

    // Each matching advertisement publishes exactly once, so the n-th state after the start is the n-th match.
    constexpr int FLOOD = 300000;
    constexpr int PACED = 100000;
    constexpr int RATE = 50000;
    const Feed feed = makeFeed(FLOOD);
    std::vector<Clock::time_point> sentAt;
    sentAt.reserve(FLOOD / 10 + PACED / 10 + 16);
    std::vector<double> latencyMs;
    std::atomic<int> expected{-1};
    int published = 0;
    int baseline = 0;
    bool pacedPhase = false;
    Clock::time_point lastPublish;
    std::mutex sentMutex;

    QObject::connect(&model, &RadarModel::stateChanged, [&] {
        const auto now = Clock::now();
        const int n = published++ - baseline;
        if (pacedPhase && n >= 0) {
            std::lock_guard lock(sentMutex);
            if (n < static_cast<int>(sentAt.size())) {
                latencyMs.push_back(std::chrono::duration<double, std::milli>(now - sentAt[n]).count());
            }
        }
        lastPublish = now;
        if (published - baseline == expected.load()) app.quit();
    });

    model.startScanning();
    while (central->scans == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    auto* fake = central->central.load();

    auto run = [&](int count, int rate) {
        int matches = 0;
        for (int i = 0; i < count; ++i) matches += feed.matching[static_cast<std::size_t>(i)];
        {
            std::lock_guard lock(sentMutex);
            sentAt.clear();
        }
        baseline = published;
        expected = matches;
        const auto start = Clock::now();
        std::thread producer([&] {
            for (int i = 0; i < count; ++i) {
                if (rate > 0) {
                    const auto due = start + std::chrono::nanoseconds(1'000'000'000LL * i / rate);
                    while (Clock::now() < due) {
                    }
                }
                const auto& [peripheral, data] = feed.ads[static_cast<std::size_t>(i)];
                if (feed.matching[static_cast<std::size_t>(i)]) {
                    std::lock_guard lock(sentMutex);
                    sentAt.push_back(Clock::now());
                }
                fake->discover(peripheral, data, -55);
            }
        });
        app.exec();
        producer.join();
        return std::chrono::duration<double>(lastPublish - start).count();
    };

    const double floodSeconds = run(FLOOD, 0);
    std::printf("flood: %d advertisements (10 %% matching) in %.3f s: %.0f advertisements per second\n", FLOOD,
                floodSeconds, FLOOD / floodSeconds);
    pacedPhase = true;
    const double pacedSeconds = run(PACED, RATE);
    std::printf("paced at %d per second: %d advertisements in %.3f s; callback to published state: p50 %.3f ms, "
                "p99 %.3f ms, max %.3f ms over %zu states\n",
                RATE, PACED, pacedSeconds, percentile(latencyMs, 0.5), percentile(latencyMs, 0.99),
                percentile(latencyMs, 1.0), latencyMs.size());
    return 0;
}
