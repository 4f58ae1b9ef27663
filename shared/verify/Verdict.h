#pragma once
// The verdict of photo verification (a label with a confidence), and the reading of a classifier's label list
// and raw scores into one.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "shared/record/Record.h"

namespace glintward {

GLINTWARD_ENUM(VerifyLabel, NO_GLASSES, REGULAR_GLASSES, SMART_GLASSES);

// The label's name in a classifier's label list: "no_glasses", "regular_glasses", "smart_glasses".
std::string_view assetName(VerifyLabel label);

// The label whose asset name equals the text with surrounding whitespace trimmed (case-sensitive), or
// nothing.
std::optional<VerifyLabel> fromAssetName(std::string_view name);

struct VerifyResult {
    VerifyLabel label = VerifyLabel::NO_GLASSES;
    float confidence = 0;
    std::int64_t latencyMs = 0;

    GLINTWARD_RECORD(VerifyResult, label, confidence, latencyMs)
};

class ClassifierOutput {
public:
    static const ClassifierOutput& shared();

    // One asset name per line ("\n", "\r\n" or "\r"), blank lines skipped; exactly one label per model
    // output, all recognised, or nothing. Repeated labels are accepted.
    std::optional<std::vector<VerifyLabel>> parseLabels(std::string_view text) const;

    // The label of the highest score (the first on a tie; a NaN never leads) with that score's share of the
    // single-precision sum, or 0 when the sum is not positive. Throws std::invalid_argument with
    // "score/label count mismatch" or "empty scores".
    VerifyResult toResult(std::span<const float> scores, std::span<const VerifyLabel> labels,
                          std::int64_t latencyMs) const;
};

}  // namespace glintward
