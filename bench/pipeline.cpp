// The whole detection loop under load: a fake central pushes advertisements (10 % from glasses) through the real
// scanner and radar model, and the published states are taken on the main thread. Prints the rate the engine
// sustains under a flood (and what the bounded inlet shed meanwhile), then, after the loop has settled, the
// latency from the central's callback to the published state for every state of a paced 50,000 per second.
//
// `bench_pipeline attack [per second, default 2000] [seconds, default 90] [seconds after, default 60]`
// instead plays a transmitter that sends every advertisement under a new address matching by company ID
// (0x058E), with the real prune interval, and prints each second what was shed, how many devices are tracked
// and logged, and the resident memory; then the same for the quiet time after it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

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

// Resident memory of this process, in MB.
double residentMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return 0;
}

// User plus system CPU seconds of this process.
double cpuSeconds() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    unsigned long long utime = 0, stime = 0;
    std::sscanf(text.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Bench {
    glintward::testing::TempDir dir;
    UserDefaults defaults{dir.path() / "defaults.json"};
    AppPreferences preferences{defaults};
    std::shared_ptr<glintward::testing::FakeCentral::Shared> central =
        std::make_shared<glintward::testing::FakeCentral::Shared>();

    RadarModel::Seams seams(std::chrono::milliseconds pruneInterval) {
        RadarModel::Seams seams = bench::quietSeams(central);
        seams.pruneInterval = pruneInterval;
        return seams;
    }
};

void runEventLoop(QCoreApplication& app, int ms) {
    QTimer::singleShot(ms, &app, &QCoreApplication::quit);
    app.exec();
}

int attack(QCoreApplication& app, int rate, int seconds, int after) {
    Bench bench;
    RadarModel model(bench.preferences, bench.seams(std::chrono::milliseconds(5000)));
    model.startScanning();
    while (bench.central->scans == 0 || !model.state().scanning) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    auto* fake = bench.central->central.load();
    runEventLoop(app, 1000);
    const double before = residentMb();
    const double cpuBefore = cpuSeconds();
    std::printf("attack: %d new matching addresses a second for %d s; resident before %.1f MB\n", rate, seconds,
                before);

    std::atomic<bool> done{false};
    std::atomic<long long> sent{0};
    std::thread producer([&] {
        AdvertisementData data;
        data.manufacturerData = std::vector<std::uint8_t>{0x8E, 0x05};
        const auto start = Clock::now();
        const long long total = static_cast<long long>(rate) * seconds;
        for (long long i = 0; i < total; ++i) {
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(1'000'000'000LL * i / rate));
            char address[40];
            std::snprintf(address, sizeof address, "00000000-0000-5000-8000-%012lld", i);
            fake->discover(Peripheral{address, std::nullopt}, data, -60 - static_cast<int>(i % 30));
            sent = i + 1;
        }
        done = true;
    });
    double peak = before;
    const auto report = [&](int second, const char* phase) {
        const double mb = residentMb();
        peak = std::max(peak, mb);
        std::printf("  %s %3d s: sent %lld, shed %llu, tracked %zu, logged %zu, resident %.1f MB (%+.1f)\n", phase,
                    second, sent.load(), static_cast<unsigned long long>(model.shedAdvertisements()),
                    model.state().detections.size(), model.state().sessionLog.size(), mb, mb - before);
        std::fflush(stdout);
    };
    for (int second = 1; !done; ++second) {
        runEventLoop(app, 1000);
        report(second, "attack");
    }
    producer.join();
    const double cpu = cpuSeconds() - cpuBefore;
    const double atEnd = residentMb();
    for (int second = 1; second <= after; ++second) {
        runEventLoop(app, 1000);
        if (second % 5 == 0 || second == after) report(second, "after ");
    }
    const double last = residentMb();
    std::printf("attack: %lld sent, %llu shed; cpu %.1f s over the attack (%.1f %% of one core); resident %.1f MB "
                "before, %.1f MB at the end (%+.1f), peak %.1f MB (%+.1f), %.1f MB %d s after (%+.1f)\n",
                sent.load(), static_cast<unsigned long long>(model.shedAdvertisements()), cpu,
                100.0 * cpu / seconds, before, atEnd, atEnd - before, peak, peak - before, last, after,
                last - before);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "attack") {
        RadarLog::replaceSystemLog(nullptr);  // the log lines are not what is measured
        return attack(app, argc > 2 ? std::atoi(argv[2]) : 2000, argc > 3 ? std::atoi(argv[3]) : 90,
                      argc > 4 ? std::atoi(argv[4]) : 60);
    }
    RadarLog::replaceSystemLog(nullptr);  // the log lines are not what is measured
    Bench bench;
    auto& central = bench.central;
    RadarModel model(bench.preferences, bench.seams(std::chrono::hours(1)));

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
