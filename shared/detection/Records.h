#pragma once
// The values that carry one advertisement into the detection core and the detection picture out of it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/record/Record.h"
#include "shared/record/SharedList.h"

namespace glintward {

GLINTWARD_ENUM(Proximity, IMMEDIATE, NEAR, FAR);
GLINTWARD_ENUM(ThreatLevel, CLEAR, POSSIBLE, DETECTED);

// One received advertisement, as the host's scanner builds it.
struct BleAdvertisement {
    std::string address;
    std::optional<std::string> name;
    std::vector<std::int32_t> manufacturerCompanyIds;
    std::vector<std::string> serviceUuids;
    std::int32_t rssi = 0;
    std::optional<std::int32_t> txPower;
    std::int64_t timestampMs = 0;

    GLINTWARD_RECORD(BleAdvertisement, address, name, manufacturerCompanyIds, serviceUuids, rssi, txPower,
                     timestampMs)
};

// One tracked device as shown to the user.
struct Detection {
    std::string address;
    std::string displayName;
    std::string brand;
    double confidence = 0;
    double smoothedRssi = 0;
    double estimatedDistanceMeters = 0;
    Proximity proximity = Proximity::FAR;
    std::int64_t firstSeenMs = 0;
    std::int64_t lastSeenMs = 0;
    bool muted = false;

    GLINTWARD_RECORD(Detection, address, displayName, brand, confidence, smoothedRssi, estimatedDistanceMeters,
                     proximity, firstSeenMs, lastSeenMs, muted)
};

// One device heard in this run; kept after the device leaves the detections.
struct SessionLogEntry {
    std::string address;
    std::string displayName;
    std::string brand;
    std::int64_t firstSeenMs = 0;
    std::int64_t lastSeenMs = 0;
    std::int32_t strongestRssi = 0;

    GLINTWARD_RECORD(SessionLogEntry, address, displayName, brand, firstSeenMs, lastSeenMs, strongestRssi)
};

// The published snapshot of the detection picture.
struct RadarState {
    bool scanning = false;
    ThreatLevel threatLevel = ThreatLevel::CLEAR;
    std::vector<Detection> detections;
    // Shares its entries with the engine's log: publishing after each change copies a block, not the log.
    SharedList<SessionLogEntry> sessionLog;
    std::optional<std::string> lastError;

    GLINTWARD_RECORD(RadarState, scanning, threatLevel, detections, sessionLog, lastError)
};

// The 64-bit difference a - b, wrapping instead of overflowing: the times passed in may be anything.
constexpr std::int64_t elapsedMs(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

}  // namespace glintward
