// How long the BlueZ central takes, with the application's timing, to hold a discovery session again against
// the tests' BlueZ look-alike on a private bus: after bluetoothd ends discovery with the adapter on (the first
// drop after a start, and one that follows soon after another), and from a start whose first attempt fails
// (Failed, NotReady, lost on its way), with a start that succeeds at once for comparison; and how long a start
// that keeps failing takes to be reported as resetting. Each figure is from the event to the moment the
// look-alike holds the session again, polled every millisecond or so; a sample gives up after a time limit.
// Each event comes 200 ms after the bus traffic before it, as in use.
//
//     bench_bluez_recovery [samples per case, 5] [time limit in seconds, 20]

#include <QCoreApplication>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/platform/BluezCentral.h"
#include "app/platform/SerialQueue.h"
#include "tests/platform/CentralTestSupport.h"

namespace glintward {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::BluezMock;
using testing_support::PrivateBus;
using testing_support::RecordingDelegate;

const QString HCI0 = QStringLiteral("hci0");

std::chrono::seconds limit{20};

// Milliseconds from `from` until `done` holds, or nothing within the limit.
std::optional<double> msUntil(Clock::time_point from, const std::function<bool()>& done) {
    while (!done()) {
        if (Clock::now() - from > limit) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void report(const char* what, const std::vector<std::optional<double>>& samples) {
    std::vector<double> got;
    for (const auto& sample : samples) {
        if (sample) got.push_back(*sample);
    }
    std::printf("%-52s", what);
    if (got.empty()) {
        std::printf("no session within %lld s (%zu samples)\n", static_cast<long long>(limit.count()),
                    samples.size());
        return;
    }
    std::sort(got.begin(), got.end());
    std::printf("median %8.1f ms  min %8.1f  max %8.1f  (%zu of %zu recovered)\n", got[got.size() / 2],
                got.front(), got.back(), got.size(), samples.size());
}

struct Rig {
    PrivateBus bus;
    BluezMock mock{bus};
    SerialQueue queue{"glintward.ble"};
    RecordingDelegate delegate{queue};
    std::unique_ptr<BluezCentral> central;

    Rig() {
        mock.addAdapter(HCI0);
        central = std::make_unique<BluezCentral>(delegate, queue, bus.address().toStdString(), "org.bluez",
                                                 [](std::string) {});
        if (!delegate.waitForState(CentralState::POWERED_ON)) std::exit(1);
    }
    ~Rig() { delegate.finish(central); }

    bool held() { return mock.discoverySessions(HCI0).size() == 1; }
    bool none() { return mock.discoverySessions(HCI0).isEmpty() && mock.startsUnanswered(HCI0).isEmpty(); }

    // A fresh start with the session held; false when none came.
    bool startAndHold() {
        central->stopScan();
        if (!msUntil(Clock::now(), [&] { return none(); })) return false;
        central->scanForPeripherals(true);
        return msUntil(Clock::now(), [&] { return held(); }).has_value();
    }
};

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    using namespace glintward;
    QCoreApplication app(argc, argv);
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (argc > 2) limit = std::chrono::seconds(std::max(1, std::atoi(argv[2])));
    Rig rig;

    std::vector<std::optional<double>> firstDrop, againSoon;
    for (int i = 0; i < samples; ++i) {
        if (!rig.startAndHold()) {
            firstDrop.push_back(std::nullopt);
            continue;
        }
        // A drop right on the heels of bus traffic would wait out the central's gathering spell (50 ms) first.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto from = Clock::now();
        rig.mock.dropDiscovery(HCI0);
        firstDrop.push_back(msUntil(from, [&] { return rig.held(); }));
        if (!firstDrop.back()) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        from = Clock::now();
        rig.mock.dropDiscovery(HCI0);
        againSoon.push_back(msUntil(from, [&] { return rig.held(); }));
    }
    report("drop, the first after a start", firstDrop);
    report("drop, again soon after the first", againSoon);

    struct Case {
        const char* what;
        const char* method;
        const char* how;
    };
    const Case cases[] = {
        {"start, succeeding at once", "StartDiscovery", ""},
        {"start, first StartDiscovery answered Failed", "StartDiscovery", "Failed"},
        {"start, first StartDiscovery answered NotReady", "StartDiscovery", "NotReady"},
        {"start, first SetDiscoveryFilter answered NotReady", "SetDiscoveryFilter", "NotReady"},
        {"start, first StartDiscovery lost (never answered)", "StartDiscovery", "lost"},
    };
    for (const Case& c : cases) {
        std::vector<std::optional<double>> times;
        for (int i = 0; i < samples; ++i) {
            rig.central->stopScan();
            if (!msUntil(Clock::now(), [&] { return rig.none(); })) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (*c.how) rig.mock.misbehave(HCI0, c.method, c.how, 1);
            const auto from = Clock::now();
            rig.central->scanForPeripherals(true);
            times.push_back(msUntil(from, [&] { return rig.held(); }));
            rig.mock.misbehave(HCI0, c.method, QString());
        }
        report(c.what, times);
    }

    // Starts that keep failing: when the owner is told.
    std::vector<std::optional<double>> resetting;
    for (int i = 0; i < samples; ++i) {
        rig.central->stopScan();
        if (!rig.delegate.waitForState(CentralState::POWERED_ON)) break;
        if (!msUntil(Clock::now(), [&] { return rig.none(); })) break;
        rig.mock.misbehave(HCI0, QStringLiteral("StartDiscovery"), QStringLiteral("Failed"));
        const auto from = Clock::now();
        rig.central->scanForPeripherals(true);
        resetting.push_back(msUntil(from, [&] { return rig.central->state() == CentralState::RESETTING; }));
        rig.mock.misbehave(HCI0, QStringLiteral("StartDiscovery"), QString());
        msUntil(Clock::now(), [&] { return rig.held(); });
    }
    std::printf("%-52s", "start failing every time: resetting reported after");
    if (!resetting.empty() && resetting.front()) {
        std::printf("%8.1f ms (first sample)\n", *resetting.front());
    } else {
        std::printf("never within %lld s\n", static_cast<long long>(limit.count()));
    }
    return 0;
}
