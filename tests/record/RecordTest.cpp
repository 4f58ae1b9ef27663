#include "shared/record/Record.h"

#include <cmath>
#include <limits>
#include <map>

#include <gtest/gtest.h>

#include "shared/record/Set.h"
#include "shared/record/SharedList.h"

namespace glintward {

GLINTWARD_ENUM(Colour, RED, GREEN);

struct Inner {
    std::int32_t n = 0;
    GLINTWARD_RECORD(Inner, n)
};

struct Sample {
    std::string text;
    std::optional<std::string> maybe;
    std::int64_t wide = 0;
    bool flag = false;
    double real = 0;
    float single = 0;
    Colour colour = Colour::RED;
    std::vector<std::int32_t> list;
    Set<std::string> set;
    std::map<std::string, std::string> map;
    Inner inner;
    GLINTWARD_RECORD(Sample, text, maybe, wide, flag, real, single, colour, list, set, map, inner)
};

namespace {

std::string doubleText(double v) {
    std::string s;
    record::appendDouble(s, v);
    return s;
}

std::string floatText(float v) {
    std::string s;
    record::appendFloat(s, v);
    return s;
}

TEST(RecordText, DoublesAreShortestRoundTripInTwoNotations) {
    const std::pair<double, const char*> cases[] = {
        {1.0e7, "1.0E7"},          {5.0e-4, "5.0E-4"},      {0.9, "0.9"},
        {-60.0, "-60.0"},          {250.0, "250.0"},        {-62.5, "-62.5"},
        {0.001, "0.001"},          {9999999.0, "9999999.0"}, {12345678.9, "1.23456789E7"},
        {1.0e-4, "1.0E-4"},        {-59.099999999999994, "-59.099999999999994"},
        {0.0, "0.0"},              {-0.0, "-0.0"},          {1.0, "1.0"},
        {0.1 + 0.2, "0.30000000000000004"},                 {1e300, "1.0E300"},
        {std::numeric_limits<double>::denorm_min(), "5.0E-324"},
        {std::nan(""), "NaN"},     {HUGE_VAL, "Infinity"},  {-HUGE_VAL, "-Infinity"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(doubleText(value), text) << text;
    EXPECT_EQ(floatText(0.4f), "0.4");
    EXPECT_EQ(floatText(1.0e10f), "1.0E10");
    EXPECT_EQ(floatText(-0.0f), "-0.0");
}

TEST(RecordHash, TextHashesRunOverUtf16CodeUnits) {
    EXPECT_EQ(record::hashText(""), 0);
    EXPECT_EQ(record::hashText("abc"), 96354);
    EXPECT_EQ(record::hashText("\xC3\xA9"), 0xE9);                      // é, one code unit
    EXPECT_EQ(record::hashText("\xF0\x9F\x98\x80"), 55357 * 31 + 56832);  // U+1F600, a surrogate pair
    EXPECT_EQ(record::hashText("\xFF"), 0xFFFD);                          // malformed byte
    EXPECT_EQ(record::hashText("Ray-Ban Meta glasses"), 941611555);
}

TEST(RecordHash, ScalarsHashAsTheModuleSays) {
    EXPECT_EQ(record::hash(std::int64_t{1} << 32), 1);
    EXPECT_EQ(record::hash(std::int64_t{-1}), 0);
    EXPECT_EQ(record::hash(true), 1231);
    EXPECT_EQ(record::hash(false), 1237);
    EXPECT_EQ(record::hash(0.0), 0);
    EXPECT_EQ(record::hash(-0.0), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(record::hash(-std::nan("")), 0x7FF80000);  // any NaN hashes as the canonical one
    EXPECT_EQ(record::hash(std::nanf("7")), 0x7FC00000);
    EXPECT_EQ(record::hash(std::vector<std::int32_t>{1, 2, 3}), 30817);
    EXPECT_EQ(record::hash(std::optional<std::string>{}), 0);
    EXPECT_EQ(record::hash(Set<std::int32_t>{5, 7}), 12);
}

TEST(Record, HashFoldsFieldHashesInDeclaredOrder) {
    Sample s{"a", std::nullopt, 3, true, 0.0, 0.0f, Colour::GREEN, {1}, {"x"}, {{"k", "v"}}, {4}};
    std::int32_t h = record::hash(s.text);
    for (std::int32_t f :
         {0, 3, 1231, 0, 0, record::hashText("GREEN"), 31 + 1, record::hashText("x"),
          record::hashText("k") ^ record::hashText("v"), 4}) {
        h = record::combine(h, f);
    }
    EXPECT_EQ(s.hashCode(), h);
}

TEST(Record, TextFormListsEveryFieldInOrder) {
    Sample s{"a", std::nullopt, -3, true, 0.5, 0.25f, Colour::RED, {1, 2}, {"x", "y"}, {{"k", "v"}}, {4}};
    EXPECT_EQ(s.toString(),
              "Sample(text=a, maybe=null, wide=-3, flag=true, real=0.5, single=0.25, colour=RED, list=[1, 2], "
              "set=[x, y], map={k=v}, inner=Inner(n=4))");
    std::ostringstream out;
    out << s << ' ' << Colour::GREEN;
    EXPECT_EQ(out.str(), s.toString() + " GREEN");
}

TEST(Record, EqualityComparesDoublesByBitsAndSetsWithoutOrder) {
    Sample a{"a", "m", 1, false, 0.0, 1.0f, Colour::RED, {1}, {"x", "y"}, {{"k", "v"}}, {1}};
    Sample b = a;
    EXPECT_EQ(a, b);
    b.set = Set<std::string>{"y", "x"};
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.hashCode(), b.hashCode());
    b.real = -0.0;
    EXPECT_NE(a, b);
    EXPECT_NE(a.hashCode(), b.hashCode());

    a.real = b.real = std::nan("");
    EXPECT_EQ(a, b);
    b.real = -std::nan("");
    EXPECT_NE(a, b);  // another NaN bit pattern
    EXPECT_EQ(a.hashCode(), b.hashCode());

    Sample c = a;
    c.maybe.reset();
    EXPECT_NE(a, c);
    c = a;
    c.list.push_back(2);
    EXPECT_NE(a, c);
    c = a;
    c.map["k"] = "w";
    EXPECT_NE(a, c);
}

TEST(Enumeration, EntriesInDeclaredOrder) {
    constexpr auto all = values<Colour>();
    static_assert(all.size() == 2 && all[0] == Colour::RED && all[1] == Colour::GREEN);
    EXPECT_EQ(name(Colour::GREEN), "GREEN");
    EXPECT_EQ(ordinal(Colour::GREEN), 1);
}

TEST(SetType, KeepsFirstOccurrenceOrderAndSharesStorage) {
    Set<std::int32_t> s{3, 1, 3, 2, 1};
    EXPECT_EQ(s.items(), (std::vector<std::int32_t>{3, 1, 2}));
    Set<std::int32_t> copy = s;
    EXPECT_TRUE(copy.sameObject(s));
    EXPECT_FALSE(Set<std::int32_t>({3, 1, 2}).sameObject(s));

    // Past a handful of elements look-ups go through a hash index; membership must not change.
    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) many.push_back("id" + std::to_string(i % 30));
    Set<std::string> large(many);
    EXPECT_EQ(large.size(), 30u);
    EXPECT_TRUE(large.contains("id29"));
    EXPECT_FALSE(large.contains("id30"));
    EXPECT_EQ(large.items().front(), "id0");
    EXPECT_FALSE(Set<std::string>().contains(""));
}

TEST(SharedListType, CopiesShareBlocksAndNeitherSeesTheOthersChanges) {
    using List = SharedList<std::string>;
    constexpr std::size_t B = List::BLOCK;
    List log;
    for (std::size_t i = 0; i < 2 * B + 3; ++i) log.push_back("v" + std::to_string(i));
    const List published = log;
    EXPECT_TRUE(published.sharesBlock(log, 0) && published.sharesBlock(log, 2 * B));

    // The writer copies the block it changes, and the block it appends to, and no other.
    log.edit(B + 1) = "changed";
    log.push_back("new");
    EXPECT_EQ(published[B + 1], "v" + std::to_string(B + 1));
    EXPECT_EQ(published.size(), 2 * B + 3);
    EXPECT_EQ(log[B + 1], "changed");
    EXPECT_EQ(log.back(), "new");
    EXPECT_TRUE(published.sharesBlock(log, 0));
    EXPECT_FALSE(published.sharesBlock(log, B));
    EXPECT_FALSE(published.sharesBlock(log, 2 * B));

    // A block it made since it was published is its own, until it is published again.
    log.edit(B + 2) = "again";
    const List second = log;
    log.edit(B + 2) = "third";
    EXPECT_EQ(second[B + 2], "again");
    // Copying a copy leaves both as they were.
    List third = second;
    third.edit(0) = "x";
    EXPECT_EQ(second[0], "v0");

    EXPECT_FALSE(published == log);
    EXPECT_TRUE(List(published.toVector()) == published);
    EXPECT_TRUE(published == published.toVector());
    std::string text;
    record::append(text, List{"a", "b"});
    EXPECT_EQ(text, "[a, b]");
    log.clear();
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(second.size(), 2 * B + 4);
}

}  // namespace
}  // namespace glintward
