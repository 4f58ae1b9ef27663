#include "app/platform/LogLine.h"

#include <unistd.h>

#include <cerrno>

#include "app/platform/Utf8.h"

namespace glintward {

namespace {

using Byte = unsigned char;

bool isPlainAscii(Byte b) {
    return b >= 0x20 && b < 0x7F && b != '\\';
}

constexpr char HEX[] = "0123456789abcdef";

// "\xNN" for the byte, in `buffer`.
std::string_view hexEscape(char (&buffer)[6], Byte b) {
    buffer[0] = '\\';
    buffer[1] = 'x';
    buffer[2] = HEX[b >> 4];
    buffer[3] = HEX[b & 0xF];
    return {buffer, 4};
}

// "\uNNNN" for a code point of the Basic Multilingual Plane, in `buffer`.
std::string_view unicodeEscape(char (&buffer)[6], unsigned codePoint) {
    buffer[0] = '\\';
    buffer[1] = 'u';
    for (int i = 0; i < 4; ++i) buffer[2 + i] = HEX[(codePoint >> (12 - 4 * i)) & 0xF];
    return {buffer, 6};
}

// Characters that draw nothing yet change what a terminal shows of the rest of the line: the bidirectional
// embeddings, overrides and isolates, the zero-width characters and marks, the invisible operators and the
// byte-order mark. U+2028 and U+2029 break the line.
bool isInvisibleControl(unsigned c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// One character of the text as a line writes it: the bytes it takes, and the escape written in its place
// (empty when it stands as it is).
struct Written {
    std::size_t length;
    std::string_view escape;
};

// The well-formed sequence of `length` bytes at the start of `text`, led by 0xC2, 0xE2 or 0xEF. Kept out of
// line: ordinary text of any script rarely reaches it, and the common path stays small.
[[gnu::noinline]] Written writtenRare(std::string_view text, std::size_t length, char (&buffer)[6]) {
    const Byte b = static_cast<Byte>(text[0]);
    // The C1 controls U+0080-U+009F are written by code point, so that U+0085 and a stray byte 0x85 differ.
    if (length == 2) {
        const Byte second = static_cast<Byte>(text[1]);
        return second <= 0x9F ? Written{2, unicodeEscape(buffer, second)} : Written{2, {}};
    }
    const unsigned c =
        (b & 0x0Fu) << 12 | (static_cast<Byte>(text[1]) & 0x3Fu) << 6 | (static_cast<Byte>(text[2]) & 0x3Fu);
    return {3, isInvisibleControl(c) ? unicodeEscape(buffer, c) : std::string_view{}};
}

// The character at the start of `text`, which is not plain ASCII.
Written written(std::string_view text, char (&buffer)[6]) {
    const Byte b = static_cast<Byte>(text[0]);
    switch (b) {
        case '\n':
            return {1, "\\n"};
        case '\r':
            return {1, "\\r"};
        case '\t':
            return {1, "\\t"};
        case '\\':
            return {1, "\\\\"};
        default:
            break;
    }
    if (b < 0x80) return {1, hexEscape(buffer, b)};
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) return {1, hexEscape(buffer, b)};
    // Only sequences led by these bytes can be characters that are escaped.
    if (b == 0xC2 || b == 0xE2 || b == 0xEF) return writtenRare(text, length, buffer);
    return {length, {}};
}

// The end of the run of plain ASCII that starts at `from`.
std::size_t plainRunEnd(std::string_view text, std::size_t from) {
    while (from < text.size() && isPlainAscii(static_cast<Byte>(text[from]))) ++from;
    return from;
}

}  // namespace

std::string_view asOneLine(std::string_view text, std::string& storage) {
    char buffer[6];
    Written character{};
    // Up to the first character that needs an escape the text stands as it is, and is not copied.
    std::size_t i = 0;
    for (;;) {
        i = plainRunEnd(text, i);
        if (i == text.size()) return text;
        character = written(text.substr(i), buffer);
        if (!character.escape.empty()) break;
        i += character.length;
    }
    storage.clear();
    storage.reserve(text.size() + 16);
    storage.append(text.substr(0, i));
    for (;;) {
        storage.append(character.escape.empty() ? text.substr(i, character.length) : character.escape);
        const std::size_t plain = i + character.length;
        i = plainRunEnd(text, plain);
        storage.append(text.substr(plain, i - plain));
        if (i == text.size()) return storage;
        character = written(text.substr(i), buffer);
    }
}

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void writeStandardErrorLine(std::string_view line) {
    writeAll(STDERR_FILENO, std::string(line) + "\n");
}

}  // namespace glintward
