#include "shared/verify/Verdict.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/verify/InvalidArgument.h"

#include "shared/verify/ClassifierPreprocessor.h"
#include "shared/verify/GlassesClassifier.h"

namespace glintward {
namespace {

using ::testing::ElementsAre;
using enum VerifyLabel;

TEST(VerifyLabel, AssetNamesInDeclaredOrder) {
    std::vector<std::string_view> names;
    for (const VerifyLabel label : values<VerifyLabel>()) names.push_back(assetName(label));
    EXPECT_THAT(names, ElementsAre("no_glasses", "regular_glasses", "smart_glasses"));
    EXPECT_EQ(ordinal(SMART_GLASSES), 2);
}

TEST(VerifyLabel, FromAssetNameTrimsWhitespaceAndMatchesExactly) {
    const std::pair<std::string, std::optional<VerifyLabel>> cases[] = {
        {"no_glasses", NO_GLASSES},
        {"  smart_glasses\n", SMART_GLASSES},
        {"\t\v\f\rregular_glasses\x1C\x1D\x1E\x1F", REGULAR_GLASSES},
        {"\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8Asmart_glasses\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF",
         SMART_GLASSES},
        {"\xE2\x81\x9F\xE3\x80\x80no_glasses\xE3\x80\x80", NO_GLASSES},
        {"Smart_Glasses", std::nullopt},
        {"smart glasses", std::nullopt},
        {"smart_glasses_v2", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"\xC2\x85smart_glasses", std::nullopt},      // U+0085 is not whitespace here
        {"\xE2\x80\x8Bsmart_glasses", std::nullopt},  // nor is the zero-width space U+200B
        {std::string("smart_glasses\0", 14), std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(fromAssetName(text), expected) << '"' << text << '"';
}

TEST(ParseLabels, ReadsOneLabelPerLineInTheGivenOrder) {
    const std::vector<VerifyLabel> inOrder = {NO_GLASSES, REGULAR_GLASSES, SMART_GLASSES};
    const std::pair<std::string, std::vector<VerifyLabel>> cases[] = {
        {"no_glasses\nregular_glasses\nsmart_glasses\n", inOrder},
        {"no_glasses\r\nregular_glasses\r\nsmart_glasses\r\n", inOrder},
        {"no_glasses\rregular_glasses\rsmart_glasses", inOrder},
        {"\n\nno_glasses\n \t\n\r\nregular_glasses\n\xE3\x80\x80\nsmart_glasses\n\n", inOrder},
        {"  no_glasses \n\tregular_glasses\r\n smart_glasses", inOrder},
        {"smart_glasses\nno_glasses\nregular_glasses", {SMART_GLASSES, NO_GLASSES, REGULAR_GLASSES}},
        {"smart_glasses\nsmart_glasses\nsmart_glasses\n", {SMART_GLASSES, SMART_GLASSES, SMART_GLASSES}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ClassifierOutput::shared().parseLabels(text), expected) << '"' << text << '"';
    }
}

TEST(ParseLabels, AbsentUnlessEveryLineNamesALabelAndThereAreThree) {
    for (const char* text : {
             "no_glasses\nregular_glasses\n",
             "no_glasses\nregular_glasses\nsmart_glasses\nno_glasses\n",
             "no_glasses\nregular_glasses\nsmart_glasses\nsunglasses\n",
             "no_glasses\nsunglasses\nregular_glasses\nsmart_glasses\n",
             "no_glasses regular_glasses smart_glasses",
             "",
             "\n\n\n",
         }) {
        EXPECT_EQ(ClassifierOutput::shared().parseLabels(text), std::nullopt) << '"' << text << '"';
    }
}

TEST(ToResult, PicksTheFirstHighestScoreWithItsShareOfTheSum) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> scores;
        VerifyLabel label;
        float confidence;
    };
    const Case cases[] = {
        {{0.2f, 0.5f, 0.3f}, REGULAR_GLASSES, 0.5f},
        {{0.4f, 0.4f, 0.2f}, NO_GLASSES, 0.4f},
        {{2.0f, 6.0f, 2.0f}, REGULAR_GLASSES, 0.6f},  // raw scores, not probabilities
        {{0.0f, 0.0f, 0.0f}, NO_GLASSES, 0.0f},
        {{2.0f, -1.0f, 0.0f}, NO_GLASSES, 2.0f},    // a negative score pushes the share above 1
        {{-1.0f, -2.0f, -3.0f}, NO_GLASSES, 0.0f},  // no positive sum: +0.0, not -0.0 or a negative share
        {{-3.0f, -2.0f, -1.0f}, SMART_GLASSES, 0.0f},
        // Summed in single precision in index order: 1e8 + 1 rounds back to 1e8.
        {{1e8f, 1.0f, -1e8f}, NO_GLASSES, 0.0f},
        {{1e8f, -1e8f, 1.0f}, NO_GLASSES, 1e8f},
        // A NaN never takes the lead, keeps it at index 0, and makes the sum NaN.
        {{nan, 0.5f, 0.9f}, NO_GLASSES, 0.0f},
        {{0.2f, nan, 0.8f}, SMART_GLASSES, 0.0f},
    };
    const std::vector<VerifyLabel> labels = {NO_GLASSES, REGULAR_GLASSES, SMART_GLASSES};
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifierOutput::shared().toResult(c.scores, labels, 17),
                  (VerifyResult{c.label, c.confidence, 17}))
            << testing::PrintToString(c.scores);
    }
    // The label list, not the order of the entries, names each score.
    const std::vector<VerifyLabel> reordered = {SMART_GLASSES, NO_GLASSES, SMART_GLASSES};
    EXPECT_EQ(ClassifierOutput::shared().toResult(std::vector<float>{0.1f, 0.3f, 0.6f}, reordered,
                                                  INT64_C(1) << 40),
              (VerifyResult{SMART_GLASSES, 0.6f, INT64_C(1) << 40}));
    EXPECT_EQ(ClassifierOutput::shared().toResult(std::vector<float>{3.0f}, std::vector{REGULAR_GLASSES}, 0),
              (VerifyResult{REGULAR_GLASSES, 1.0f, 0}));
}

TEST(ToResult, RefusesMismatchedOrEmptyScores) {
    const ClassifierOutput& output = ClassifierOutput::shared();
    const std::vector<VerifyLabel> three = {NO_GLASSES, REGULAR_GLASSES, SMART_GLASSES};
    EXPECT_EQ(invalidArgumentOf([&] {
                  output.toResult(std::vector{0.5f, 0.5f}, three, 0);
              }),
              "score/label count mismatch");
    EXPECT_EQ(invalidArgumentOf([&] { output.toResult({}, three, 0); }), "score/label count mismatch");
    EXPECT_EQ(invalidArgumentOf([&] { output.toResult({}, {}, 0); }), "empty scores");
}

TEST(VerifyResult, RecordWithAFloatConfidence) {
    EXPECT_EQ((VerifyResult{SMART_GLASSES, 0.4f, 12}).toString(),
              "VerifyResult(label=SMART_GLASSES, confidence=0.4, latencyMs=12)");
    EXPECT_EQ((VerifyResult{NO_GLASSES, 1.0e-4f, -1}).toString(),
              "VerifyResult(label=NO_GLASSES, confidence=1.0E-4, latencyMs=-1)");
    const VerifyResult zero{NO_GLASSES, 0.0f, 5};
    const VerifyResult negativeZero{NO_GLASSES, -0.0f, 5};
    EXPECT_NE(zero, negativeZero);
    EXPECT_NE(zero.hashCode(), negativeZero.hashCode());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ((VerifyResult{NO_GLASSES, nan, 5}), (VerifyResult{NO_GLASSES, nan, 5}));
    EXPECT_NE((VerifyResult{NO_GLASSES, nan, 5}), (VerifyResult{NO_GLASSES, -nan, 5}));
    EXPECT_EQ((VerifyResult{NO_GLASSES, nan, 5}).hashCode(), (VerifyResult{NO_GLASSES, -nan, 5}).hashCode());
}

// A host's classifier as the pieces are meant to be composed: prepare, run a model, read its scores.
class RednessClassifier : public GlassesClassifier {
public:
    VerifyResult classify(const ClassifierInput& input) override {
        const auto& preprocessor = ClassifierPreprocessor::shared();
        const auto tensor = preprocessor.toFloatRgb(
            preprocessor.centerCropAndResize(input, ClassifierPreprocessor::MODEL_INPUT_SIZE));
        // The "model": the mean red channel, moved to 0..1, is the smart-glasses score.
        float red = 0.0f;
        for (std::size_t i = 0; i < tensor.size(); i += 3) red += tensor[i];
        const float smart = (red / (static_cast<float>(tensor.size()) / 3.0f) + 1.0f) / 2.0f;
        const float scores[] = {1.0f - smart, 0.0f, smart};
        return ClassifierOutput::shared().toResult(scores, *labels_, 3);
    }

private:
    std::optional<std::vector<VerifyLabel>> labels_ =
        ClassifierOutput::shared().parseLabels("no_glasses\nregular_glasses\nsmart_glasses\n");
};

TEST(GlassesClassifier, AHostComposesThePieces) {
    RednessClassifier classifier;
    GlassesClassifier& asHost = classifier;
    const auto red =
        std::make_shared<const PixelBuffer>(PixelBuffer(12, static_cast<std::int32_t>(0xFFFF0000)));
    EXPECT_EQ(asHost.classify(ClassifierInput(red, 4, 3)), (VerifyResult{SMART_GLASSES, 1.0f, 3}));
    const auto black =
        std::make_shared<const PixelBuffer>(PixelBuffer(12, static_cast<std::int32_t>(0xFF000000)));
    EXPECT_EQ(asHost.classify(ClassifierInput(black, 3, 4)), (VerifyResult{NO_GLASSES, 1.0f, 3}));
}

}  // namespace
}  // namespace glintward
