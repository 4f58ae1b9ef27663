#include "app/Views/QmlTokens.h"

#include <QEasingCurve>
#include <QPointF>
#include <algorithm>

#include <cmath>

#include "app/Views/ViewLogic.h"

namespace glintward {

namespace {
// QML numbers are doubles; times arrive as whole milliseconds.
std::int64_t msFrom(qreal value) {
    return std::isfinite(value) ? static_cast<std::int64_t>(std::llround(value)) : 0;
}
}  // namespace

namespace {
QEasingCurve cubicBezier(qreal x1, qreal y1, qreal x2, qreal y2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1, 1));
    return curve;
}
}  // namespace

qreal ViewLogicFunctions::easeInOut(qreal t) const {
    static const QEasingCurve curve = cubicBezier(0.42, 0, 0.58, 1);
    return curve.valueForProgress(std::clamp<qreal>(t, 0, 1));
}

qreal ViewLogicFunctions::easeOut(qreal t) const {
    static const QEasingCurve curve = cubicBezier(0, 0, 0.58, 1);
    return curve.valueForProgress(std::clamp<qreal>(t, 0, 1));
}

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
