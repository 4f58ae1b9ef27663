#include "shared/detection/RssiSmoother.h"

#include <cmath>

namespace glintward {

double RssiSmoother::update(std::int32_t rssi) {
    if (!hasValue_) {
        smoothedRssi_ = static_cast<double>(rssi);
        hasValue_ = true;
    } else {
        // Kept in this form: the algebraically equal s + alpha * (r - s) rounds differently.
        smoothedRssi_ = ((1.0 - alpha_) * smoothedRssi_) + (static_cast<double>(rssi) * alpha_);
    }
    return smoothedRssi_;
}

double RssiSmoother::distanceExponent(double smoothedRssi, std::optional<std::int32_t> txPower) {
    const double power = static_cast<double>(txPower.value_or(DEFAULT_TX_POWER_DBM));
    return (power - smoothedRssi) / (10.0 * PATH_LOSS_EXPONENT);
}

double RssiSmoother::estimateDistanceMeters(double smoothedRssi, std::optional<std::int32_t> txPower) {
    return std::pow(10.0, distanceExponent(smoothedRssi, txPower));
}

Proximity RssiSmoother::proximityAt(double smoothedRssi, std::optional<std::int32_t> txPower) {
    const double exponent = distanceExponent(smoothedRssi, txPower);
    // The decimal logarithms of the bands' limits, 1.5 m and 6 m, and a margin far wider than the rounding of
    // the power and of these figures: only an exponent within it needs the power to tell the band.
    constexpr double NEAR_FROM = 0.17609125905568124;
    constexpr double FAR_FROM = 0.7781512503836436;
    constexpr double MARGIN = 1e-9;
    if (exponent < NEAR_FROM - MARGIN) return Proximity::IMMEDIATE;
    if (exponent > NEAR_FROM + MARGIN && exponent < FAR_FROM - MARGIN) return Proximity::NEAR;
    if (exponent > FAR_FROM + MARGIN) return Proximity::FAR;
    return proximityFor(std::pow(10.0, exponent));  // near a limit, and NaN
}

Proximity RssiSmoother::proximityFor(double distanceMeters) {
    if (distanceMeters < 1.5) return Proximity::IMMEDIATE;
    if (distanceMeters < 6.0) return Proximity::NEAR;
    return Proximity::FAR;
}

}  // namespace glintward
