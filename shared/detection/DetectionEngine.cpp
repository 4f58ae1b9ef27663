#include "shared/detection/DetectionEngine.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace glintward {

int compareTotal(double a, double b) {
    if (a < b) return -1;
    if (a > b) return 1;
    // Equal, signed zeros or NaNs: order by bit pattern with every NaN made one, as Java does.
    auto bits = [](double v) { return v != v ? INT64_C(0x7FF8000000000000) : std::bit_cast<std::int64_t>(v); };
    const auto x = bits(a);
    const auto y = bits(b);
    return x == y ? 0 : (x < y ? -1 : 1);
}

DetectionEngine::DetectionEngine(std::int64_t staleAfterMs, SignaturesProvider signatures,
                                 MatchOptionsProvider matchOptions)
    : staleAfterMs_(staleAfterMs), signatures_(std::move(signatures)), matchOptions_(std::move(matchOptions)) {
    devices_.reserve(8);
    logIndex_.reserve(8);
}

std::optional<SignatureMatch> DetectionEngine::onAdvertisement(const BleAdvertisement& advertisement) {
    const auto database = signatures_();
    const MatchOptions options = matchOptions_();
    std::optional<SignatureMatch> m = database->match(advertisement, options);
    if (!m) return std::nullopt;

    const std::string& address = advertisement.address;
    const std::size_t hash = devices_.hash_function()(address);
    auto it = devices_.find(address, hash);
    if (it == devices_.end()) {
        it = devices_
                 .try_emplace(address, TrackedDevice{address, *m, RssiSmoother(SMOOTHING_ALPHA),
                                                     advertisement.txPower, advertisement.timestampMs,
                                                     advertisement.timestampMs})
                 .first;
    }
    TrackedDevice& t = it.value();
    if (m->confidence > t.match.confidence) t.match = *m;
    if (advertisement.txPower) t.txPower = advertisement.txPower;
    t.smoother.update(advertisement.rssi);
    t.lastSeenMs = advertisement.timestampMs;

    const DeviceSignature& best = *t.match.signature;
    auto logged = logIndex_.find(address, hash);
    if (logged == logIndex_.end()) {
        logIndex_.try_emplace(address, sessionLog_.size());
        sessionLog_.push_back(SessionLogEntry{address, best.displayName, best.brand, advertisement.timestampMs,
                                              advertisement.timestampMs, advertisement.rssi});
    } else {
        // Updated in place: the entry keeps its position and its first time.
        SessionLogEntry& entry = sessionLog_.edit(logged->second);
        if (entry.displayName != best.displayName) entry.displayName = best.displayName;
        if (entry.brand != best.brand) entry.brand = best.brand;
        entry.lastSeenMs = advertisement.timestampMs;
        entry.strongestRssi = std::max(entry.strongestRssi, advertisement.rssi);
    }
    return m;
}

void DetectionEngine::prune(std::int64_t nowMs) {
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (elapsedMs(nowMs, it->second.lastSeenMs) > staleAfterMs_) {
            it = devices_.erase(it);
        } else {
            ++it;
        }
    }
}

RadarState DetectionEngine::currentState(bool scanning, const Set<std::string>& mutedAddresses) const {
    std::vector<Detection> detections;
    detections.reserve(devices_.size());
    for (const auto& [address, t] : devices_) {
        const double smoothed = t.smoother.smoothedRssi();
        const double distance = RssiSmoother::estimateDistanceMeters(smoothed, t.txPower);
        detections.push_back(Detection{address, t.match.signature->displayName, t.match.signature->brand,
                                       t.match.confidence, smoothed, distance, RssiSmoother::proximityFor(distance),
                                       t.firstSeenMs, t.lastSeenMs, mutedAddresses.contains(address)});
    }
    std::stable_sort(detections.begin(), detections.end(), [](const Detection& a, const Detection& b) {
        if (a.muted != b.muted) return !a.muted;
        return compareTotal(a.smoothedRssi, b.smoothedRssi) > 0;
    });
    const ThreatLevel level = threatLevelOver(detections, [](const Detection& d) { return !d.muted; });

    return RadarState{scanning, level, std::move(detections), sessionLog_, std::nullopt};
}

void DetectionEngine::reset() {
    devices_.clear();
    clearSessionLog();
}

void DetectionEngine::clearSessionLog() {
    sessionLog_.clear();
    logIndex_.clear();
}

}  // namespace glintward
