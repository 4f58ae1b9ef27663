#include "shared/detection/DetectionEngine.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace glintward {

namespace {

// The `count`-th smallest of the values (counting from 1); there is at least one.
std::uint64_t nthSmallest(std::vector<std::uint64_t> values, std::size_t count) {
    const auto cut = values.begin() + static_cast<std::ptrdiff_t>(std::min(count, values.size()) - 1);
    std::nth_element(values.begin(), cut, values.end());
    return *cut;
}

}  // namespace

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
    const std::size_t hash = TextHash{}(address);
    ++heard_;
    auto it = devices_.find(address, hash);
    if (it == devices_.end()) {
        if (devices_.size() >= TRACKED_DEVICES_MAX) makeRoomForDevices();
        it = devices_
                 .try_emplace(address, TrackedDevice{address, *m, RssiSmoother(SMOOTHING_ALPHA), advertisement.txPower,
                                                     advertisement.timestampMs, advertisement.timestampMs,
                                                     trackings_++, heard_})
                 .first;
    }
    TrackedDevice& t = it.value();
    if (m->confidence > t.match.confidence) t.match = *m;
    if (advertisement.txPower) t.txPower = advertisement.txPower;
    t.smoother.update(advertisement.rssi);
    t.lastSeenMs = advertisement.timestampMs;
    t.heard = heard_;
    const Proximity proximity = RssiSmoother::proximityAt(t.smoother.smoothedRssi(), t.txPower);
    const std::uint8_t rank = rankOf(t.match.confidence);
    if (!t.counted || proximity != t.proximity || rank != t.rank) {
        if (t.counted) recount(t, -1);
        t.proximity = proximity;
        t.rank = rank;
        t.counted = true;
        recount(t, +1);
    }

    const DeviceSignature& best = *t.match.signature;
    auto logged = logIndex_.find(address, hash);
    if (logged == logIndex_.end()) {
        if (sessionLog_.size() >= SESSION_LOG_MAX) makeRoomInSessionLog();
        logIndex_.emplace(address, LogSlot{sessionLog_.size(), heard_});
        sessionLog_.push_back(SessionLogEntry{address, best.displayName, best.brand, advertisement.timestampMs,
                                              advertisement.timestampMs, advertisement.rssi});
    } else {
        // Updated in place: the entry keeps its position and its first time.
        logged.value().heard = heard_;
        SessionLogEntry& entry = sessionLog_.edit(logged->second.at);
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
            recount(it->second, -1);
            it = devices_.unordered_erase(it);  // the last one now stands here
        } else {
            ++it;
        }
    }
}

RadarState DetectionEngine::currentState(bool scanning, const Set<std::string>& mutedAddresses) const {
    struct Sorted {
        Detection detection;
        std::uint64_t tracking;
    };
    std::vector<Sorted> sorted;
    sorted.reserve(devices_.size());
    for (const auto& [address, t] : devices_) {
        const double smoothed = t.smoother.smoothedRssi();
        const double distance = RssiSmoother::estimateDistanceMeters(smoothed, t.txPower);
        sorted.push_back({Detection{t.address, t.match.signature->displayName, t.match.signature->brand,
                                    t.match.confidence, smoothed, distance, RssiSmoother::proximityFor(distance),
                                    t.firstSeenMs, t.lastSeenMs, mutedAddresses.contains(t.address)},
                          t.tracking});
    }
    // Ties keep the order in which the devices began their current tracking.
    std::sort(sorted.begin(), sorted.end(), [](const Sorted& x, const Sorted& y) {
        const Detection& a = x.detection;
        const Detection& b = y.detection;
        if (a.muted != b.muted) return !a.muted;
        if (const int c = compareTotal(a.smoothedRssi, b.smoothedRssi); c != 0) return c > 0;
        return x.tracking < y.tracking;
    });
    std::vector<Detection> detections;
    detections.reserve(sorted.size());
    for (Sorted& s : sorted) detections.push_back(std::move(s.detection));
    const ThreatLevel level = threatLevelOver(detections, [](const Detection& d) { return !d.muted; });

    return RadarState{scanning, level, std::move(detections), sessionLog_, std::nullopt};
}

void DetectionEngine::reset() {
    devices_.clear();
    counts_ = {};
    clearSessionLog();
}

void DetectionEngine::clearSessionLog() {
    sessionLog_.clear();
    logIndex_.clear();
    sessionLogFull_ = false;
    sessionLogFilled_ = false;
}

std::uint8_t DetectionEngine::rankOf(double confidence) {
    if (confidence != confidence) return 3;
    if (confidence >= THREAT_DETECTED_CONFIDENCE) return 2;
    if (confidence >= THREAT_POSSIBLE_CONFIDENCE) return 1;
    return 0;
}

ThreatLevel DetectionEngine::levelOfRanks(const std::array<std::size_t, RANKS>& ranked) {
    // The top confidence decides, and a NaN is above every number and clear, as in threatLevelOver.
    if (ranked[3] > 0) return ThreatLevel::CLEAR;
    if (ranked[2] > 0) return ThreatLevel::DETECTED;
    if (ranked[1] > 0) return ThreatLevel::POSSIBLE;
    return ThreatLevel::CLEAR;
}

void DetectionEngine::recount(const TrackedDevice& device, int by) {
    std::size_t& count = counts_[slot(device.proximity)][device.rank];
    count = by > 0 ? count + 1 : count - 1;
}

void DetectionEngine::makeRoomForDevices() {
    // Made-up addresses are heard once and real devices again and again, so those heard least recently go:
    // many at once, so that a flood walks the devices once per TRACKED_DEVICES_DROPPED new addresses.
    std::vector<std::uint64_t> heard;
    heard.reserve(devices_.size());
    for (const auto& [address, t] : devices_) heard.push_back(t.heard);
    const std::uint64_t lastDropped = nthSmallest(std::move(heard), TRACKED_DEVICES_DROPPED);
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (it->second.heard <= lastDropped) {
            recount(it->second, -1);
            it = devices_.unordered_erase(it);
        } else {
            ++it;
        }
    }
}

void DetectionEngine::makeRoomInSessionLog() {
    // Made-up addresses are heard once and real devices again and again, so the entries heard least recently
    // go: many at once, so that a flood rebuilds the log once per SESSION_LOG_DROPPED new addresses.
    std::vector<std::uint64_t> heard;
    heard.reserve(logIndex_.size());
    for (const auto& [address, slot] : logIndex_) heard.push_back(slot.heard);
    const std::uint64_t lastDropped = nthSmallest(std::move(heard), SESSION_LOG_DROPPED);

    SharedList<SessionLogEntry> kept;
    decltype(logIndex_) keptIndex;
    keptIndex.reserve(logIndex_.size());
    for (const SessionLogEntry& entry : sessionLog_) {
        const std::uint64_t lastHeard = logIndex_.find(entry.address)->second.heard;
        if (lastHeard <= lastDropped) continue;
        keptIndex.emplace(entry.address, LogSlot{kept.size(), lastHeard});
        kept.push_back(entry);
    }
    logIndex_ = std::move(keptIndex);
    sessionLog_ = std::move(kept);
    if (!sessionLogFilled_) sessionLogFull_ = true;
    sessionLogFilled_ = true;
}

}  // namespace glintward
