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

double RssiSmoother::estimateDistanceMeters(double smoothedRssi, std::optional<std::int32_t> txPower) {
    const double power = static_cast<double>(txPower.value_or(DEFAULT_TX_POWER_DBM));
    const double exponent = (power - smoothedRssi) / (10.0 * PATH_LOSS_EXPONENT);
    return std::pow(10.0, exponent);
}

Proximity RssiSmoother::proximityFor(double distanceMeters) {
    if (distanceMeters < 1.5) return Proximity::IMMEDIATE;
    if (distanceMeters < 6.0) return Proximity::NEAR;
    return Proximity::FAR;
}

}  // namespace glintward
