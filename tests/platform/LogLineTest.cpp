#include "app/platform/LogLine.h"

#include <string>

#include <gtest/gtest.h>

namespace glintward {
namespace {

TEST(AsOneLine, EscapesWhatCouldBreakOrForgeALineAndLeavesTextAlone) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        // A device name that would otherwise add a made-up match line of its own.
        {"heard #1: name=evil\n12:00:00.000 match: Ray-Ban Meta glasses confidence=0.95 rssi=-30 ids=[]",
         "heard #1: name=evil\\n12:00:00.000 match: Ray-Ban Meta glasses confidence=0.95 rssi=-30 ids=[]"},
        {"a\rb\tc", "a\\rb\\tc"},
        {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},  // ESC sequences and BEL
        {std::string("nul \0 del \x7f us \x1f", 16), "nul \\x00 del \\x7f us \\x1f"},
        {"c1 \xc2\x85 \xc2\x9b end", "c1 \\u0085 \\u009b end"},  // NEL and CSI
        {"nel \xc2\x85 stray \x85", "nel \\u0085 stray \\x85"},  // the character and the byte differ
        // Characters that reorder or hide what a terminal shows of the line.
        {"name=\xe2\x80\xaegpj.exe", "name=\\u202egpj.exe"},  // right-to-left override
        {"a\xe2\x80\x8b\xe2\x80\x8f\xe2\x80\xaa\xe2\x80\xac", "a\\u200b\\u200f\\u202a\\u202c"},
        {"\xe2\x81\xa0\xe2\x81\xa4\xe2\x81\xa6\xe2\x81\xa9\xef\xbb\xbfz",
         "\\u2060\\u2064\\u2066\\u2069\\ufeffz"},
        // Their neighbours are ordinary text: U+200A, U+2030, U+205F, U+2065 (unassigned), U+FEFE.
        {"\xe2\x80\x8a\xe2\x80\xb0\xe2\x81\x9f\xe2\x81\xa5\xef\xbb\xbe",
         "\xe2\x80\x8a\xe2\x80\xb0\xe2\x81\x9f\xe2\x81\xa5\xef\xbb\xbe"},
        {"ls \xe2\x80\xa8 ps \xe2\x80\xa9", "ls \\u2028 ps \\u2029"},   // line and paragraph separators
        {"back\\nslash \\", "back\\\\nslash \\\\"},                     // a written "\n" stays told apart
        {"bad \xff \xc3 \xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80 \x80.",  // stray, cut short, surrogate,
         "bad \\xff \\xc3 \\xed\\xa0\\x80 \\xc0\\xaf \\xf4\\x90\\x80\\x80 \\x80."},  // overlong, beyond
                                                                                     // U+10FFFF
        {"cut at the end \xe2\x80", "cut at the end \\xe2\\x80"},
        // Ordinary text, whatever its script, is written as it is.
        {"Café Müller", "Café Müller"},
        {"会議室のメガネ", "会議室のメガネ"},
        {"Glasses 🕶️ \xc2\xa0\xc2\xa0",
         "Glasses 🕶️ \xc2\xa0\xc2\xa0"},  // emoji, no-break spaces (U+00A0)
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        std::string storage;
        const std::string_view line = asOneLine(text, storage);
        EXPECT_EQ(line, expected) << text;
        if (text == expected) {
            // Nothing to escape: the text itself comes back, no copy made.
            EXPECT_EQ(line.data(), text.data()) << text;
            EXPECT_TRUE(storage.empty());
        }
    }
}

}  // namespace
}  // namespace glintward
