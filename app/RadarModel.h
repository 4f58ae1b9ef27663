#pragma once
// The host's observable model and the driver of the detection loop: owns the scanner, the engine, the alert gate,
// the engine queue and the prune timer, runs the catalogue sync once per run, publishes the radar state, gives the
// haptic alert and keeps the muted devices.
//
// Threads: every public member and every change of the three published values on the main thread; the engine,
// the alert gate and the addresses heard so far only on the serial queue "glintward.engine"; the scanner's
// callbacks on "glintward.ble"; the sync on a thread of its own, since its request blocks.
//
// Advertisements reach the engine through a bounded inlet: when the engine falls behind, the oldest waiting
// ones are shed, counted and logged at most once a second. Each carries the scan it was heard in; once a stop
// or a new start has been asked for, those still on their way change nothing.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <QObject>
#include <QTimer>

#include "app/BleScanner.h"
#include "app/BoundedInlet.h"
#include "app/platform/HapticPerformer.h"
#include "app/platform/SerialQueue.h"
#include "app/platform/UserDefaults.h"
#include "app/platform/Workspace.h"
#include "shared/detection/Alerting.h"
#include "shared/detection/DetectionEngine.h"
#include "shared/record/Set.h"
#include "shared/sync/HttpTransport.h"

namespace glintward {

class AppPreferences;

// The signature service's origin, fixed when the application is built (empty: no service configured).
std::string signatureServiceUrl();

// What the model reaches outside itself; every default is the real thing.
struct RadarModelSeams {
    BleScanner::CentralFactory makeCentral = BleScanner::defaultCentral();
    std::shared_ptr<HapticPerformer> haptics;  // force feedback through evdev when null
    std::shared_ptr<Workspace> workspace;      // the desktop's settings programs when null
    std::function<std::shared_ptr<HttpTransport>()> makeTransport;  // libcurl when null
    std::function<double()> clockMs;  // wall-clock milliseconds since 1970; the system clock when null
    std::function<std::int64_t()> steadyMs;  // a monotonic clock in milliseconds; the steady clock when null
    std::string baseUrl = signatureServiceUrl();
    std::chrono::milliseconds pruneInterval{5000};
    // Advertisements waiting for the engine at most: several seconds of a crowded room's traffic.
    std::size_t pendingAdvertisementsMax = 16384;
};

class RadarModel : public QObject {
    Q_OBJECT
public:
    using Seams = RadarModelSeams;
    static constexpr const char* MUTED_KEY = "muted_devices";

    // Reads and writes the settings through the preferences' store (the standard one in the application).
    explicit RadarModel(AppPreferences& preferences, Seams seams = {});
    ~RadarModel() override;

    const RadarState& state() const { return state_; }
    // Advertisements shed so far because the engine was behind; any thread.
    std::uint64_t shedAdvertisements() const { return inlet_.shed(); }
    const Set<std::string>& mutedAddresses() const { return mutedAddresses_; }
    bool bluetoothOff() const { return bluetoothOff_; }

    Q_INVOKABLE void startScanning();
    Q_INVOKABLE void stopScanning();
    void toggleMute(const std::string& address);
    Q_INVOKABLE void wipeSessionLog();
    Q_INVOKABLE void openSystemSettings();

signals:
    void stateChanged();
    void mutedAddressesChanged();
    void bluetoothOffChanged();

private:
    struct Heard {
        BleAdvertisement advertisement;
        std::uint64_t scan;  // the scan generation it was heard in
    };

    // Everything here is touched only on the engine queue.
    struct EngineSide {
        DetectionEngine engine;
        AlertGate alertGate{60000};
        std::unordered_set<std::string> seenAddresses;
        bool scanning = false;
        // What one turn of the drain took from the inlet; kept, so that a turn allocates nothing.
        std::vector<Heard> taken = {};
    };
    struct SyncHandOff;

    void drainInlet();                                    // engine queue
    void handle(const BleAdvertisement& advertisement);  // engine queue
    void publish();                                       // engine queue
    // Runs the work on the main thread, in the order given. A burst of calls costs the main thread one
    // wake-up.
    void toMainThread(std::function<void()> work);
    void runOnMainThread();  // main thread
    void syncLibraryNow(bool loadCacheFirst);
    Set<std::string> storedMutedAddresses() const;
    std::int64_t nowMs() const;
    void setState(RadarState state);

    AppPreferences& preferences_;
    UserDefaults& defaults_;
    std::shared_ptr<HapticPerformer> haptics_;
    std::shared_ptr<Workspace> workspace_;
    std::function<std::shared_ptr<HttpTransport>()> makeTransport_;
    std::function<double()> clockMs_;
    std::string baseUrl_;

    RadarState state_;
    Set<std::string> mutedAddresses_;
    bool bluetoothOff_ = false;
    bool syncStarted_ = false;
    QTimer pruneTimer_;
    std::thread syncThread_;

    // Odd while scanning is wanted; each start from idle and each stop moves it on. Written on the main
    // thread only.
    std::atomic<std::uint64_t> scanGeneration_{0};
    std::shared_ptr<SyncHandOff> syncHandOff_;

    std::mutex toMainMutex_;
    std::deque<std::function<void()>> toMain_;  // handed to the main thread, not yet run there
    bool toMainPosted_ = false;                 // a run of toMain_ is queued on the main thread

    std::unique_ptr<EngineSide> engineSide_;
    BoundedInlet<Heard> inlet_;
    // Declared last so they go first: the scanner stops feeding the queue, then the queue runs out.
    std::unique_ptr<SerialQueue> engineQueue_;
    std::unique_ptr<BleScanner> scanner_;
};

}  // namespace glintward
