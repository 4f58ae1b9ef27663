#include "app/Views/QmlTokens.h"

#include <cmath>

#include "app/Views/ViewLogic.h"

namespace glintward {

namespace {
// QML numbers are doubles; times arrive as whole milliseconds.
std::int64_t msFrom(qreal value) {
    return std::isfinite(value) ? static_cast<std::int64_t>(std::llround(value)) : 0;
}
}  // namespace

qreal ViewLogicFunctions::easeInOut(qreal t) const { return glintward::easeInOut(t); }

qreal ViewLogicFunctions::easeOut(qreal t) const { return glintward::easeOut(t); }

int ViewLogicFunctions::filledSegments(qreal smoothedRssi, int segments) const {
    return glintward::filledSegments(smoothedRssi, segments);
}

QString ViewLogicFunctions::proximityLabel(int proximity, qreal estimatedDistanceMeters) const {
    const auto entries = values<Proximity>();
    const Proximity p = proximity >= 0 && proximity < static_cast<int>(entries.size())
                            ? entries[static_cast<std::size_t>(proximity)]
                            : Proximity::FAR;
    return glintward::proximityLabel(p, estimatedDistanceMeters);
}

QString ViewLogicFunctions::signalReading(qreal smoothedRssi) const {
    return glintward::signalReading(smoothedRssi);
}

QString ViewLogicFunctions::drawnSessionLogLine(qreal firstSeenMs, qreal lastSeenMs,
                                                int strongestRssi) const {
    return glintward::drawnSessionLogLine(msFrom(firstSeenMs), msFrom(lastSeenMs), strongestRssi);
}

}  // namespace glintward
