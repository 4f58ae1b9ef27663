#include "shared/verify/ClassifierInput.h"

#include <limits>
#include <stdexcept>

#include "shared/record/Record.h"

namespace glintward {

namespace {

// Checked in 64 bits: a product wrapped to 32 bits could match a small buffer and send reads past its end.
bool matches(const std::shared_ptr<const PixelBuffer>& pixels, std::int32_t width, std::int32_t height) {
    if (!pixels || width < 0 || height < 0) return false;
    const std::int64_t count = std::int64_t{width} * height;
    return count <= std::numeric_limits<std::int32_t>::max() &&
           static_cast<std::uint64_t>(count) == pixels->size();
}

}  // namespace

ClassifierInput::ClassifierInput(std::shared_ptr<const PixelBuffer> pixels, std::int32_t width,
                                 std::int32_t height)
    : pixels_(std::move(pixels)), width_(width), height_(height) {
    if (!matches(pixels_, width_, height_)) {
        throw std::invalid_argument("pixel buffer does not match dimensions");
    }
}

ClassifierInput ClassifierInput::copy(std::optional<std::shared_ptr<const PixelBuffer>> pixels,
                                      std::optional<std::int32_t> width,
                                      std::optional<std::int32_t> height) const {
    return ClassifierInput(std::move(pixels).value_or(pixels_), width.value_or(width_),
                           height.value_or(height_));
}

std::int32_t ClassifierInput::hashCode() const {
    return record::combine(width_, height_);
}

std::string ClassifierInput::toString() const {
    std::string out = "ClassifierInput(pixels=";
    record::appendSequence(out, *pixels_);
    out += ", width=";
    out += std::to_string(width_);
    out += ", height=";
    out += std::to_string(height_);
    out += ')';
    return out;
}

std::ostream& operator<<(std::ostream& out, const ClassifierInput& input) {
    return out << input.toString();
}

}  // namespace glintward
