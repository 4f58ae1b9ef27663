#include "app/platform/LogLine.h"

#include <unistd.h>

#include <cerrno>

#include "app/platform/Utf8.h"

namespace glintward {

namespace {

using Byte = unsigned char;

// Whether the valid sequence of `length` bytes at the start of `text` is a C1 control or a line or paragraph
// separator.
bool isEscapedSequence(std::string_view text, std::size_t length) {
    if (length == 2) return static_cast<Byte>(text[0]) == 0xC2 && static_cast<Byte>(text[1]) <= 0x9F;
    return length == 3 && text[0] == '\xE2' && text[1] == '\x80' && (text[2] == '\xA8' || text[2] == '\xA9');
}

bool isPlainAscii(Byte b) {
    return b >= 0x20 && b < 0x7F && b != '\\';
}

void appendHexByte(std::string& out, Byte b) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += "\\x";
    out += HEX[b >> 4];
    out += HEX[b & 0xF];
}

// The offset of the first byte that needs an escape, or the size when none does.
std::size_t firstToEscape(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const Byte b = static_cast<Byte>(text[i]);
        if (isPlainAscii(b)) {
            ++i;
            continue;
        }
        if (b < 0x80) return i;
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0 || isEscapedSequence(text.substr(i), length)) return i;
        i += length;
    }
    return i;
}

}  // namespace

std::string_view asOneLine(std::string_view text, std::string& storage) {
    std::size_t i = firstToEscape(text);
    if (i == text.size()) return text;
    storage.clear();
    storage.reserve(text.size() + 16);
    storage.append(text.substr(0, i));
    while (i < text.size()) {
        const Byte b = static_cast<Byte>(text[i]);
        if (isPlainAscii(b)) {
            storage += static_cast<char>(b);
            ++i;
            continue;
        }
        if (b < 0x80) {
            switch (b) {
                case '\n':
                    storage += "\\n";
                    break;
                case '\r':
                    storage += "\\r";
                    break;
                case '\t':
                    storage += "\\t";
                    break;
                case '\\':
                    storage += "\\\\";
                    break;
                default:
                    appendHexByte(storage, b);
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) {
            appendHexByte(storage, b);
            ++i;
        } else if (!isEscapedSequence(text.substr(i), length)) {
            storage.append(text.substr(i, length));
            i += length;
        } else if (length == 2) {
            appendHexByte(storage, static_cast<Byte>(text[i + 1]));  // U+0080-U+009F: the code point's value
            i += length;
        } else {
            storage += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += length;
        }
    }
    return storage;
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
