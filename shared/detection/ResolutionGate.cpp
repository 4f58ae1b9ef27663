#include "shared/detection/ResolutionGate.h"

#include <utility>

#include "shared/detection/Alerting.h"

namespace glintward {

void ResolutionGate::onAlerted(std::string displayName) {
    pendingName_ = std::move(displayName);
    clearSinceMs_.reset();
}

void ResolutionGate::reset() {
    pendingName_.reset();
    clearSinceMs_.reset();
}

std::optional<std::string> ResolutionGate::poll(ThreatLevel threatLevel, std::int64_t nowMs) {
    if (!pendingName_) return std::nullopt;
    if (threatLevel != ThreatLevel::CLEAR) {
        clearSinceMs_.reset();
        return std::nullopt;
    }
    if (!clearSinceMs_) clearSinceMs_ = nowMs;
    if (elapsedMs(nowMs, *clearSinceMs_) < quietMs_) return std::nullopt;
    auto name = std::move(pendingName_);
    pendingName_.reset();
    clearSinceMs_.reset();
    return name;
}

}  // namespace glintward
