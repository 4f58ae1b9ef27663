#pragma once
// Well-formed UTF-8, as text from outside (a response, a device's name) must be checked for it.

#include <cstddef>
#include <string_view>

namespace glintward {

// The length (1 to 4) of the well-formed UTF-8 sequence at the start of `text`, or 0 when none starts there:
// empty text, a stray continuation byte, an overlong form, a surrogate, a value beyond U+10FFFF, or a
// sequence cut short.
std::size_t utf8SequenceLength(std::string_view text);

// Whether the whole text is well-formed UTF-8.
bool isUtf8(std::string_view text);

}  // namespace glintward
