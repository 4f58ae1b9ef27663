#include "app/platform/LogLine.h"

#include <unistd.h>

#include <cerrno>

namespace glintward {

namespace {

using Byte = unsigned char;

// The length of the valid UTF-8 sequence at the start of `text` (1-4), or 0 when its first byte does not
// begin one: a stray continuation byte, an overlong form, a surrogate, a value beyond U+10FFFF, or a sequence
// cut short.
std::size_t sequenceLength(std::string_view text) {
    const Byte lead = static_cast<Byte>(text[0]);
    std::size_t length;
    Byte low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    const Byte second = static_cast<Byte>(text[1]);
    if (second < low || second > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((static_cast<Byte>(text[i]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

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
        const std::size_t length = sequenceLength(text.substr(i));
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
        const std::size_t length = sequenceLength(text.substr(i));
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
