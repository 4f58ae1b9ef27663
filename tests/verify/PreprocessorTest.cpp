#include "shared/verify/ClassifierPreprocessor.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/verify/InvalidArgument.h"

#include "shared/verify/ClassifierInput.h"

namespace glintward {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::shared_ptr<const PixelBuffer> buffer(PixelBuffer pixels) {
    return std::make_shared<const PixelBuffer>(std::move(pixels));
}

constexpr std::int32_t argb(std::uint32_t value) {
    return static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> resize(const ClassifierInput& input, std::int32_t targetSize) {
    return ClassifierPreprocessor::shared().centerCropAndResize(input, targetSize);
}

// ---- ClassifierInput ------------------------------------------------------------------------------------

TEST(ClassifierInput, RefusesABufferThatDoesNotMatchItsDimensions) {
    struct Case {
        const char* what;
        std::size_t pixels;
        std::int32_t width;
        std::int32_t height;
    };
    const Case refused[] = {
        {"too few pixels", 3, 2, 2},
        {"too many pixels", 5, 2, 2},
        {"negative dimensions whose product matches", 1, -1, -1},
        {"a negative dimension with an empty buffer", 0, 0, -5},
        {"a product that matches only when wrapped to 32 bits", 65536, 65536, 65537},
    };
    for (const Case& c : refused) {
        const auto pixels = buffer(PixelBuffer(c.pixels));
        EXPECT_EQ(invalidArgumentOf([&] { (void)ClassifierInput(pixels, c.width, c.height); }),
                  "pixel buffer does not match dimensions")
            << c.what;
    }
    EXPECT_EQ(invalidArgumentOf([] { (void)ClassifierInput(nullptr, 0, 0); }),
              "pixel buffer does not match dimensions");

    const ClassifierInput empty(buffer({}), 0, 5);
    EXPECT_EQ(empty.width(), 0);
    const ClassifierInput square(buffer({1, 2, 3, 4}), 2, 2);
    EXPECT_EQ(invalidArgumentOf([&] { (void)square.copy(std::nullopt, 3); }),
              "pixel buffer does not match dimensions");
    const ClassifierInput wide = square.copy(std::nullopt, 4, 1);
    EXPECT_EQ(wide.pixels(), square.pixels());
    EXPECT_EQ(wide.width(), 4);
    EXPECT_EQ(wide.height(), 1);
}

TEST(ClassifierInput, EqualOnlyToItselfWithAHashOfItsDimensions) {
    const auto pixels = buffer({1, 2, 3, 4, 5, 6});
    const ClassifierInput a(pixels, 2, 3);
    const ClassifierInput b(buffer({1, 2, 3, 4, 5, 6}), 2, 3);
    EXPECT_EQ(a, a);
    EXPECT_NE(a, b);
    EXPECT_NE(a, a.copy());
    EXPECT_EQ(a.hashCode(), 2 * 31 + 3);
    EXPECT_EQ(a.hashCode(), b.hashCode());
    EXPECT_EQ(ClassifierInput(buffer({}), std::numeric_limits<std::int32_t>::max(), 0).hashCode(),
              2147483617);          // wraps
    EXPECT_EQ(a.pixels(), pixels);  // the caller's buffer itself, not a copy
}

TEST(ClassifierInput, TextListsPixelsAsSignedIntegers) {
    const ClassifierInput input(buffer({argb(0xFF000000), 0x00FF0000}), 2, 1);
    EXPECT_EQ(input.toString(), "ClassifierInput(pixels=[-16777216, 16711680], width=2, height=1)");
    EXPECT_EQ(ClassifierInput(buffer({}), 0, 0).toString(), "ClassifierInput(pixels=[], width=0, height=0)");
}

// ---- centerCropAndResize --------------------------------------------------------------------------------

TEST(CenterCropAndResize, AtItsOwnSizeReturnsTheCentredSquareWithAlphaForced) {
    // Each pixel's low byte names its column, the next its row; alpha varies and must come out as 0xFF.
    auto frame = [](std::int32_t w, std::int32_t h) {
        PixelBuffer pixels;
        for (std::int32_t r = 0; r < h; ++r) {
            for (std::int32_t c = 0; c < w; ++c) pixels.push_back((r * 7 % 256) << 24 | r << 8 | c);
        }
        return pixels;
    };
    struct Case {
        std::int32_t width;
        std::int32_t height;
        std::vector<std::int32_t> expected;
    };
    const Case cases[] = {
        {3,
         3,
         {argb(0xFF000000), argb(0xFF000001), argb(0xFF000002), argb(0xFF000100), argb(0xFF000101),
          argb(0xFF000102), argb(0xFF000200), argb(0xFF000201), argb(0xFF000202)}},
        // cropX 1: columns 1 and 2 only.
        {4, 2, {argb(0xFF000001), argb(0xFF000002), argb(0xFF000101), argb(0xFF000102)}},
        // cropX 1 again: the extra column goes to the right margin.
        {5, 2, {argb(0xFF000001), argb(0xFF000002), argb(0xFF000101), argb(0xFF000102)}},
        // cropY 1: rows 1 and 2, the bottom margin the wider.
        {2, 5, {argb(0xFF000100), argb(0xFF000101), argb(0xFF000200), argb(0xFF000201)}},
    };
    for (const Case& c : cases) {
        const ClassifierInput input(buffer(frame(c.width, c.height)), c.width, c.height);
        EXPECT_THAT(resize(input, std::min(c.width, c.height)), ElementsAreArray(c.expected))
            << c.width << " x " << c.height;
    }
}

TEST(CenterCropAndResize, OnePixelFillsTheModelInput) {
    const ClassifierInput input(buffer({0x00123456}), 1, 1);
    const auto out = resize(input, ClassifierPreprocessor::MODEL_INPUT_SIZE);
    EXPECT_EQ(out.size(), 224u * 224u);
    EXPECT_THAT(out, Each(argb(0xFF123456)));
}

TEST(CenterCropAndResize, HalvingAveragesEachBlockRoundingHalfUp) {
    // In the block of output (x, y): red k, k + 1, k, k + 1 with k = (x + y) % 250 (mean k + 0.5), green 0,
    // 20, 40, 60 (mean 30), blue 0, 0, 0, 3 (mean 0.75).
    constexpr std::int32_t SIDE = 448;
    PixelBuffer pixels;
    for (std::int32_t r = 0; r < SIDE; ++r) {
        for (std::int32_t c = 0; c < SIDE; ++c) {
            const std::int32_t red = (c / 2 + r / 2) % 250 + c % 2;
            const std::int32_t green = ((r % 2) * 2 + c % 2) * 20;
            const std::int32_t blue = (r % 2 == 1 && c % 2 == 1) ? 3 : 0;
            pixels.push_back(red << 16 | green << 8 | blue);
        }
    }
    const auto out = resize(ClassifierInput(buffer(std::move(pixels)), SIDE, SIDE), 224);
    ASSERT_EQ(out.size(), 224u * 224u);
    for (std::int32_t y = 0; y < 224; ++y) {
        for (std::int32_t x = 0; x < 224; ++x) {
            const std::int32_t red = (x + y) % 250 + 1;
            ASSERT_EQ(out[static_cast<std::size_t>(y * 224 + x)], argb(0xFF001E01u | red << 16))
                << x << ", " << y;
        }
    }
}

TEST(CenterCropAndResize, BlendsChannelsAndRoundsHalfUp) {
    // A 2 x 2 frame to one pixel samples its centre: fx = fy = 0.5. Each case sets one channel of the four
    // pixels.
    struct Case {
        std::int32_t p00, p10, p01, p11;
        std::int32_t expected;
    };
    const Case cases[] = {
        {0, 255, 0, 255, 128},  // 127.5 rounds up
        {0, 1, 0, 0, 0},        // 0.25
        {1, 1, 1, 0, 1},        // 0.75
        {255, 255, 255, 255, 255}, {10, 20, 30, 40, 25},
    };
    for (const int shift : {16, 8, 0}) {
        for (const Case& c : cases) {
            const ClassifierInput input(
                buffer({c.p00 << shift, c.p10 << shift, c.p01 << shift, c.p11 << shift}), 2, 2);
            EXPECT_THAT(resize(input, 1),
                        ElementsAre(argb(0xFF000000u | static_cast<std::uint32_t>(c.expected) << shift)))
                << "shift " << shift << ", expected " << c.expected;
        }
    }
}

TEST(CenterCropAndResize, RoundsEveryFloatOperationOnItsOwn) {
    // Upscaling 2 x 2 to 5 x 5 with these colours lands one output pixel each on a rounding boundary where a
    // fused multiply-add in the sample coordinate, in either horizontal blend or in the vertical blend, or a
    // blend in double precision, would give a different channel value.
    const ClassifierInput input(
        buffer({argb(0xFFA57B43), argb(0xFF903575), argb(0xFF3D4636), argb(0xFF289039)}), 2, 2);
    const std::uint32_t expected[] = {
        0xFFA57B43, 0xFFA37448, 0xFF9B585C, 0xFF923C70, 0xFF903575,  //
        0xFF9B7642, 0xFF997046, 0xFF905A58, 0xFF88446A, 0xFF863E6F,  //
        0xFF71613D, 0xFF6F613F, 0xFF67624A, 0xFF5E6254, 0xFF5C6357,  //
        0xFF474B37, 0xFF455138, 0xFF3D693B, 0xFF35813E, 0xFF32873F,  //
        0xFF3D4636, 0xFF3B4D36, 0xFF336B38, 0xFF2A8939, 0xFF289039,
    };
    std::vector<std::int32_t> want;
    for (const std::uint32_t p : expected) want.push_back(argb(p));
    EXPECT_THAT(resize(input, 5), ElementsAreArray(want));
}

TEST(CenterCropAndResize, RefusesSizesOutsideItsRangeBeforeReading) {
    const ClassifierInput frame(buffer({1, 2, 3, 4}), 2, 2);
    for (const std::int32_t size : {-1, -46340, 46341, std::numeric_limits<std::int32_t>::max(),
                                    std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(invalidArgumentOf([&] { resize(frame, size); }), "target size out of range") << size;
    }

    // An empty frame gives an empty output at size 0 but has nothing to sample for a positive size.
    const ClassifierInput empty(buffer({}), 0, 5);
    EXPECT_TRUE(resize(empty, 0).empty());
    EXPECT_TRUE(resize(frame, 0).empty());
    EXPECT_THROW(resize(empty, 1), std::invalid_argument);
    EXPECT_THROW(resize(ClassifierInput(buffer({}), 5, 0), 224), std::invalid_argument);

    // The buffer is the caller's: one that shrank after the input was made must not be read past its end.
    auto shared = std::make_shared<PixelBuffer>(PixelBuffer{1, 2, 3, 4});
    const ClassifierInput shrunk(shared, 2, 2);
    shared->resize(1);
    EXPECT_EQ(invalidArgumentOf([&] { resize(shrunk, 2); }), "pixel buffer does not match dimensions");
}

// ---- conversions ----------------------------------------------------------------------------------------

TEST(Conversions, SplitPixelsIntoInterleavedRgbDroppingAlpha) {
    const std::vector<std::int32_t> pixels = {argb(0xFF804000), argb(0x7F30FF00)};
    // c / 127.5 - 1 in single precision: 128 and 64 differ from the value computed in double, 48 from a
    // multiplication by the reciprocal.
    EXPECT_THAT(ClassifierPreprocessor::shared().toFloatRgb(pixels),
                ElementsAre(0x1.0102p-8f, -0x1.fdfdfcp-2f, -1.0f, -0x1.3f3f4p-1f, 1.0f, -1.0f));
    EXPECT_THAT(ClassifierPreprocessor::shared().toUint8Rgb(pixels),
                ElementsAre(0x80, 0x40, 0x00, 0x30, 0xFF, 0x00));
}

TEST(Conversions, RefuseMorePixelsThanThreeValuesEachCanCount) {
    // The span claims more pixels than exist; the size must be refused before any is read or anything
    // allocated.
    const std::int32_t pixel = 0;
    const std::span<const std::int32_t> tooMany(&pixel, 715827883);
    EXPECT_EQ(invalidArgumentOf([&] { ClassifierPreprocessor::shared().toFloatRgb(tooMany); }),
              "pixel count out of range");
    EXPECT_EQ(invalidArgumentOf([&] { ClassifierPreprocessor::shared().toUint8Rgb(tooMany); }),
              "pixel count out of range");
}

}  // namespace
}  // namespace glintward
