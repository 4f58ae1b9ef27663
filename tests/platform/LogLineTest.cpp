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
        {"c1 \xc2\x85 \xc2\x9b end", "c1 \\x85 \\x9b end"},             // NEL and CSI
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
