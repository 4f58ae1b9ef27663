#pragma once
// The stateful centre of the detection core: tracks each matching device by address, keeps the session log,
// drops devices that fell silent and composes the radar state. It reads no clock and takes no lock: the caller
// passes every time and makes every call from one thread at a time.
//
// Anyone in radio range can make up addresses, so what the engine holds is bounded: at most
// TRACKED_DEVICES_MAX devices and SESSION_LOG_MAX log entries; when either is full, those heard least recently
// make room, many at once (TRACKED_DEVICES_DROPPED, SESSION_LOG_DROPPED), and the log's others keep their
// order. An advertisement costs the same however many devices are tracked; composing the state costs a pass
// and a sort.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <tsl/ordered_map.h>

#include "shared/detection/Records.h"
#include "shared/detection/RssiSmoother.h"
#include "shared/detection/SignatureDatabase.h"
#include "shared/record/Set.h"
#include "shared/record/SharedList.h"

namespace glintward {

// Java's Double.compare: a total order in which -0.0 < 0.0 and NaN is above every number.
int compareTotal(double a, double b);

class DetectionEngine {
public:
    static constexpr std::int64_t STALE_AFTER_MS_DEFAULT = 30000;
    static constexpr double THREAT_DETECTED_CONFIDENCE = 0.85;
    static constexpr double THREAT_POSSIBLE_CONFIDENCE = 0.5;
    // More than any room holds: only made-up addresses reach these.
    static constexpr std::size_t TRACKED_DEVICES_MAX = 4096;
    static constexpr std::size_t TRACKED_DEVICES_DROPPED = 512;
    static constexpr std::size_t SESSION_LOG_MAX = 10000;
    static constexpr std::size_t SESSION_LOG_DROPPED = 1000;

    using SignaturesProvider = std::function<std::shared_ptr<const SignatureDatabase>()>;
    using MatchOptionsProvider = std::function<MatchOptions()>;

    // Both providers are asked on every advertisement, so a new catalogue or option applies at once.
    DetectionEngine(std::int64_t staleAfterMs, SignaturesProvider signatures, MatchOptionsProvider matchOptions);

    // The advertisement's own match, or nothing; only matching advertisements are recorded.
    std::optional<SignatureMatch> onAdvertisement(const BleAdvertisement& advertisement);
    // Drops every device silent for more than staleAfterMs; the session log keeps them.
    void prune(std::int64_t nowMs);
    RadarState currentState(bool scanning, const Set<std::string>& mutedAddresses) const;
    void reset();
    void clearSessionLog();

    // The threat level of the state currentState would compose, over the detections whose proximity `admits`
    // (a function of Proximity) lets count, at a cost of the muted set rather than of the devices tracked.
    template <class Admits>
    ThreatLevel threatLevel(const Set<std::string>& mutedAddresses, Admits admits) const {
        LevelCounts counts = counts_;
        for (const std::string& address : mutedAddresses) {
            const auto it = devices_.find(address);
            if (it != devices_.end()) --counts[slot(it->second.proximity)][it->second.rank];
        }
        std::array<std::size_t, RANKS> ranked{};
        for (Proximity p : values<Proximity>()) {
            if (!admits(p)) continue;
            for (std::size_t r = 0; r < RANKS; ++r) ranked[r] += counts[slot(p)][r];
        }
        return levelOfRanks(ranked);
    }
    std::size_t trackedCount() const { return devices_.size(); }
    // True once each time the session log has filled up since it was last cleared (or since this was asked).
    bool takeSessionLogFull() { return std::exchange(sessionLogFull_, false); }

    // The threat level of the highest confidence among the detections that `counts` admits.
    template <class Predicate>
    static ThreatLevel threatLevelOver(const std::vector<Detection>& detections, Predicate counts) {
        std::optional<double> top;
        for (const auto& d : detections) {
            if (counts(d) && (!top || compareTotal(d.confidence, *top) > 0)) top = d.confidence;
        }
        if (!top) return ThreatLevel::CLEAR;  // a NaN top fails both comparisons below and is clear too
        if (*top >= THREAT_DETECTED_CONFIDENCE) return ThreatLevel::DETECTED;
        if (*top >= THREAT_POSSIBLE_CONFIDENCE) return ThreatLevel::POSSIBLE;
        return ThreatLevel::CLEAR;
    }

private:
    static constexpr double SMOOTHING_ALPHA = 0.3;
    // Where a confidence stands for the threat level: below possible, possible, detected, NaN (above all).
    static constexpr std::size_t RANKS = 4;
    using LevelCounts = std::array<std::array<std::size_t, RANKS>, 3>;  // by proximity, then rank

    struct TrackedDevice {
        std::string address;
        SignatureMatch match;
        RssiSmoother smoother;
        std::optional<std::int32_t> txPower;
        std::int64_t firstSeenMs;
        std::int64_t lastSeenMs;
        // When its current tracking began, counted in trackings: the order of equal detections.
        std::uint64_t tracking;
        std::uint64_t heard;  // when it was last heard, counted in advertisements
        // Where it is counted in counts_, once counted.
        Proximity proximity = Proximity::FAR;
        std::uint8_t rank = 0;
        bool counted = false;
    };
    struct LogSlot {
        std::size_t at;      // its place in the session log
        std::uint64_t heard;  // when it was last heard, counted in advertisements
    };

    static std::size_t slot(Proximity p) { return static_cast<std::size_t>(ordinal(p)); }
    static std::uint8_t rankOf(double confidence);
    static ThreatLevel levelOfRanks(const std::array<std::size_t, RANKS>& ranked);
    void recount(const TrackedDevice& device, int by);
    void makeRoomForDevices();
    void makeRoomInSessionLog();

    std::int64_t staleAfterMs_;
    SignaturesProvider signatures_;
    MatchOptionsProvider matchOptions_;
    // One hash of an address serves both look-ups of an advertisement.
    struct TextHash {
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    // The tracked devices by address. Their order plays no part (the detections' ties go by `tracking`), so a
    // removal swaps the last one in at no cost.
    tsl::ordered_map<std::string, TrackedDevice, TextHash> devices_;
    LevelCounts counts_{};
    std::uint64_t trackings_ = 0;
    std::uint64_t heard_ = 0;
    // The session log, in first-logged order, and where each address's entry stands in it.
    SharedList<SessionLogEntry> sessionLog_;
    tsl::ordered_map<std::string, LogSlot, TextHash> logIndex_;
    bool sessionLogFull_ = false;
    bool sessionLogFilled_ = false;  // since it was last cleared
};

}  // namespace glintward
