#include "shared/sync/SignatureBundle.h"

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace glintward {
namespace {

using ::testing::HasSubstr;

std::string decodingError(std::string_view text) {
    try {
        SignatureBundleJson::parse(text);
    } catch (const BundleDecodingError& e) {
        return e.what();
    }
    ADD_FAILURE() << "decoded: " << text;
    return {};
}

std::vector<std::string> sources(const std::vector<Pattern>& patterns) {
    std::vector<std::string> out;
    for (const auto& p : patterns) out.push_back(p->pattern());
    return out;
}

// A JSON array of count elements made by element(i).
std::string array(std::size_t count, const std::function<std::string(std::size_t)>& element) {
    std::string out = "[";
    for (std::size_t i = 0; i < count; ++i) out += (i > 0 ? ", " : "") + element(i);
    return out + "]";
}

std::string quoted(std::string text) {
    return '"' + text + '"';
}

// A bundle of the given number of signatures, members(i) adding to signature i, top adding to the bundle.
std::string bundle(std::size_t signatures, const std::function<std::string(std::size_t)>& members = {},
                   const std::string& top = "") {
    return R"({"version": 1, )" + top + R"("signatures": )" + array(signatures, [&](std::size_t i) {
               return R"({"id": "s)" + std::to_string(i) + R"(", "brand": "b", "displayName": "d")" +
                      (members ? ", " + members(i) : "") + "}";
           }) +
           "}";
}

std::string patterns(std::size_t count, const std::string& pattern) {
    return R"("namePatterns": )" + array(count, [&](std::size_t) { return quoted(pattern); });
}

TEST(BundleParse, DecodesEveryMemberWhateverTheirOrder) {
    const auto dto = SignatureBundleJson::parse(R"(
        { "signatures": [
            { "serviceUuids": ["0000FD5F-0000-1000-8000-00805F9B34FB", "fd5f"],
              "companyIdsVerified": true, "companyIds": [1422, 1422, -7],
              "namePatterns": ["ray[- ]?ban", "caf\u00e9"],
              "displayName": "Ray-Ban \"Meta\"", "brand": "Meta", "id": "rayban-meta" },
            { "id": "", "brand": "", "displayName": "" } ],
          "exclusionPatterns": ["quest", "quest"],
          "version": 7 }  )");
    const SignatureBundleDto expected{
        7,
        {"quest", "quest"},
        {{"rayban-meta",
          "Meta",
          "Ray-Ban \"Meta\"",
          {"ray[- ]?ban", "caf\xC3\xA9"},
          {1422, 1422, -7},
          true,
          {"0000FD5F-0000-1000-8000-00805F9B34FB", "fd5f"}},
         {"", "", "", {}, {}, false, {}}},
    };
    EXPECT_EQ(dto, expected);
    EXPECT_EQ(SignatureBundleJson::parse(R"({"version": 5})"), (SignatureBundleDto{5, {}, {}}));
}

TEST(BundleParse, SkipsMembersTheFormatDoesNotDefineAtEveryLevel) {
    const char* documents[] = {
        R"({"version": 3, "extra": 1})",
        R"({"extra": [1, {"a": null}], "version": 3})",
        R"({"version": 3, "extra": {"version": "x", "signatures": 5}})",
        R"({"version": 3, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "note": null,
                                          "nested": {"id": 5}, "list": [[]]}]})",
        // whatever their value: numbers beyond a double and lone surrogates are valid JSON too
        R"({"version": 3, "x": 1e400})",
        R"({"x": [-1e400, 1E+999, 1e-999, {"y": 123456789e999}], "version": 3})",
        R"({"version": 3, "x": "\ud800"})",
        R"({"version": 3, "x": {"\udc00": ["\ud800\ud800", "\udbff\u0041"]}})",
        R"({"\ud800": 1, "version": 3})",
        R"({"version": 3, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "x": 1e999,
                                          "y": "\udfff"}]})",
    };
    for (const char* document : documents) {
        const auto dto = SignatureBundleJson::parse(document);
        EXPECT_EQ(dto.version, 3) << document;
        for (const auto& s : dto.signatures) EXPECT_EQ(s, (SignatureDto{"a", "b", "c", {}, {}, false, {}}));
    }
    // Keys match exactly, letter case included: "Version" is an unknown member, and "version" is then
    // missing.
    EXPECT_THAT(decodingError(R"({"Version": 3})"), HasSubstr("'version'"));
}

TEST(BundleParse, RejectsWhatBreaksTheRules) {
    const char* documents[] = {
        // syntax: standard JSON only, one value, nothing after it
        "",
        "   ",
        R"({"version": 1,})",
        R"({"version": 1, "exclusionPatterns": ["a",]})",
        R"({"version": 1} x)",
        R"({"version": 1}{})",
        R"({'version': 1})",
        R"({version: 1})",
        R"({"version": 1 /* c */})",
        R"({"version": NaN})",
        R"({"version": 01})",
        "{\"version\": 1, \"exclusionPatterns\": [\"\xFF\"]}",
        // the top level must be an object
        "[]",
        "5",
        "null",
        // null is never a default, also as an element
        R"({"version": null})",
        R"({"version": 1, "signatures": null})",
        R"({"version": 1, "exclusionPatterns": null})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "namePatterns": null}]})",
        R"({"version": 1, "exclusionPatterns": [null]})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIds": [76, null]}]})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIdsVerified": null}]})",
        // no coercion, no fractions, 32-bit range
        R"({"version": 2.5})",
        R"({"version": 1.0})",
        R"({"version": "5"})",
        R"({"version": true})",
        R"({"version": 2147483648})",
        R"({"version": -2147483649})",
        R"({"version": 18446744073709551616})",
        R"({"version": 1e999})",
        R"({"version": 1, "signatures": [{"id": 5, "brand": "b", "displayName": "c"}]})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIdsVerified": "true"}]})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIds": [4294967296]}]})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "serviceUuids": "fd5f"}]})",
        R"({"version": 1, "signatures": {}})",
        R"({"version": 1, "signatures": [5]})",
        R"({"version": 1, "exclusionPatterns": [["a"]]})",
        // a number beyond a double where the format has a member, also right after a skipped one
        R"({"x": 1e400, "version": 1e400})",
        R"({"version": 1, "x": [1e400], "signatures": [{"id": "a", "brand": "b", "displayName": "c",
                                                         "x": -1e400, "companyIds": [-1e400]}]})",
        // skipped members are still checked for syntax
        R"({"version": 1, "x": 01})",
        R"({"version": 1, "x": 1.})",
        R"({"version": 1, "x": -})",
        R"({"version": 1, "x": 1e400.5})",
        R"({"version": 1, "x": 1e400 2})",
        R"({"version": 1, "x": [1e400,]})",
        R"({"version": 1, "x": "\ud80"})",
        R"({"version": 1, "x": "\ud800\u12G4"})",
        R"({"version": 1, "x": "\ud800\"})",
        // required members
        R"({})",
        R"({"version": 1, "signatures": [{"id": "a", "displayName": "c"}]})",
    };
    for (const char* document : documents) EXPECT_FALSE(decodingError(document).empty()) << document;

    // The bounds of the range themselves pass.
    EXPECT_EQ(SignatureBundleJson::parse(R"({"version": 2147483647})").version, 2147483647);
    EXPECT_EQ(SignatureBundleJson::parse(R"({"version": -2147483648})").version, -2147483647 - 1);
}

TEST(BundleParse, FailuresSayWhatAndWhere) {
    EXPECT_THAT(decodingError(R"({"version": 1,})"), HasSubstr("line 1, column 15"));
    EXPECT_THAT(decodingError(R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c",
                                  "companyIds": [76, null]}]})"),
                HasSubstr("$.signatures[0].companyIds[1], found null"));
    EXPECT_THAT(decodingError(R"({"version": 2.5})"), HasSubstr("$.version, found number 2.5"));

    const std::string bundle = decodingError(R"({"signatures": []})");
    EXPECT_THAT(bundle, HasSubstr("'version'"));
    EXPECT_THAT(bundle, HasSubstr("glintward.detection.sync.SignatureBundleDto"));
    const std::string signature = decodingError(R"({"version": 1, "signatures": [{"id": "a"}]})");
    EXPECT_THAT(signature, HasSubstr("[brand, displayName]"));
    EXPECT_THAT(signature, HasSubstr("glintward.detection.sync.SignatureDto"));
    EXPECT_THAT(signature, HasSubstr("$.signatures[0]"));
}

TEST(BundleParse, FailureMessagesKeepTheirWording) {
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {"[]", "Expected an object at path: $, found array"},
        {R"({"version": "5"})",
         "Expected an integer in the 32-bit signed range at path: $.version, found string"},
        {R"({"version": 1E2})",
         "Expected an integer in the 32-bit signed range at path: $.version, found number 100.0"},
        {R"({"version": 18446744073709551615})",
         "Expected an integer in the 32-bit signed range at path: $.version, found number "
         "18446744073709551615"},
        {R"({"version": -2147483649})",
         "Expected an integer in the 32-bit signed range at path: $.version, found number -2147483649"},
        {R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c"},
                                          {"id": 5, "brand": "b", "displayName": "c"}]})",
         "Expected a string at path: $.signatures[1].id, found number 5"},
        {R"({"version": 1, "signatures": {}})", "Expected an array at path: $.signatures, found object"},
        {R"({"version": 1, "exclusionPatterns": ["a", ["a"]]})",
         "Expected a string at path: $.exclusionPatterns[1], found array"},
        {R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIdsVerified": {}}]})",
         "Expected a boolean at path: $.signatures[0].companyIdsVerified, found object"},
        {"{}",
         "Field 'version' is required for type with serial name "
         "'glintward.detection.sync.SignatureBundleDto', "
         "but it was missing at path: $"},
        {R"({"version": 1, "signatures": [{}, {"id": "a"}]})",
         "Fields [id, brand, displayName] are required for type with serial name "
         "'glintward.detection.sync.SignatureDto', but they were missing at path: $.signatures[0]"},
        {R"({"version": 1,})",
         "[json.exception.parse_error.101] parse error at line 1, column 15: syntax error while parsing "
         "object "
         "key - unexpected '}'; expected string literal"},
        {R"({"version": 1e999})", "[json.exception.out_of_range.406] number overflow parsing '1e999'"},
        // in a skipped value too, the position and the text read are the document's own
        {R"({"version": 1, "x" 1e400})",
         "[json.exception.parse_error.101] parse error at line 1, column 24: syntax error while parsing "
         "object "
         "separator - unexpected number literal; expected ':'"},
        {R"({"version": 1, "x": [1, 2 1e400]})",
         "[json.exception.parse_error.101] parse error at line 1, column 31: syntax error while parsing "
         "array - "
         "unexpected number literal; expected ']'"},
        {R"({"version": 1, "x": "\ud800\u12G4"})",
         "[json.exception.parse_error.101] parse error at line 1, column 32: syntax error while parsing "
         "value - "
         "invalid string: '\\u' must be followed by 4 hex digits; last read: '\"\\ud800\\u12G'"},
        {R"({"version": 1, "x": [nu1e400]})",
         "[json.exception.parse_error.101] parse error at line 1, column 24: syntax error while parsing "
         "value - "
         "invalid literal; last read: '\"x\": [nu1'"},
        {R"({"version": 1, "x": 1e-400} x)",
         "[json.exception.parse_error.101] parse error at line 1, column 29: syntax error while parsing "
         "value - "
         "invalid literal; last read: '1e-400} x'; expected end of input"},
        {R"({"version": 1, "x": [1e400x]})",
         "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
        // a syntax error anywhere wins over a member of the wrong type before it
        {R"({"version": "5"} x)",
         "[json.exception.parse_error.101] parse error at line 1, column 18: syntax error while parsing "
         "value "
         "- invalid literal; last read: '\"5\"} x'; expected end of input"},
        // the parser would stop at a NUL or skip a byte-order mark; neither is JSON
        {"{\"version\": 5}\0{\"signatures\": 1}"s, "Unexpected NUL byte at line 1, column 15"},
        {"{\"version\": 5,\n  \"x\": \"\0\"}"s, "Unexpected NUL byte at line 2, column 9"},
        {"\0"s, "Unexpected NUL byte at line 1, column 1"},
        {"\xEF\xBB\xBF{\"version\": 5}", "Unexpected byte order mark at line 1, column 1"},
    };
    for (const auto& [document, message] : cases) EXPECT_EQ(decodingError(document), message) << document;
}

TEST(BundleParse, RepeatedMembersAreCheckedAtEveryOccurrenceAndTheLastWins) {
    EXPECT_EQ(SignatureBundleJson::parse(R"({
        "version": 1, "exclusionPatterns": ["a"], "version": 2,
        "signatures": [{"id": "x", "brand": "b", "displayName": "c", "companyIdsVerified": true}],
        "exclusionPatterns": ["b", "c"],
        "signatures": [{"id": "first", "brand": "b", "displayName": "c", "companyIds": [1], "id": "last",
                        "companyIds": []}] })"),
              (SignatureBundleDto{2, {"b", "c"}, {{"last", "b", "c", {}, {}, false, {}}}}));

    const char* refused[] = {
        R"({"version": null, "version": 1})",
        R"({"version": "1", "version": 1})",
        R"({"version": 1, "exclusionPatterns": [null], "exclusionPatterns": []})",
        R"({"version": 1, "signatures": [{"id": "a"}], "signatures": []})",
        R"({"version": 1, "signatures": [{"id": "a", "brand": "b", "displayName": "c", "companyIdsVerified": 1,
                                          "companyIdsVerified": true}]})",
    };
    for (const char* document : refused) EXPECT_FALSE(decodingError(document).empty()) << document;
}

TEST(BundleParse, LoneSurrogatesInKeptTextsBecomeTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {R"(a\ud800b)", "a" + replacement + "b"},
        {R"(\uDC00)", replacement},
        {R"(\udc00\ud800)", replacement + replacement},
        {R"(\ud800\u0041)", replacement + "A"},
        {R"(\udbff\ud800\udc00)", replacement + "\xF0\x90\x80\x80"},
        {R"(\ud800\\udc00)", replacement + "\\udc00"},
        {R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80"},  // a pair stays the character it writes
    };
    for (const auto& [escaped, utf8] : cases) {
        const auto dto = SignatureBundleJson::parse(R"({"version": 1, "signatures": [{"id": "a", "brand": "b",
            "displayName": ")" + escaped + R"(", "namePatterns": [")" +
                                                    escaped + R"("]}]})");
        EXPECT_EQ(dto.signatures[0].displayName, utf8) << escaped;
        EXPECT_EQ(dto.signatures[0].namePatterns, std::vector<std::string>{utf8}) << escaped;
    }
}

TEST(BundleConversion, BuildsTheCatalogueInDocumentOrder) {
    const auto database = SignatureBundleJson::toDatabase(SignatureBundleJson::parse(R"({
        "version": -4,
        "exclusionPatterns": ["(unbalanced", "portal"],
        "signatures": [
            { "id": "b", "brand": "B", "displayName": "Second", "namePatterns": ["(", "ray[- ]?ban", ""],
              "companyIds": [76, 76, 224, 70000], "companyIdsVerified": true,
              "serviceUuids": ["0000FD5F-0000-1000-8000-00805F9B34FB", "0000fd5f-0000-1000-8000-00805f9b34fb",
                               "FE45"] },
            { "id": "b", "brand": "A", "displayName": "Repeated id" } ] })"));

    EXPECT_EQ(database->version(), -4);
    ASSERT_EQ(database->signatures().size(), 2u);
    const DeviceSignature& first = *database->signatures()[0];
    EXPECT_EQ(first.id, "b");
    EXPECT_EQ(first.displayName, "Second");
    EXPECT_EQ(sources(first.namePatterns), (std::vector<std::string>{"ray[- ]?ban", ""}));
    EXPECT_FALSE(first.namePatterns[0]->options().case_sensitive());
    EXPECT_EQ(first.companyIds.items(), (std::vector<std::int32_t>{76, 224, 70000}));
    EXPECT_TRUE(first.companyIdsVerified);
    EXPECT_EQ(first.serviceUuids.items(),
              (std::vector<std::string>{"0000fd5f-0000-1000-8000-00805f9b34fb", "fe45"}));
    EXPECT_EQ(database->signatures()[1]->displayName, "Repeated id");
    EXPECT_TRUE(database->signatures()[1]->namePatterns.empty());

    // The exclusion that compiled is in force, case-insensitive; the other one is simply gone.
    const MatchOptions options{{}, false};
    EXPECT_TRUE(database->match({"a1", "RAY-BAN", {}, {}, -60, {}, 0}, options));
    EXPECT_FALSE(database->match({"a1", "Ray-Ban PORTAL", {}, {}, -60, {}, 0}, options));
    EXPECT_TRUE(database->match({"a1", "Ray-Ban (unbalanced", {}, {}, -60, {}, 0}, options));
}

TEST(BundleConversion, HostilePatternsRunInLinearTime) {
    // A backtracking engine would need about 2^n steps for these names; RE2 needs one pass.
    const auto database = SignatureBundleJson::toDatabase(SignatureBundleJson::parse(
        R"({"version": 1, "signatures": [{"id": "h", "brand": "h", "displayName": "h",
            "namePatterns": ["(a+)+$", "(x|x)*y"]}]})"));
    ASSERT_EQ(database->signatures()[0]->namePatterns.size(), 2u);
    const MatchOptions options{{}, false};
    const std::string as(200000, 'a');
    EXPECT_FALSE(database->match({"h1", as + "!", {}, {}, -60, {}, 0}, options));
    EXPECT_FALSE(database->match({"h1", std::string(200000, 'x'), {}, {}, -60, {}, 0}, options));
    EXPECT_TRUE(database->match({"h1", "!" + as, {}, {}, -60, {}, 0}, options));
}

TEST(BundleLimits, RefusesMoreThanAnyRealCatalogueHolds) {
    struct Limit {
        std::size_t at;
        std::function<std::string(std::size_t)> bundleOf;  // a bundle holding n of what the limit counts
        std::string exceeded;                              // the message for at + 1
    };
    const std::string list = ", a list holds at most 64 elements";
    const std::string text = ", a text holds at most 1024 bytes";
    const Limit limits[] = {
        {1024, [](std::size_t n) { return bundle(n); },
         "Limit exceeded at path: $.signatures[1024], a catalogue holds at most 1024 signatures"},
        {64, [](std::size_t n) { return bundle(1, [&](std::size_t) { return patterns(n, "x"); }); },
         "Limit exceeded at path: $.signatures[0].namePatterns[64]" + list},
        {64,
         [](std::size_t n) {
             return bundle(0, {}, R"("exclusionPatterns": )" +
                                      array(n, [](std::size_t i) { return quoted("x" + std::to_string(i)); }) +
                                      ", ");
         },
         "Limit exceeded at path: $.exclusionPatterns[64]" + list},
        {64,
         [](std::size_t n) {
             return bundle(1, [&](std::size_t) {
                 return R"("companyIds": )" + array(n, [](std::size_t i) { return std::to_string(i); });
             });
         },
         "Limit exceeded at path: $.signatures[0].companyIds[64]" + list},
        {64,
         [](std::size_t n) {
             return bundle(1, [&](std::size_t) {
                 return R"("serviceUuids": )" + array(n, [](std::size_t i) { return quoted(std::to_string(i)); });
             });
         },
         "Limit exceeded at path: $.signatures[0].serviceUuids[64]" + list},
        {4096,
         [](std::size_t n) {
             return bundle((n + 63) / 64, [&](std::size_t i) { return patterns(std::min<std::size_t>(64, n - i * 64), "x"); });
         },
         "Limit exceeded at path: $.signatures[64].namePatterns[0], a catalogue holds at most 4096 patterns"},
        {1024, [](std::size_t n) { return bundle(1, [&](std::size_t) { return patterns(1, std::string(n, 'a')); }); },
         "Limit exceeded at path: $.signatures[0].namePatterns[0]" + text},
        {1024,
         [](std::size_t n) {
             return bundle(2, [&](std::size_t i) { return R"("displayName": ")" + std::string(i * n, 'd') + '"'; });
         },
         "Limit exceeded at path: $.signatures[1].displayName" + text},
        {1024,
         [](std::size_t n) {
             return bundle(1, [&](std::size_t) { return R"("serviceUuids": [")" + std::string(n, 'f') + R"("])"; });
         },
         "Limit exceeded at path: $.signatures[0].serviceUuids[0]" + text},
    };
    for (const Limit& limit : limits) {
        const std::string within = limit.bundleOf(limit.at);
        EXPECT_NO_THROW(SignatureBundleJson::toDatabase(SignatureBundleJson::parse(within))) << limit.exceeded;
        EXPECT_EQ(decodingError(limit.bundleOf(limit.at + 1)), limit.exceeded);
    }

    // A decoded bundle built past a limit in place of a document is refused by the conversion too.
    SignatureBundleDto built{1, {}, {{"a", "b", "c", std::vector<std::string>(65, "x"), {}, false, {}}}};
    EXPECT_THROW(SignatureBundleJson::toDatabase(built), BundleDecodingError);
}

TEST(BundleLimits, CompilingCostsNoMoreThanItsBudget) {
    const std::string classRepetition = R"([\\p{L}\\p{N}]{1000}N)";  // millions of instructions unbounded
    const std::string largeProgram = "[a-z]{1000}";                   // thousands

    // A pattern beyond its own memory budget is left out, like one that does not compile.
    const auto database = SignatureBundleJson::toDatabase(SignatureBundleJson::parse(bundle(1, [&](std::size_t) {
        return R"("namePatterns": [")" + classRepetition + R"(", ")" + largeProgram + R"(", "ray[- ]?ban"])";
    })));
    EXPECT_EQ(sources(database->signatures()[0]->namePatterns), std::vector<std::string>{"ray[- ]?ban"});

    // What the patterns together cost is bounded: estimated from their texts before any is compiled (Unicode
    // classes are slow to fold for case) ...
    std::string unicodeClasses;
    for (int i = 0; i < 15; ++i) unicodeClasses += R"(\\PL)";
    EXPECT_THAT(decodingError(bundle(1, [&](std::size_t) { return patterns(64, unicodeClasses); })),
                HasSubstr(", compiling the patterns may take at most 400000 steps"));
    // ... and counted as they compile, failures included.
    const auto dto = SignatureBundleJson::parse(bundle(1, [&](std::size_t) { return patterns(64, largeProgram); }));
    try {
        SignatureBundleJson::toDatabase(dto);
        ADD_FAILURE() << "converted";
    } catch (const BundleDecodingError& e) {
        EXPECT_THAT(e.what(), HasSubstr(", compiling the patterns may take at most 400000 steps"));
    }
}

}  // namespace
}  // namespace glintward
