#include "shared/record/Whitespace.h"

namespace glintward::text {

namespace {

// The characters of the set beyond ASCII, in their UTF-8 forms.
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

}  // namespace

std::string_view trimWhitespace(std::string_view text) {
    while (const std::size_t n = spaceLength(text, false)) text.remove_prefix(n);
    while (const std::size_t n = spaceLength(text, true)) text.remove_suffix(n);
    return text;
}

}  // namespace glintward::text
