#pragma once
// The stateful centre of the detection core: tracks each matching device by address, keeps the session log,
// drops devices that fell silent and composes the radar state. It reads no clock and takes no lock: the caller
// passes every time and makes every call from one thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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

    struct TrackedDevice {
        std::string address;
        SignatureMatch match;
        RssiSmoother smoother;
        std::optional<std::int32_t> txPower;
        std::int64_t firstSeenMs;
        std::int64_t lastSeenMs;
    };

    std::int64_t staleAfterMs_;
    SignaturesProvider signatures_;
    MatchOptionsProvider matchOptions_;
    tsl::ordered_map<std::string, TrackedDevice> devices_;
    // The session log, in first-logged order, and where each address's entry stands in it.
    SharedList<SessionLogEntry> sessionLog_;
    tsl::ordered_map<std::string, std::size_t> logIndex_;
};

}  // namespace glintward
