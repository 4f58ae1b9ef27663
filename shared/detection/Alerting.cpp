#include "shared/detection/Alerting.h"

#include "shared/detection/DetectionEngine.h"

namespace glintward {

bool permits(AlertThreshold threshold, Proximity proximity) {
    switch (threshold) {
        case AlertThreshold::VERY_CLOSE:
            return proximity == Proximity::IMMEDIATE;
        case AlertThreshold::IN_THE_ROOM:
            return proximity != Proximity::FAR;
        case AlertThreshold::ANY_DISTANCE:
            return true;
    }
    return true;
}

const AlertPolicy& AlertPolicy::shared() {
    static const AlertPolicy instance;
    return instance;
}

ThreatLevel AlertPolicy::alertableThreatLevel(const RadarState& state, AlertThreshold threshold) const {
    return DetectionEngine::threatLevelOver(
        state.detections, [&](const Detection& d) { return !d.muted && permits(threshold, d.proximity); });
}

bool AlertGate::shouldAlert(ThreatLevel threatLevel, std::int64_t nowMs) {
    const ThreatLevel prev = lastLevel_;
    lastLevel_ = threatLevel;
    if (prev != ThreatLevel::CLEAR) return false;
    if (threatLevel == ThreatLevel::CLEAR) return false;
    if (lastAlertMs_ && elapsedMs(nowMs, *lastAlertMs_) <= cooldownMs_) return false;
    lastAlertMs_ = nowMs;
    return true;
}

}  // namespace glintward
