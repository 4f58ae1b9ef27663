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

// "\xNN" for the byte, in `buffer`.
std::string_view hexEscape(char (&buffer)[4], Byte b) {
    static constexpr char HEX[] = "0123456789abcdef";
    buffer[0] = '\\';
    buffer[1] = 'x';
    buffer[2] = HEX[b >> 4];
    buffer[3] = HEX[b & 0xF];
    return {buffer, sizeof buffer};
}

// One character of the text as a line writes it: the bytes it takes, and the escape written in its place
// (empty when it stands as it is).
struct Written {
    std::size_t length;
    std::string_view escape;
};

// The character at the start of `text`, which is not plain ASCII.
Written written(std::string_view text, char (&buffer)[4]) {
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
    // U+0080-U+009F are written by the code point's value.
    if (length == 2 && b == 0xC2 && static_cast<Byte>(text[1]) <= 0x9F) {
        return {2, hexEscape(buffer, static_cast<Byte>(text[1]))};
    }
    if (length == 3 && text[0] == '\xE2' && text[1] == '\x80' && (text[2] == '\xA8' || text[2] == '\xA9')) {
        return {3, text[2] == '\xA8' ? "\\u2028" : "\\u2029"};
    }
    return {length, {}};
}

// The end of the run of plain ASCII that starts at `from`.
std::size_t plainRunEnd(std::string_view text, std::size_t from) {
    while (from < text.size() && isPlainAscii(static_cast<Byte>(text[from]))) ++from;
    return from;
}

}  // namespace

std::string_view asOneLine(std::string_view text, std::string& storage) {
    char buffer[4];
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
