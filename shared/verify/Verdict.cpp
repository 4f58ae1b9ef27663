#include "shared/verify/Verdict.h"

#include <stdexcept>

namespace glintward {

namespace {

// Whitespace is the ASCII controls U+0009-U+000D and U+001C-U+001F, the space, and these Unicode spaces and
// separators in their UTF-8 forms (U+0085 is deliberately not among them).
// clang-format off
constexpr std::string_view WIDE_SPACES[] = {
    "\xC2\xA0",                                                                       // U+00A0
    "\xE1\x9A\x80",                                                                   // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",  // U+2000 to U+2004
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",  // U+2005 to U+2009
    "\xE2\x80\x8A",                                                                   // U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",                    // U+2028 2029 202F 205F
    "\xE3\x80\x80",                                                                   // U+3000
};
// clang-format on

bool isAsciiSpace(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x09 && u <= 0x0D) || (u >= 0x1C && u <= 0x20);
}

// The byte length of the whitespace character that s starts with (atEnd: ends with), or 0.
std::size_t spaceLength(std::string_view s, bool atEnd) {
    if (s.empty()) return 0;
    if (isAsciiSpace(atEnd ? s.back() : s.front())) return 1;
    for (const std::string_view space : WIDE_SPACES) {
        if (atEnd ? s.ends_with(space) : s.starts_with(space)) return space.size();
    }
    return 0;
}

std::string_view trimWhitespace(std::string_view s) {
    while (const std::size_t n = spaceLength(s, false)) s.remove_prefix(n);
    while (const std::size_t n = spaceLength(s, true)) s.remove_suffix(n);
    return s;
}

}  // namespace

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
    const std::string_view trimmed = trimWhitespace(name);
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
        if (trimWhitespace(line).empty()) continue;
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
