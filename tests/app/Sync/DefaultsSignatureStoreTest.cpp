#include "app/Sync/DefaultsSignatureStore.h"

#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

class DefaultsSignatureStoreTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    UserDefaults defaults{dir / "defaults.json"};
    DefaultsSignatureStore store{defaults};
};

TEST_F(DefaultsSignatureStoreTest, KeepsTheBundleVerbatimAndItsTagAcrossARestart) {
    EXPECT_EQ(store.savedBundle(), std::nullopt);
    EXPECT_EQ(store.savedEtag(), std::nullopt);

    const std::string bundle = "{\"version\": 3,\n \"signatures\": [\"Ray-Ban ✓\", \"\\u00e9\"]}  ";
    store.save(bundle, "W/\"abc\"");
    UserDefaults reopened(defaults.path());
    DefaultsSignatureStore after(reopened);
    EXPECT_EQ(after.savedBundle(), bundle);
    EXPECT_EQ(after.savedEtag(), "W/\"abc\"");
    EXPECT_EQ(reopened.stringForKey("signatures_bundle"), bundle);
    EXPECT_EQ(reopened.stringForKey("signatures_etag"), "W/\"abc\"");
}

TEST_F(DefaultsSignatureStoreTest, ABundleWithoutATagRemovesTheOldTagAndAnEmptyTagReadsAsAbsent) {
    store.save("{\"version\": 1}", "\"v1\"");
    store.save("{\"version\": 2}", std::nullopt);
    EXPECT_EQ(store.savedBundle(), "{\"version\": 2}");
    EXPECT_EQ(store.savedEtag(), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("signatures_etag"), std::nullopt);

    store.save("", "");  // both written; the empty bundle stays text, the empty tag reads as none
    EXPECT_EQ(store.savedBundle(), "");
    EXPECT_EQ(store.savedEtag(), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("signatures_etag"), "");
}

}  // namespace
}  // namespace glintward
