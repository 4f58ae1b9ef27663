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
    index_.reserve(8);
    logIndex_.reserve(8);
}

std::optional<SignatureMatch> DetectionEngine::onAdvertisement(const BleAdvertisement& advertisement) {
    const auto database = signatures_();
    const MatchOptions options = matchOptions_();
    std::optional<SignatureMatch> m = database->match(advertisement, options);
    if (!m) return std::nullopt;

    const std::string& address = advertisement.address;
    auto found = index_.find(std::string_view(address));
    std::list<TrackedDevice>::iterator it;
    if (found == index_.end()) {
        if (devices_.size() >= TRACKED_DEVICES_MAX) forget(devices_.begin());
        devices_.push_back(TrackedDevice{address, *m, RssiSmoother(SMOOTHING_ALPHA), advertisement.txPower,
                                         advertisement.timestampMs, advertisement.timestampMs, trackings_++});
        it = std::prev(devices_.end());
        index_.emplace(std::string_view(it->address), it);
    } else {
        it = found->second;
        recount(*it, -1);
        devices_.splice(devices_.end(), devices_, it);  // now the one heard most recently
    }
    TrackedDevice& t = *it;
    if (m->confidence > t.match.confidence) t.match = *m;
    if (advertisement.txPower) t.txPower = advertisement.txPower;
    t.smoother.update(advertisement.rssi);
    t.lastSeenMs = advertisement.timestampMs;
    t.proximity = RssiSmoother::proximityFor(RssiSmoother::estimateDistanceMeters(t.smoother.smoothedRssi(), t.txPower));
    t.rank = rankOf(t.match.confidence);
    recount(t, +1);

    const DeviceSignature& best = *t.match.signature;
    ++heard_;
    auto logged = logIndex_.find(address);
    if (logged == logIndex_.end()) {
        if (sessionLog_.size() >= SESSION_LOG_MAX) makeRoomInSessionLog();
        logIndex_.emplace(address, LogSlot{sessionLog_.size(), heard_});
        sessionLog_.push_back(SessionLogEntry{address, best.displayName, best.brand, advertisement.timestampMs,
                                              advertisement.timestampMs, advertisement.rssi});
    } else {
        // Updated in place: the entry keeps its position and its first time.
        logged->second.heard = heard_;
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
        const auto next = std::next(it);
        if (elapsedMs(nowMs, it->lastSeenMs) > staleAfterMs_) forget(it);
        it = next;
    }
}

RadarState DetectionEngine::currentState(bool scanning, const Set<std::string>& mutedAddresses) const {
    struct Sorted {
        Detection detection;
        std::uint64_t tracking;
    };
    std::vector<Sorted> sorted;
    sorted.reserve(devices_.size());
    for (const TrackedDevice& t : devices_) {
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
    index_.clear();
    counts_ = {};
    clearSessionLog();
}

void DetectionEngine::clearSessionLog() {
    sessionLog_.clear();
    logIndex_.clear();
    sessionLogFull_ = false;
    sessionLogFilled_ = false;
}

std::size_t DetectionEngine::rankOf(double confidence) {
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

void DetectionEngine::forget(std::list<TrackedDevice>::iterator device) {
    recount(*device, -1);
    index_.erase(std::string_view(device->address));
    devices_.erase(device);
}

void DetectionEngine::recount(TrackedDevice& device, int by) {
    std::size_t& count = counts_[slot(device.proximity)][device.rank];
    count = by > 0 ? count + 1 : count - 1;
}

void DetectionEngine::makeRoomInSessionLog() {
    // Made-up addresses are heard once and real devices again and again, so the entries heard least recently
    // go: many at once, so that a flood rebuilds the log once per SESSION_LOG_DROPPED new addresses.
    std::vector<std::uint64_t> heard;
    heard.reserve(logIndex_.size());
    for (const auto& [address, slot] : logIndex_) heard.push_back(slot.heard);
    const auto cut = heard.begin() + static_cast<std::ptrdiff_t>(std::min(SESSION_LOG_DROPPED, heard.size()) - 1);
    std::nth_element(heard.begin(), cut, heard.end());
    const std::uint64_t lastDropped = *cut;  // the heard counts are distinct

    SharedList<SessionLogEntry> kept;
    for (const SessionLogEntry& entry : sessionLog_) {
        LogSlot& slot = logIndex_.find(entry.address)->second;
        if (slot.heard <= lastDropped) continue;
        slot.at = kept.size();
        kept.push_back(entry);
    }
    std::erase_if(logIndex_, [&](const auto& item) { return item.second.heard <= lastDropped; });
    sessionLog_ = std::move(kept);
    if (!sessionLogFilled_) sessionLogFull_ = true;
    sessionLogFilled_ = true;
}

}  // namespace glintward
