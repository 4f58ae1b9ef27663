#include <gtest/gtest.h>

#include "shared/detection/SignatureDatabase.h"

namespace glintward {
namespace {

constexpr const char* META_UUID = "0000fd5f-0000-1000-8000-00805f9b34fb";

BleAdvertisement advert(std::optional<std::string> name, std::vector<std::int32_t> companies = {},
                        std::vector<std::string> uuids = {}) {
    return BleAdvertisement{"addr", std::move(name), std::move(companies), std::move(uuids), -60, std::nullopt, 0};
}

struct MatchCase {
    const char* what;
    BleAdvertisement advertisement;
    MatchOptions options;
    std::optional<std::string> id;  // expected signature, or no match
    double confidence;
};

TEST(Matching, BuiltInCatalogueCases) {
    const auto db = SignatureDatabase::builtIn();
    const MatchOptions all{{}, true};
    const MatchOptions namesOnly{{}, false};
    const MatchOptions noRayban{{"rayban-meta"}, true};
    const MatchOptions unknownId{{"no-such-id"}, true};
    const MatchCase cases[] = {
        {"name and company id", advert("RAY BAN 7", {427}), all, "rayban-meta", 0.95},
        {"name alone", advert("rayban"), all, "rayban-meta", 0.9},
        {"hyphenated name", advert("Ray-Ban | Meta"), all, "rayban-meta", 0.9},
        {"oakley", advert("Oakley HSTN"), all, "oakley-meta", 0.9},
        {"name tie keeps the earlier signature", advert("Oakley Wayfarer"), all, "rayban-meta", 0.9},
        {"exclusion beats everything", advert("XQUEST", {1422}, {META_UUID}), all, std::nullopt, 0},
        {"exclusion anywhere in the name", advert("Portal-1"), all, std::nullopt, 0},
        {"company id alone", advert(std::nullopt, {1422}), all, "rayban-meta", 0.6},
        {"company id alone, earlier signature disabled", advert(std::nullopt, {1422}), noRayban, "oakley-meta", 0.6},
        {"company id alone without unknown ids", advert(std::nullopt, {1422}), namesOnly, std::nullopt, 0},
        {"service UUID is lower-cased", advert(std::nullopt, {}, {"0000FE45-0000-1000-8000-00805F9B34FB"}), all,
         "snap-spectacles", 0.6},
        {"service UUID without unknown ids", advert(std::nullopt, {}, {META_UUID}), namesOnly, std::nullopt, 0},
        {"a later name hit replaces an id hit", advert("spectacles", {1422}), all, "snap-spectacles", 0.9},
        {"name-only signature", advert("Echo Frames"), all, "amazon-echo-frames", 0.9},
        {"name hit survives without unknown ids", advert("Echo Frames", {1422}), namesOnly, "amazon-echo-frames",
         0.9},
        {"unrelated name with a Meta id", advert("Galaxy S23", {1422}), all, "rayban-meta", 0.6},
        {"empty advertisement", advert(std::nullopt), all, std::nullopt, 0},
        {"unrelated phone", advert("iPhone", {76}, {"0000fe9f-0000-1000-8000-00805f9b34fb"}), all, std::nullopt,
         0},
        {"disabled ids naming nothing change nothing", advert("rayban"), unknownId, "rayban-meta", 0.9},
        {"disabled signature is never a candidate", advert("rayban", {427}), noRayban, "oakley-meta", 0.6},
    };
    for (const auto& c : cases) {
        const auto m = db->match(c.advertisement, c.options);
        ASSERT_EQ(m.has_value(), c.id.has_value()) << c.what;
        if (!m) continue;
        EXPECT_EQ(m->signature->id, *c.id) << c.what;
        EXPECT_EQ(m->confidence, c.confidence) << c.what;
        EXPECT_EQ(m->signature, db->signatures()[static_cast<std::size_t>(
                                    std::find_if(db->signatures().begin(), db->signatures().end(),
                                                 [&](const auto& s) { return s->id == *c.id; }) -
                                    db->signatures().begin())])
            << c.what << ": the match refers to the catalogue's own signature";
    }
}

TEST(Matching, EverySignatureDisabledMatchesNothing) {
    const auto db = SignatureDatabase::builtIn();
    const MatchOptions none{{"rayban-meta", "oakley-meta", "snap-spectacles", "amazon-echo-frames"}, true};
    EXPECT_FALSE(db->match(advert("Ray-Ban", {1422}, {META_UUID}), none));
    const ScanTargets targets = db->scanTargets(none);
    EXPECT_TRUE(targets.companyIds.empty());
    EXPECT_TRUE(targets.serviceUuids.empty());
}

TEST(Matching, ScanTargetsAreTheUnionInCatalogueOrder) {
    const auto db = SignatureDatabase::builtIn();
    const ScanTargets targets = db->scanTargets({});
    EXPECT_EQ(targets.companyIds.items(), (std::vector<std::int32_t>{1422, 427, 3411, 962}));
    EXPECT_EQ(targets.serviceUuids.items(),
              (std::vector<std::string>{META_UUID, "0000feb7-0000-1000-8000-00805f9b34fb",
                                        "0000feb8-0000-1000-8000-00805f9b34fb",
                                        "0000fe45-0000-1000-8000-00805f9b34fb"}));
    EXPECT_EQ(db->scanTargets({{"rayban-meta", "oakley-meta"}, true}).companyIds.items(),
              (std::vector<std::int32_t>{962}));
}

TEST(Catalogue, BuiltInCatalogueIsFreshButSharesTheMetaSets) {
    const auto a = SignatureDatabase::builtIn();
    const auto b = SignatureDatabase::builtIn();
    ASSERT_NE(a, b);
    EXPECT_EQ(a->version(), 0);
    std::vector<std::string> ids;
    for (const auto& s : a->signatures()) ids.push_back(s->id);
    EXPECT_EQ(ids, (std::vector<std::string>{"rayban-meta", "oakley-meta", "snap-spectacles", "amazon-echo-frames"}));

    for (std::size_t i = 0; i < 4; ++i) EXPECT_NE(*a->signatures()[i], *b->signatures()[i]);  // patterns by identity
    const auto& rayban = *a->signatures()[0];
    for (const auto* db : {a.get(), b.get()}) {
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(db->signatures()[i]->companyIds.sameObject(rayban.companyIds));
            EXPECT_TRUE(db->signatures()[i]->serviceUuids.sameObject(rayban.serviceUuids));
        }
    }
    const auto& echo = *a->signatures()[3];
    EXPECT_TRUE(echo.companyIds.empty() && echo.serviceUuids.empty());
    EXPECT_FALSE(echo.companyIdsVerified);

    EXPECT_EQ(a->signatures()[2]->toString(),
              "DeviceSignature(id=snap-spectacles, brand=Snap, displayName=Snap Spectacles, "
              "namePatterns=[spectacles], companyIds=[962], companyIdsVerified=true, "
              "serviceUuids=[0000fe45-0000-1000-8000-00805f9b34fb])");
    EXPECT_EQ(a->toString().rfind("glintward.detection.detection.SignatureDatabase@", 0), 0u);
}

TEST(Catalogue, MatchesCompareSignaturesByPatternIdentity) {
    auto build = [] { return DeviceSignature{"x", "B", "X", {compilePattern("x")}, {1}, true, {}}; };
    const auto one = std::make_shared<const DeviceSignature>(build());
    EXPECT_EQ((SignatureMatch{one, 0.9}), (SignatureMatch{one, 0.9}));
    EXPECT_NE((SignatureMatch{one, 0.9}), (SignatureMatch{std::make_shared<const DeviceSignature>(build()), 0.9}));
    EXPECT_EQ(MatchOptions({"b", "a"}, false).toString(), "MatchOptions(disabledSignatureIds=[b, a], matchUnknownIds=false)");
}

// A catalogue with unusual content: null patterns, an empty signature, out-of-range and repeated company ids, an
// empty pattern, and (optionally) a pattern compiled with other options, which takes matching off its fast path.
// Both paths must judge alike.
TEST(Matching, UnusualCataloguesStayCorrect) {
    EXPECT_EQ(compilePattern("(unbalanced"), nullptr);
    for (bool withCaseSensitivePattern : {false, true}) {
        std::vector<DeviceSignature> sigs{
            {"empty", "B", "Empty", {}, {}, false, {}},
            {"nulls", "B", "Nulls", {nullptr, compilePattern("nul+s")}, {-5, 70000, 70000}, false, {}},
            {"exact", "B", "Exact",
             {withCaseSensitivePattern ? std::make_shared<const re2::RE2>("Exact") : compilePattern("^Exact$")},
             {},
             false,
             {}},
            {"anything", "B", "Anything", {compilePattern("")}, {}, false, {}},
        };
        SignatureDatabase db(3, std::move(sigs), {nullptr, compilePattern("^blocked$")});
        const MatchOptions all{{}, true};
        SCOPED_TRACE(withCaseSensitivePattern);
        EXPECT_EQ(db.match(advert("NULLS here"), all)->signature->id, "nulls");
        EXPECT_EQ(db.match(advert(std::nullopt, {70000}), all)->signature->id, "nulls");
        EXPECT_EQ(db.match(advert(std::nullopt, {-5}), all)->signature->id, "nulls");
        EXPECT_EQ(db.match(advert("Exact"), all)->signature->id, "exact");
        // The empty pattern hits any name.
        EXPECT_EQ(db.match(advert("EXACT"), all)->signature->id, withCaseSensitivePattern ? "anything" : "exact");
        EXPECT_FALSE(db.match(advert("BLOCKED"), all));
        EXPECT_FALSE(db.match(advert(std::nullopt), all));
    }
}

// Hundreds of patterns in one catalogue: every name is judged as a one-by-one search would judge it.
TEST(Matching, LargeCatalogueAgreesWithSearchingEachPattern) {
    std::vector<DeviceSignature> sigs;
    for (int i = 0; i < 200; ++i) {
        const std::string n = std::to_string(i);
        sigs.push_back({"sig" + n, "Brand", "Model " + n,
                        {compilePattern("model[- ]?" + n + "x"), compilePattern("^alt" + n + "$")},
                        {2000 + i},
                        true,
                        {}});
    }
    const SignatureDatabase db(1, sigs, {compilePattern("blocked")});
    for (const std::string name : {"Model-7x", "ALT199", "model 150x and model 3x", "alt5 ", "nothing", "blocked model7x"}) {
        std::optional<std::string> expected;
        if (name.find("blocked") == std::string::npos) {
            for (const auto& s : db.signatures()) {
                for (const auto& p : s->namePatterns) {
                    if (!expected && re2::RE2::PartialMatch(name, *p)) expected = s->id;
                }
            }
        }
        const auto m = db.match(advert(name), {});
        ASSERT_EQ(m.has_value(), expected.has_value()) << name;
        if (m) {
            EXPECT_EQ(m->signature->id, *expected) << name;
        }
    }
    EXPECT_EQ(db.match(advert("model 3x", {2003}), {})->confidence, 0.95);
}

}  // namespace
}  // namespace glintward
