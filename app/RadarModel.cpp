#include "app/RadarModel.h"

#include <malloc.h>

#include <algorithm>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "app/AppPreferences.h"
#include "app/HostAlertThreshold.h"
#include "app/RadarLog.h"
#include "app/Sync/DefaultsSignatureStore.h"
#include "app/Sync/UrlSessionTransport.h"
#include "shared/detection/SignatureRepository.h"
#include "shared/sync/SignatureSyncClient.h"

#ifndef GLINTWARD_SIGNATURE_SERVICE_URL
#define GLINTWARD_SIGNATURE_SERVICE_URL ""
#endif

namespace glintward {

std::string signatureServiceUrl() { return GLINTWARD_SIGNATURE_SERVICE_URL; }

namespace {

constexpr std::size_t LOGGED_ADDRESSES_MAX = 40;
// A prune that drops this many devices has freed enough to be worth handing back to the system.
constexpr std::size_t TRIM_AFTER_PRUNED = 1024;
// Advertisements one turn of the engine handles at most before what else was queued (a prune, a stop) runs.
constexpr std::size_t TURN_MAX = 1024;

double systemClockMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

std::int64_t steadyClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void logShedding(std::uint64_t sinceLastReport, std::uint64_t inAll) {
    RadarLog::info("engine behind, advertisements shed: " + std::to_string(sinceLastReport) + " (" +
                   std::to_string(inAll) + " in all)");
}

// The settings the detection path needs, read from the store afresh at each use, so that path never depends on
// the preferences object being alive or up to date.
struct PrefsSnapshot {
    const UserDefaults& defaults;

    MatchOptions matchOptions() const {
        return MatchOptions{Set<std::string>(defaults.stringArrayForKey("disabled_signatures").value_or(
                                std::vector<std::string>{})),
                            defaults.boolForKey("match_unknown_ids", true)};
    }
    AlertThreshold alertThreshold() const {
        return alertThresholdFromRaw(defaults.stringForKey("alert_threshold").value_or("IN_THE_ROOM"));
    }
    bool hapticAlerts() const { return defaults.boolForKey("haptic_alerts", true); }
};

// Runs on the main thread unless the receiver is gone by then.
template <class F>
void onMainThread(QPointer<QObject> receiver, F work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [receiver, work = std::move(work)]() mutable {
            if (receiver) work();
        },
        Qt::QueuedConnection);
}

}  // namespace

// The sync thread reaches the model only through this. The model's destructor clears it under the lock, so a
// sync that outlives the model touches nothing of it, and never posts to an object being destroyed.
struct RadarModel::SyncHandOff {
    std::mutex mutex;
    RadarModel* model = nullptr;
};

RadarModel::RadarModel(AppPreferences& preferences, Seams seams)
    : preferences_(preferences),
      defaults_(preferences.defaults()),
      haptics_(seams.haptics ? std::move(seams.haptics) : makeEvdevHapticPerformer()),
      workspace_(seams.workspace ? std::move(seams.workspace)
                                 : makeDesktopWorkspace([](std::string line) { RadarLog::info(line); })),
      makeTransport_(seams.makeTransport ? std::move(seams.makeTransport)
                                         : [] { return std::make_shared<UrlSessionTransport>(); }),
      clockMs_(seams.clockMs ? std::move(seams.clockMs) : systemClockMs),
      baseUrl_(std::move(seams.baseUrl)),
      steadyMs_(seams.steadyMs ? std::move(seams.steadyMs) : steadyClockMs),
      publishIntervalMs_(seams.publishInterval.count()),
      syncHandOff_(std::make_shared<SyncHandOff>()),
      inlet_(seams.pendingAdvertisementsMax, steadyMs_, logShedding) {
    syncHandOff_->model = this;
    UserDefaults& defaults = defaults_;
    engineSide_ = std::make_unique<EngineSide>(EngineSide{
        DetectionEngine(DetectionEngine::STALE_AFTER_MS_DEFAULT, [] { return SignatureRepository::shared().current(); },
                        [&defaults] { return PrefsSnapshot{defaults}.matchOptions(); })});
    engineQueue_ = std::make_unique<SerialQueue>("glintward.engine");
    auto clock = clockMs_;
    scanner_ = std::make_unique<BleScanner>(std::move(seams.makeCentral),
                                            [clock] { return static_cast<std::int64_t>(clock()); });
    mutedAddresses_ = storedMutedAddresses();
    // Muted devices edited in the settings file reach the model when the preferences take the edit in.
    connect(&preferences_, &AppPreferences::storeChanged, this, [this] {
        Set<std::string> stored = storedMutedAddresses();
        if (stored == mutedAddresses_) return;
        mutedAddresses_ = std::move(stored);
        emit mutedAddressesChanged();
        engineQueue_->async([this] { publish(); });
    });

    pruneTimer_.setInterval(seams.pruneInterval);
    connect(&pruneTimer_, &QTimer::timeout, this, [this] {
        engineQueue_->async([this] {
            DetectionEngine& engine = engineSide_->engine;
            const std::size_t tracked = engine.trackedCount();
            engine.prune(nowMs());
            // After a flood the heap holds what the devices took; without this the process keeps it.
            if (tracked - engine.trackedCount() >= TRIM_AFTER_PRUNED) malloc_trim(0);
            publish();
        });
    });
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(seams.publishInterval);
    connect(&publishTimer_, &QTimer::timeout, this, [this] {
        engineQueue_->async([this] {
            engineSide_->publishArmed = false;
            if (engineSide_->stateBehind) publishState(storedMutedAddresses(), false);
        });
    });

    QPointer<QObject> self(this);
    scanner_->onStateChange = [this, self](CentralState central) {
        onMainThread(self, [this, central] {
            const bool off = central != CentralState::POWERED_ON;
            if (off == bluetoothOff_) return;
            bluetoothOff_ = off;
            emit bluetoothOffChanged();
        });
    };
    // The scanner is destroyed before the queue and the inlet, so both outlive every call of this callback.
    scanner_->onAdvertisement = [this](const BleAdvertisement& advertisement) {
        const std::uint64_t scan = scanGeneration_.load(std::memory_order_acquire);
        if (scan % 2 == 0) return;  // stopped: nothing more is wanted from this scan
        if (inlet_.push(Heard{advertisement, scan})) engineQueue_->async([this] { drainInlet(); });
    };
}

RadarModel::~RadarModel() {
    {
        std::lock_guard lock(syncHandOff_->mutex);
        syncHandOff_->model = nullptr;
    }
    // A sync still waiting on the network finishes on its own.
    if (syncThread_.joinable()) syncThread_.detach();
}

void RadarModel::startScanning() {
    RadarLog::info("startScanning requested");
    const std::uint64_t scan = scanGeneration_.load(std::memory_order_relaxed);
    if (scan % 2 == 0) scanGeneration_.store(scan + 1, std::memory_order_release);
    // The flag goes ahead of the scanner's start, so no advertisement is published as "not scanning".
    engineQueue_->async([this] { engineSide_->scanning = true; });
    scanner_->start();
    engineQueue_->async([this] { publish(); });
    pruneTimer_.start();  // restarting replaces the running timer: at most one ever runs
    if (!syncStarted_) {
        syncStarted_ = true;
        syncLibraryNow(true);
    }
}

void RadarModel::stopScanning() {
    // From here on, advertisements still on their way to the engine are dropped there: no match line, no
    // detection, no alert after the user asked to stop.
    const std::uint64_t scan = scanGeneration_.load(std::memory_order_relaxed);
    if (scan % 2 == 1) scanGeneration_.store(scan + 1, std::memory_order_release);
    scanner_->stop();
    pruneTimer_.stop();
    engineQueue_->async([this] {
        engineSide_->scanning = false;
        publishState(storedMutedAddresses(), false);
    });
}

void RadarModel::toggleMute(const std::string& address) {
    // From the set the store holds now, so an outside edit of the list is kept: only this address changes.
    defaults_.refresh();
    mutedAddresses_ = storedMutedAddresses();
    std::vector<std::string> muted = mutedAddresses_.items();
    if (mutedAddresses_.contains(address)) {
        std::erase(muted, address);
    } else {
        muted.push_back(address);
    }
    mutedAddresses_ = Set<std::string>(muted);
    emit mutedAddressesChanged();
    defaults_.setObject(muted, MUTED_KEY);
    engineQueue_->async([this] { publish(); });
}

void RadarModel::wipeSessionLog() {
    engineQueue_->async([this] {
        engineSide_->engine.clearSessionLog();
        publish();
    });
}

void RadarModel::openSystemSettings() { workspace_->openBluetoothSettings(); }

void RadarModel::drainInlet() {
    // A few at a time, so the radio's queue and the engine seldom meet on the inlet's lock and little is kept
    // from shedding; at most TURN_MAX per turn, then behind whatever else was queued meanwhile, so a flood
    // holds back a stop, a mute or a prune for a few milliseconds at most.
    constexpr std::size_t TAKEN_AT_ONCE = 64;
    std::vector<Heard>& taken = engineSide_->taken;
    taken.reserve(TAKEN_AT_ONCE);
    for (std::size_t handled = 0; handled < TURN_MAX; handled += taken.size()) {
        taken.clear();
        if (!inlet_.take(taken, TAKEN_AT_ONCE)) return;  // the next advertisement asks for a new drain
        for (const Heard& heard : taken) {
            if (heard.scan == scanGeneration_.load(std::memory_order_acquire)) handle(heard.advertisement);
        }
    }
    engineQueue_->async([this] { drainInlet(); });
}

void RadarModel::handle(const BleAdvertisement& advertisement) {
    auto& seen = engineSide_->seenAddresses;
    if (seen.size() < LOGGED_ADDRESSES_MAX &&
        std::find(seen.begin(), seen.end(), advertisement.address) == seen.end()) {
        seen.push_back(advertisement.address);
        std::string line = "heard #" + std::to_string(seen.size()) + ": name=" + advertisement.name.value_or("-") +
                           " ids=";
        record::appendSequence(line, advertisement.manufacturerCompanyIds);
        line += " uuids=" + std::to_string(advertisement.serviceUuids.size()) +
                " rssi=" + std::to_string(advertisement.rssi);
        RadarLog::info(line);
    }
    const std::optional<SignatureMatch> match = engineSide_->engine.onAdvertisement(advertisement);
    if (!match) return;
    std::string line = "match: " + match->signature->displayName + " confidence=";
    record::appendDouble(line, match->confidence);
    line += " rssi=" + std::to_string(advertisement.rssi);
    RadarLog::match(line, advertisement.address);
    EngineSide& side = *engineSide_;
    if (side.engine.takeSessionLogFull()) {
        RadarLog::info("session log full at " + std::to_string(DetectionEngine::SESSION_LOG_MAX) + " entries: the " +
                       std::to_string(DetectionEngine::SESSION_LOG_DROPPED) +
                       " heard least recently make room whenever it fills");
    }

    const Set<std::string> muted = storedMutedAddresses();
    const bool tap = alertStep(muted);
    side.stateBehind = true;
    const std::int64_t now = steadyMs_();
    if (tap || !side.lastStateMs || now - *side.lastStateMs >= publishIntervalMs_) {
        publishState(muted, tap);
    } else if (!side.publishArmed) {
        side.publishArmed = true;
        toMainThread([this] { publishTimer_.start(); });
    }
}

void RadarModel::publish() {
    const Set<std::string> muted = storedMutedAddresses();
    publishState(muted, alertStep(muted));
}

bool RadarModel::alertStep(const Set<std::string>& muted) {
    const PrefsSnapshot prefs{defaults_};
    const AlertThreshold threshold = prefs.alertThreshold();
    const ThreatLevel alertable =
        engineSide_->engine.threatLevel(muted, [threshold](Proximity p) { return permits(threshold, p); });
    const bool alert = engineSide_->alertGate.shouldAlert(alertable, nowMs());
    return alert && prefs.hapticAlerts();
}

void RadarModel::publishState(const Set<std::string>& muted, bool tap) {
    EngineSide& side = *engineSide_;
    RadarState next = side.engine.currentState(side.scanning, muted);
    side.stateBehind = false;
    side.lastStateMs = steadyMs_();
    std::optional<RadarState> replaced;  // let go of outside the lock
    bool post = false;
    {
        std::lock_guard lock(toMainMutex_);
        post = !waitingState_;
        replaced = std::exchange(waitingState_, std::move(next));
    }
    // One run per waiting state applies the newest there is when it runs; a tap follows its state.
    if (post) toMainThread([this] { applyWaitingState(); });
    if (tap) toMainThread([this] { haptics_->perform(); });
}

void RadarModel::applyWaitingState() {
    std::optional<RadarState> next;
    {
        std::lock_guard lock(toMainMutex_);
        next = std::exchange(waitingState_, std::nullopt);
    }
    if (next) setState(std::move(*next));
}

void RadarModel::toMainThread(std::function<void()> work) {
    {
        std::lock_guard lock(toMainMutex_);
        toMain_.push_back(std::move(work));
        if (toMainPosted_) return;  // the run already on its way takes this too
        toMainPosted_ = true;
    }
    // Queued on this object, so nothing runs once the model is gone.
    QMetaObject::invokeMethod(this, [this] { runOnMainThread(); }, Qt::QueuedConnection);
}

void RadarModel::runOnMainThread() {
    {
        std::lock_guard lock(toMainMutex_);
        toMainPosted_ = false;
    }
    // One item at a time, and another run is queued before an item runs while more wait: if a slot re-enters
    // the event loop, the nested run carries on in order, and this one then finds only what is newer still.
    for (;;) {
        std::function<void()> work;
        bool post = false;
        {
            std::lock_guard lock(toMainMutex_);
            if (toMain_.empty()) return;
            work = std::move(toMain_.front());
            toMain_.pop_front();
            post = !toMain_.empty() && !toMainPosted_;
            toMainPosted_ = toMainPosted_ || post;
        }
        if (post) QMetaObject::invokeMethod(this, [this] { runOnMainThread(); }, Qt::QueuedConnection);
        work();
    }
}

void RadarModel::setState(RadarState state) {
    state_ = std::move(state);
    emit stateChanged();
}

Set<std::string> RadarModel::storedMutedAddresses() const {
    return Set<std::string>(defaults_.stringArrayForKey(MUTED_KEY).value_or(std::vector<std::string>{}));
}

std::int64_t RadarModel::nowMs() const { return static_cast<std::int64_t>(clockMs_()); }

void RadarModel::syncLibraryNow(bool loadCacheFirst) {
    QPointer<AppPreferences> preferences(&preferences_);
    auto client = std::make_shared<SignatureSyncClient>(baseUrl_, std::make_shared<DefaultsSignatureStore>(defaults_),
                                                        makeTransport_());
    syncThread_ = std::thread([client, loadCacheFirst, clock = clockMs_, preferences, handOff = syncHandOff_] {
        auto& repository = SignatureRepository::shared();
        if (loadCacheFirst) {
            if (auto cached = client->loadCached()) repository.update(cached);
        }
        const SyncResult result = client->sync();
        if (const auto* updated = result.as<SyncResult::Updated>()) repository.update(updated->database);
        RadarLog::syncLine("Glintward sync: " + result.toString() + " (in force: v" +
                       std::to_string(repository.current()->version()) + ")");
        if (result.as<SyncResult::Failed>()) return;
        std::lock_guard lock(handOff->mutex);
        if (!handOff->model) return;
        const double now = clock();
        QMetaObject::invokeMethod(
            handOff->model,
            [preferences, now] {
                if (preferences) preferences->setLastSyncMs(now);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace glintward
