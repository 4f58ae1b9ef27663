#pragma once
// When the user is alerted: the threshold of closeness, the alertable threat level of a radar state, and the
// gate that turns the sequence of levels into single alerts (one per rise from CLEAR, none within the cooldown).

#include <cstdint>
#include <optional>

#include "shared/detection/Records.h"

namespace glintward {

GLINTWARD_ENUM(AlertThreshold, VERY_CLOSE, IN_THE_ROOM, ANY_DISTANCE);

// Whether a detection at this proximity may raise an alert under the threshold.
bool permits(AlertThreshold threshold, Proximity proximity);

class AlertPolicy {
public:
    static const AlertPolicy& shared();

    // The threat level over the unmuted detections whose proximity the threshold permits.
    ThreatLevel alertableThreatLevel(const RadarState& state, AlertThreshold threshold) const;
};

class AlertGate {
public:
    static constexpr std::int64_t COOLDOWN_MS_DEFAULT = 60000;

    explicit AlertGate(std::int64_t cooldownMs) : cooldownMs_(cooldownMs) {}

    // Must see every published level in order, CLEAR included.
    bool shouldAlert(ThreatLevel threatLevel, std::int64_t nowMs);

private:
    std::int64_t cooldownMs_;
    ThreatLevel lastLevel_ = ThreatLevel::CLEAR;
    std::optional<std::int64_t> lastAlertMs_;
};

}  // namespace glintward
