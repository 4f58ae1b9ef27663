#include "shared/verify/Verdict.h"

#include <stdexcept>

#include "shared/record/Whitespace.h"

namespace glintward {

std::string_view assetName(VerifyLabel label) {
    switch (label) {
        case VerifyLabel::NO_GLASSES:
            return "no_glasses";
        case VerifyLabel::REGULAR_GLASSES:
            return "regular_glasses";
        case VerifyLabel::SMART_GLASSES:
            return "smart_glasses";
    }
    return {};
}

std::optional<VerifyLabel> fromAssetName(std::string_view name) {
    const std::string_view trimmed = text::trimWhitespace(name);
    for (const VerifyLabel label : values<VerifyLabel>()) {
        if (assetName(label) == trimmed) return label;
    }
    return std::nullopt;
}

const ClassifierOutput& ClassifierOutput::shared() {
    static const ClassifierOutput instance;
    return instance;
}

std::optional<std::vector<VerifyLabel>> ClassifierOutput::parseLabels(std::string_view text) const {
    constexpr std::size_t LABEL_COUNT = values<VerifyLabel>().size();
    std::vector<VerifyLabel> labels;
    std::size_t start = 0;
    for (bool more = true; more;) {
        const std::size_t end = text.find_first_of("\r\n", start);
        std::string_view line;
        if (end == std::string_view::npos) {
            line = text.substr(start);
            more = false;
        } else {
            line = text.substr(start, end - start);
            start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        }
        if (text::isBlank(line)) continue;
        const std::optional<VerifyLabel> label = fromAssetName(line);
        // A list longer than the model's outputs is refused anyway; stopping early bounds the work.
        if (!label || labels.size() == LABEL_COUNT) return std::nullopt;
        labels.push_back(*label);
    }
    if (labels.size() != LABEL_COUNT) return std::nullopt;
    return labels;
}

VerifyResult ClassifierOutput::toResult(std::span<const float> scores, std::span<const VerifyLabel> labels,
                                        std::int64_t latencyMs) const {
    if (scores.size() != labels.size()) throw std::invalid_argument("score/label count mismatch");
    if (scores.empty()) throw std::invalid_argument("empty scores");
    std::size_t best = 0;
    for (std::size_t i = 1; i < scores.size(); ++i) {
        if (scores[i] > scores[best]) best = i;
    }
    // Summed in index order in single precision, as the model's scores are.
    float sum = 0.0f;
    for (const float score : scores) sum += score;
    const float confidence = sum > 0.0f ? scores[best] / sum : 0.0f;
    return VerifyResult{labels[best], confidence, latencyMs};
}

}  // namespace glintward
