#pragma once
// Diagnostic lines carry text from anywhere (a device chooses its own name), and each must stay one line that
// nobody can forge: the escaping every line passes through before it is written, and the standard-error
// writer.

#include <string>
#include <string_view>

namespace glintward {

// `text` as one line: line breaks, tabs and every other control character (U+0000-U+001F, U+007F,
// U+0080-U+009F, U+2028, U+2029), and the invisible characters that reorder or hide what a terminal shows
// (bidirectional controls U+202A-U+202E and U+2066-U+2069, zero-width characters and marks U+200B-U+200F,
// U+2060-U+2064, U+FEFF), become visible escapes ("\n", "\r", "\t", "\x1b", "\u0085", "\u202e"), a backslash
// becomes "\\" so no escape can be faked, and each byte that is not valid UTF-8 becomes "\xNN". Other text,
// letters of any script included, stays as it is. Returns `text` itself when nothing needs escaping (no
// copy), otherwise the escaped text, built in `storage`.
std::string_view asOneLine(std::string_view text, std::string& storage);

// Writes every byte to the descriptor, resuming after interruptions and short writes; false when a write
// fails.
bool writeAll(int fd, std::string_view bytes);

// Writes the line and a line break to standard error, in one write where the system allows. The line should
// already have been through asOneLine.
void writeStandardErrorLine(std::string_view line);

}  // namespace glintward
