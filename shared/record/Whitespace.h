#pragma once
// The one whitespace set of the shared module, for UTF-8 text: the ASCII controls U+0009-U+000D and
// U+001C-U+001F, the space, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
// U+0085 is deliberately not among them, nor are the zero-width characters.

#include <string_view>

namespace glintward::text {

// The text without the whitespace at either end.
std::string_view trimWhitespace(std::string_view text);

// Empty, or whitespace only.
inline bool isBlank(std::string_view text) {
    return trimWhitespace(text).empty();
}

}  // namespace glintward::text
