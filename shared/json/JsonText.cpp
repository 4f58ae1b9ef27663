#include "shared/json/JsonText.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

namespace glintward {
namespace {

// Whether the parser's conversion of a number token (strtod, in the C locale's notation) overflows a double,
// so that it refuses the number. from_chars answers for most numbers without a copy, but out of range it does
// not tell too large from too close to zero, which the parser takes for 0.
bool overflows(std::string_view number) {
    double value;
    if (std::from_chars(number.data(), number.data() + number.size(), value).ec !=
        std::errc::result_out_of_range) {
        return false;
    }
    static const locale_t C_NUMERIC = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    return std::isinf(strtod_l(std::string(number).c_str(), nullptr, C_NUMERIC));
}

}  // namespace

[[gnu::noinline]] char JsonTextScanner::rewritten(std::size_t position) const {
    if (rewrite_ == Rewrite::NUMBER) return position == regionBegin_ + 1 ? 'e' : '0';
    return "uFFFD"[position - regionBegin_];
}

// Whether the lexer starts a token at p, unless the text is malformed before it (a digit in "nu1" is not the
// start of a number, and is the lexer's to report as it is).
bool JsonTextScanner::startsToken(std::size_t p) const {
    return p == 0 || std::string_view(" \t\n\r[,:").find(text_[p - 1]) != std::string_view::npos;
}

// The number token starting at p, as JSON's grammar and nlohmann's lexer delimit it; a malformed one is left
// for the lexer to report.
[[gnu::noinline]] void JsonTextScanner::number(std::size_t p) {
    std::size_t q = p;
    auto digits = [&] {
        const std::size_t from = q;
        while (q < text_.size() && text_[q] >= '0' && text_[q] <= '9') ++q;
        return q > from;
    };
    if (text_[q] == '-') ++q;
    if (q < text_.size() && text_[q] == '0') {
        ++q;
    } else if (!digits()) {
        return;
    }
    if (q < text_.size() && text_[q] == '.') {
        ++q;
        if (!digits()) return;
    }
    if (q < text_.size() && (text_[q] == 'e' || text_[q] == 'E')) {
        ++q;
        if (q < text_.size() && (text_[q] == '+' || text_[q] == '-')) ++q;
        if (!digits()) return;
    }
    // Only a whole value is rewritten: a number followed by anything but what may follow a value makes the
    // text malformed right there, and the lexer reports it as it stands. An overflowing number has at least
    // five characters ("1e309"), room for "0e0".
    const bool whole =
        q == text_.size() || std::string_view(" \t\n\r,]}").find(text_[q]) != std::string_view::npos;
    region(p, q, whole && overflows(text_.substr(p, q - p)) ? Rewrite::NUMBER : Rewrite::NONE);
}

// "\uXXXX" with p at the "u".
[[gnu::noinline]] void JsonTextScanner::escape(std::size_t p) {
    const auto unit = [&](std::size_t at) -> std::optional<unsigned> {
        if (at + 4 > text_.size()) return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text_.data() + at, text_.data() + at + 4, value, 16);
        if (error != std::errc() || end != text_.data() + at + 4) return std::nullopt;
        return value;
    };
    const std::optional<unsigned> first = unit(p + 1);
    if (!first || *first < 0xD800 || *first > 0xDFFF) return;
    if (*first <= 0xDBFF && text_.substr(p + 5, 2) == "\\u") {
        const std::optional<unsigned> second = unit(p + 7);
        // A broken escape after it fails the document anyway; left as it is, the message shows the text.
        if (!second) return;
        if (*second >= 0xDC00 && *second <= 0xDFFF) {
            region(p, p + 11, Rewrite::NONE);  // a proper pair
            return;
        }
    }
    region(p, p + 5, Rewrite::SURROGATE);
}

}  // namespace glintward
