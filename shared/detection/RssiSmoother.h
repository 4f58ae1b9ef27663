#pragma once
// Exponential smoothing of one device's RSSI readings, and the log-distance path-loss model that turns a
// smoothed RSSI into metres and metres into a proximity band.

#include <cstdint>
#include <optional>

#include "shared/detection/Records.h"

namespace glintward {

class RssiSmoother {
public:
    // The RSSI expected at one metre when the advertisement carries no transmit power.
    static constexpr std::int32_t DEFAULT_TX_POWER_DBM = -59;

    explicit RssiSmoother(double alpha) : alpha_(alpha) {}

    // Feeds one reading; the first is taken unchanged.
    double update(std::int32_t rssi);
    double smoothedRssi() const { return smoothedRssi_; }
    double alpha() const { return alpha_; }

    static double estimateDistanceMeters(double smoothedRssi, std::optional<std::int32_t> txPower);
    static Proximity proximityFor(double distanceMeters);
    // proximityFor(estimateDistanceMeters(smoothedRssi, txPower)), without taking the power where the band is
    // plain from the exponent: the engine asks it for every advertisement.
    static Proximity proximityAt(double smoothedRssi, std::optional<std::int32_t> txPower);

private:
    static double distanceExponent(double smoothedRssi, std::optional<std::int32_t> txPower);

    // Free space: the distance grows tenfold every 10 x n dB.
    static constexpr double PATH_LOSS_EXPONENT = 2.0;

    double alpha_;
    double smoothedRssi_ = 0.0;
    bool hasValue_ = false;
};

}  // namespace glintward
