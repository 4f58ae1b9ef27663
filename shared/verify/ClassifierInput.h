#pragma once
// One camera frame as handed to a photo classifier: packed 0xAARRGGBB pixels, row-major, stride = width.

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace glintward {

using PixelBuffer = std::vector<std::int32_t>;

// Holds the caller's buffer itself, never a copy. Compared by identity (two inputs over equal pixels are
// still different frames), so it can be neither copied nor moved; copy() makes a new, checked input.
class ClassifierInput {
public:
    // Throws std::invalid_argument("pixel buffer does not match dimensions") unless the buffer exists, both
    // dimensions are non-negative, and width × height fits 32 bits and equals the buffer's size.
    ClassifierInput(std::shared_ptr<const PixelBuffer> pixels, std::int32_t width, std::int32_t height);
    ClassifierInput(const ClassifierInput&) = delete;
    ClassifierInput& operator=(const ClassifierInput&) = delete;

    const std::shared_ptr<const PixelBuffer>& pixels() const { return pixels_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }

    // A new input with the given fields replaced, checked as the constructor checks.
    ClassifierInput copy(std::optional<std::shared_ptr<const PixelBuffer>> pixels = std::nullopt,
                         std::optional<std::int32_t> width = std::nullopt,
                         std::optional<std::int32_t> height = std::nullopt) const;

    // width × 31 + height: equal for equal dimensions, which identity equality allows.
    std::int32_t hashCode() const;
    std::string toString() const;

    friend bool operator==(const ClassifierInput& a, const ClassifierInput& b) { return &a == &b; }

private:
    std::shared_ptr<const PixelBuffer> pixels_;
    std::int32_t width_;
    std::int32_t height_;
};

std::ostream& operator<<(std::ostream& out, const ClassifierInput& input);

}  // namespace glintward
