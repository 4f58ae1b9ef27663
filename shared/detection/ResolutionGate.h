#pragma once
// The counterpart of the alert gate: after an alert, reports once that the threat level has stayed CLEAR for a
// quiet period, handing back the display name given with the alert.

#include <cstdint>
#include <optional>
#include <string>

#include "shared/detection/Records.h"

namespace glintward {

class ResolutionGate {
public:
    static constexpr std::int64_t QUIET_MS_DEFAULT = 600000;

    explicit ResolutionGate(std::int64_t quietMs) : quietMs_(quietMs) {}

    void onAlerted(std::string displayName);
    void reset();
    // The alerted name once the level has been CLEAR for quietMs since the first CLEAR poll; else nothing.
    std::optional<std::string> poll(ThreatLevel threatLevel, std::int64_t nowMs);

private:
    std::int64_t quietMs_;
    std::optional<std::string> pendingName_;
    std::optional<std::int64_t> clearSinceMs_;
};

}  // namespace glintward
