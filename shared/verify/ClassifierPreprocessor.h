#pragma once
// Brings a camera frame to a classifier's square input: centre crop, bilinear resize, and conversion of
// packed pixels to interleaved RGB tensors (normalised floats or raw bytes). Pure computation, no state.

#include <cstdint>
#include <span>
#include <vector>

#include "shared/verify/ClassifierInput.h"

namespace glintward {

class ClassifierPreprocessor {
public:
    // The side of the square input the classifier takes.
    static constexpr std::int32_t MODEL_INPUT_SIZE = 224;

    static const ClassifierPreprocessor& shared();

    // The centred square of the frame resized to targetSize × targetSize opaque pixels (row-major), sampled
    // at half-pixel centres with the crop's edge pixels repeated. Throws std::invalid_argument for a target
    // size outside 0..46340 (its square must fit 32 bits) and for an empty frame with a positive target size.
    std::vector<std::int32_t> centerCropAndResize(const ClassifierInput& input,
                                                  std::int32_t targetSize) const;

    // R, G, B of each pixel mapped from 0..255 to -1..1. Throws std::invalid_argument beyond 715827882
    // pixels.
    std::vector<float> toFloatRgb(std::span<const std::int32_t> pixels) const;

    // R, G, B of each pixel as raw bytes. Throws std::invalid_argument beyond 715827882 pixels.
    std::vector<std::uint8_t> toUint8Rgb(std::span<const std::int32_t> pixels) const;
};

}  // namespace glintward
