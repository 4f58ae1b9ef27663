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
//
// Every matching advertisement runs the alert step at once, from the levels the engine keeps count of; the state
// itself, whose making costs a pass over every device tracked, follows at most once per publish interval. States
// reach the main thread in order, and one still waiting there is replaced by a newer one.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <optional>
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
    // The least time between two states that matching advertisements publish.
    std::chrono::milliseconds publishInterval{100};
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
        // The first addresses of the run, as many as get a "heard #" line: later ones are neither logged nor
        // kept.
        std::vector<std::string> seenAddresses = {};
        bool scanning = false;
        bool stateBehind = false;   // the engine has changed since the last state was made
        bool publishArmed = false;  // the publish timer will ask for the state
        std::optional<std::int64_t> lastStateMs = std::nullopt;  // steady time of the last state made
        // What one turn of the drain took from the inlet; kept, so that a turn allocates nothing.
        std::vector<Heard> taken = {};
    };
    struct SyncHandOff;

    void drainInlet();                                    // engine queue
    void handle(const BleAdvertisement& advertisement);  // engine queue
    void publish();                                       // engine queue
    // The alert step over the levels the engine counts: whether to tap. Engine queue.
    bool alertStep(const Set<std::string>& muted);
    // Makes the state and hands it to the main thread, with a tap after it when asked. Engine queue.
    void publishState(const Set<std::string>& muted, bool tap);
    void applyWaitingState();  // main thread
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
    QTimer publishTimer_;
    std::function<std::int64_t()> steadyMs_;
    std::int64_t publishIntervalMs_;
    std::thread syncThread_;

    // Odd while scanning is wanted; each start from idle and each stop moves it on. Written on the main
    // thread only.
    std::atomic<std::uint64_t> scanGeneration_{0};
    std::shared_ptr<SyncHandOff> syncHandOff_;

    std::mutex toMainMutex_;
    std::deque<std::function<void()>> toMain_;  // handed to the main thread, not yet run there
    std::optional<RadarState> waitingState_;    // the newest state not yet applied there
    bool toMainPosted_ = false;                 // a run of toMain_ is queued on the main thread

    std::unique_ptr<EngineSide> engineSide_;
    BoundedInlet<Heard> inlet_;
    // Declared last so they go first: the scanner stops feeding the queue, then the queue runs out.
    std::unique_ptr<SerialQueue> engineQueue_;
    std::unique_ptr<BleScanner> scanner_;
};

}  // namespace glintward
