#include "shared/record/Record.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace glintward::record {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes one code point at s[i], advancing i; a malformed sequence yields U+FFFD and skips one byte.
char32_t decode(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    int length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        ++i;
        return REPLACEMENT;
    }
    if (i + length > s.size()) {
        ++i;
        return REPLACEMENT;
    }
    for (int k = 1; k < length; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return REPLACEMENT;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return REPLACEMENT;
    }
    i += length;
    return cp;
}

template <class F>
void appendShortest(std::string& out, F value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "Infinity" : "-Infinity";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // Scientific form gives the shortest round-trip digits and the exponent: [-]d[.ddd]e[+-]xx.
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') digits += c;
    }
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());

    if (std::signbit(value)) out += '-';
    const F magnitude = std::fabs(value);
    if (magnitude >= F(1e-3) && magnitude < F(1e7)) {
        if (exponent >= 0) {
            const auto whole = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= whole) {
                out += digits;
                out.append(whole - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, whole);
                out += '.';
                out.append(digits, whole);
            }
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out += digits[0];
        out += '.';
        out += digits.size() > 1 ? digits.substr(1) : "0";
        out += 'E';
        out += std::to_string(exponent);
    }
}

}  // namespace

std::int32_t hashText(std::string_view utf8) {
    std::uint32_t h = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            h = 31u * h + c;
            ++i;
            continue;
        }
        char32_t cp = decode(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            h = 31u * h + (0xD800u + (cp >> 10));
            h = 31u * h + (0xDC00u + (cp & 0x3FF));
        } else {
            h = 31u * h + cp;
        }
    }
    return static_cast<std::int32_t>(h);
}

void appendDouble(std::string& out, double value) { appendShortest(out, value); }
void appendFloat(std::string& out, float value) { appendShortest(out, value); }

}  // namespace glintward::record
