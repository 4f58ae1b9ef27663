#include "shared/verify/ClassifierPreprocessor.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace glintward {

namespace {

// The largest side whose square still fits a 32-bit signed count.
constexpr std::int32_t MAX_TARGET_SIZE = 46340;
// Three values per pixel must still fit a 32-bit signed count.
constexpr std::size_t MAX_CONVERTED_PIXELS = 715827882;

// Where one output row (or column) samples the crop: the two neighbouring source lines and the weight of the
// second. Depends on the output coordinate alone, so it is worked out once per row and once per column.
struct Tap {
    std::int32_t first;
    std::int32_t second;
    float fraction;
};

Tap tapFor(std::int32_t i, float scale, float maxCoord, std::int32_t side) {
    float s = (static_cast<float>(i) + 0.5f) * scale + (-0.5f);
    if (s < 0.0f) {
        s = 0.0f;
    } else if (s > maxCoord) {
        s = maxCoord;
    }
    // s lies in [0, side - 1], so the conversion is the truncation toward zero.
    const auto first = static_cast<std::int32_t>(s);
    return {first, std::min(first + 1, side - 1), s - static_cast<float>(first)};
}

// One channel of four neighbours: a and b on the upper line, c and d on the lower.
std::uint32_t blend(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, int shift, float fx,
                    float fy) {
    const std::int32_t ca = (a >> shift) & 0xFF;
    const std::int32_t cb = (b >> shift) & 0xFF;
    const std::int32_t cc = (c >> shift) & 0xFF;
    const std::int32_t cd = (d >> shift) & 0xFF;
    const float top = static_cast<float>(ca) + static_cast<float>(cb - ca) * fx;
    const float bottom = static_cast<float>(cc) + static_cast<float>(cd - cc) * fx;
    const float v = ((bottom - top) * fy + top) + 0.5f;
    // v stays within [0, 255.5], so the conversion is the truncation; adding 0.5 first rounds half up.
    const auto n = static_cast<std::int32_t>(v);
    return n > 254 ? 255u : n <= 0 ? 0u : static_cast<std::uint32_t>(n);
}

std::int32_t channel(std::int32_t pixel, int shift) {
    return (pixel >> shift) & 0xFF;
}

void checkConvertible(std::span<const std::int32_t> pixels) {
    if (pixels.size() > MAX_CONVERTED_PIXELS) throw std::invalid_argument("pixel count out of range");
}

}  // namespace

const ClassifierPreprocessor& ClassifierPreprocessor::shared() {
    static const ClassifierPreprocessor instance;
    return instance;
}

std::vector<std::int32_t> ClassifierPreprocessor::centerCropAndResize(const ClassifierInput& input,
                                                                      std::int32_t targetSize) const {
    const std::int32_t w = input.width();
    const std::int32_t h = input.height();
    const std::int32_t t = targetSize;
    // Everything is refused before the output is allocated or a pixel read.
    if (t < 0 || t > MAX_TARGET_SIZE) throw std::invalid_argument("target size out of range");
    // The caller shares the buffer; one resized since the input was made must not be read out of bounds.
    const PixelBuffer& source = *input.pixels();
    if (source.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h)) {
        throw std::invalid_argument("pixel buffer does not match dimensions");
    }
    const std::int32_t side = std::min(w, h);
    if (t == 0) return {};
    if (side == 0) throw std::invalid_argument("cannot clamp to an empty range");

    const std::int32_t cropX = (w - side) / 2;
    const std::int32_t cropY = (h - side) / 2;
    const float scale = static_cast<float>(side) / static_cast<float>(t);
    const float maxCoord = static_cast<float>(side - 1);

    std::vector<std::int32_t> out(static_cast<std::size_t>(t) * static_cast<std::size_t>(t));
    std::vector<Tap> columns(static_cast<std::size_t>(t));
    for (std::int32_t x = 0; x < t; ++x) {
        Tap tap = tapFor(x, scale, maxCoord, side);
        tap.first += cropX;
        tap.second += cropX;
        columns[static_cast<std::size_t>(x)] = tap;
    }

    const std::int32_t* pixels = source.data();
    std::int32_t* target = out.data();
    for (std::int32_t y = 0; y < t; ++y) {
        const Tap row = tapFor(y, scale, maxCoord, side);
        const std::int32_t* upper =
            pixels + static_cast<std::size_t>(cropY + row.first) * static_cast<std::size_t>(w);
        const std::int32_t* lower =
            pixels + static_cast<std::size_t>(cropY + row.second) * static_cast<std::size_t>(w);
        const float fy = row.fraction;
        for (const Tap& column : columns) {
            const std::int32_t p00 = upper[column.first];
            const std::int32_t p10 = upper[column.second];
            const std::int32_t p01 = lower[column.first];
            const std::int32_t p11 = lower[column.second];
            const float fx = column.fraction;
            const std::uint32_t packed = 0xFF000000u | blend(p00, p10, p01, p11, 16, fx, fy) << 16 |
                                         blend(p00, p10, p01, p11, 8, fx, fy) << 8 |
                                         blend(p00, p10, p01, p11, 0, fx, fy);
            *target++ = static_cast<std::int32_t>(packed);
        }
    }
    return out;
}

std::vector<float> ClassifierPreprocessor::toFloatRgb(std::span<const std::int32_t> pixels) const {
    checkConvertible(pixels);
    std::vector<float> out(pixels.size() * 3);
    float* target = out.data();
    for (const std::int32_t pixel : pixels) {
        for (const int shift : {16, 8, 0}) {
            *target++ = static_cast<float>(channel(pixel, shift)) / 127.5f + (-1.0f);
        }
    }
    return out;
}

std::vector<std::uint8_t> ClassifierPreprocessor::toUint8Rgb(std::span<const std::int32_t> pixels) const {
    checkConvertible(pixels);
    std::vector<std::uint8_t> out(pixels.size() * 3);
    std::uint8_t* target = out.data();
    for (const std::int32_t pixel : pixels) {
        for (const int shift : {16, 8, 0}) *target++ = static_cast<std::uint8_t>(channel(pixel, shift));
    }
    return out;
}

}  // namespace glintward
