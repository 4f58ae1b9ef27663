#include "shared/sync/SignatureSyncClient.h"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sync/Fakes.h"

namespace glintward {
namespace {

using fakes::CallLog;
using fakes::FakeTransport;
using fakes::MemoryStore;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* BASE_URL = "http://127.0.0.1:8080";
constexpr const char* SIGNATURES_URL = "http://127.0.0.1:8080/v1/signatures";

// Spacing and member order as a service might write them: the store must receive exactly this text.
constexpr const char* BUNDLE = R"({ "version": 7,
  "signatures": [ { "id": "rayban-meta", "brand": "Meta", "displayName": "Ray-Ban Meta",
                    "namePatterns": ["ray[- ]?ban"], "companyIds": [1422] } ] }
)";

class SyncClientTest : public ::testing::Test {
protected:
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>(log);
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>(log);

    SyncResult sync(std::string baseUrl = BASE_URL) {
        return SignatureSyncClient(baseUrl, store, transport).sync();
    }
    std::shared_ptr<const SignatureDatabase> loadCached() {
        return SignatureSyncClient(BASE_URL, store, transport).loadCached();
    }
    static SyncResult failed(std::string reason) { return {SyncResult::Failed{std::move(reason)}}; }
    void keep(std::string bundle, std::optional<std::string> etag) {
        store->bundle = std::move(bundle);
        store->etag = std::move(etag);
    }
};

TEST_F(SyncClientTest, BlankBaseUrlFailsBeforeAnyCall) {
    // Blank is empty or whitespace only, by the module's one whitespace set (the label lists use it too).
    const std::pair<const char*, bool> cases[] = {
        {"", true},
        {"   ", true},
        {"\t\n", true},
        {"\xC2\xA0", true},                                    // U+00A0
        {"\xE2\x80\xA8", true},                                // U+2028
        {"\xE3\x80\x80", true},                                // U+3000
        {"\x1F", true},                                        // U+001F
        {" \x1C\xE2\x80\x89\xE1\x9A\x80\xE2\x81\x9F ", true},  // U+001C, U+2009, U+1680, U+205F
        {"\xC2\x85", false},                                   // U+0085 is not whitespace here
        {"\xE2\x80\x8B", false},                               // nor is the zero-width space U+200B
        {"\xC2", false},                                       // a broken sequence is text
        {"x", false},
    };
    transport->answer({304, {}, {}});
    for (const auto& [base, blank] : cases) {
        const std::size_t calls = log->calls().size();
        const SyncResult result = sync(base);
        if (blank) {
            EXPECT_EQ(result, failed("no API base URL configured")) << '"' << base << '"';
            EXPECT_EQ(log->calls().size(), calls) << '"' << base << '"';
        } else {
            EXPECT_EQ(result, SyncResult{SyncResult::NotModified{}}) << '"' << base << '"';
        }
    }
}

TEST_F(SyncClientTest, RequestGoesToTheSignaturesPathWithoutDoubledSlashes) {
    transport->answer({304, {}, {}});
    const std::pair<const char*, const char*> cases[] = {
        {"http://127.0.0.1:8080", SIGNATURES_URL},
        {"http://127.0.0.1:8080/", SIGNATURES_URL},
        {"http://127.0.0.1:8080///", SIGNATURES_URL},
        {"http://127.0.0.1:8080/api/", "http://127.0.0.1:8080/api/v1/signatures"},
        {" http://127.0.0.1:8080/ ", " http://127.0.0.1:8080/ /v1/signatures"},  // only slashes are trimmed
    };
    for (const auto& [base, url] : cases) sync(base);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_EQ(requests[i].url, cases[i].second);
    }
}

TEST_F(SyncClientTest, RevalidatesWithTheStoredTagVerbatim) {
    transport->answer({304, {}, {}});
    const std::optional<std::string> tags[] = {std::nullopt, "W/\"v7\"", ""};
    for (const auto& tag : tags) {
        keep("{}", tag);
        EXPECT_EQ(sync(), SyncResult{SyncResult::NotModified{}});
    }
    const auto requests = transport->requests();
    EXPECT_TRUE(requests[0].headers.empty());
    EXPECT_EQ(requests[1].headers, (HttpHeaders{{"If-None-Match", "W/\"v7\""}}));
    EXPECT_EQ(requests[2].headers, (HttpHeaders{{"If-None-Match", ""}}));  // only an absent tag omits it
    // Not modified leaves the store alone, also when no tag was sent.
    EXPECT_EQ(store->bundle, "{}");
    EXPECT_THAT(log->calls(), ::testing::Not(::testing::Contains("save")));
}

TEST_F(SyncClientTest, NewBundleIsConvertedThenSavedVerbatimWithItsTag) {
    keep("old", "\"v6\"");
    transport->answer({200, BUNDLE, {{"etag", "\"v7\""}, {"content-type", "text/plain"}}});

    const SyncResult result = sync();

    const auto* updated = result.as<SyncResult::Updated>();
    ASSERT_NE(updated, nullptr) << result;
    EXPECT_EQ(updated->database->version(), 7);
    EXPECT_EQ(updated->database->signatures()[0]->id, "rayban-meta");
    EXPECT_EQ(store->bundle, BUNDLE);
    EXPECT_EQ(store->etag, "\"v7\"");
    EXPECT_THAT(log->calls(), ElementsAre("savedEtag", "GET", "save"));
    EXPECT_EQ(loadCached()->version(), 7);  // what the next run finds
}

TEST_F(SyncClientTest, SavedTagIsTheResponsesLowerCaseEtagOrNone) {
    const std::pair<HttpHeaders, std::optional<std::string>> cases[] = {
        {{{"etag", "\"abc\""}}, "\"abc\""},
        {{}, std::nullopt},
        {{{"ETag", "\"abc\""}}, std::nullopt},  // a transport must lower-case header names
    };
    for (const auto& [headers, tag] : cases) {
        keep("old", "\"old\"");
        transport->answer({200, BUNDLE, headers});
        EXPECT_TRUE(sync().as<SyncResult::Updated>());
        EXPECT_EQ(store->etag, tag);
    }
}

TEST_F(SyncClientTest, LowerVersionIsStillSavedAndReturned) {
    // Whether it replaces the catalogue in force is the repository's decision, not the client's.
    transport->answer({200, R"({"version": -1})", {}});
    const SyncResult result = sync();
    ASSERT_TRUE(result.as<SyncResult::Updated>());
    EXPECT_EQ(result.as<SyncResult::Updated>()->database->version(), -1);
    EXPECT_EQ(store->bundle, R"({"version": -1})");
}

TEST_F(SyncClientTest, MalformedBundleFailsAndKeepsTheStore) {
    keep("old", "\"v6\"");
    using namespace std::string_literals;
    for (const std::string& body :
         {R"({"version": 2.5})"s, R"({"version": 1} trailing)"s, ""s, "{\"version\": 5}\0trailing"s,
          "\xEF\xBB\xBF{\"version\": 5}"s, R"({"signatures": []})"s}) {
        transport->answer({200, body, {{"etag", "\"v7\""}}});
        const SyncResult result = sync();
        const auto* failure = result.as<SyncResult::Failed>();
        ASSERT_NE(failure, nullptr) << body;
        EXPECT_THAT(failure->reason, StartsWith("malformed bundle: ")) << body;
        EXPECT_GT(failure->reason.size(), std::string("malformed bundle: ").size()) << body;
    }
    EXPECT_THAT(sync().toString(), HasSubstr("glintward.detection.sync.SignatureBundleDto"));
    EXPECT_EQ(store->bundle, "old");
    EXPECT_EQ(store->etag, "\"v6\"");
    EXPECT_THAT(log->calls(), ::testing::Not(::testing::Contains("save")));
}

TEST_F(SyncClientTest, BundleBeyondTheLimitsIsRefusedAndNeverOffered) {
    std::string patterns = R"("x")";
    for (int i = 1; i < 65; ++i) patterns += R"(, "x")";
    const std::string oversized = R"({"version": 8, "exclusionPatterns": [)" + patterns + "]}";
    keep("old", "\"v6\"");
    transport->answer({200, oversized, {{"etag", "\"v8\""}}});
    EXPECT_EQ(sync(), failed("malformed bundle: Limit exceeded at path: $.exclusionPatterns[64], a list holds at "
                             "most 64 elements"));
    EXPECT_EQ(store->bundle, "old");
    EXPECT_EQ(store->etag, "\"v6\"");

    // Saved by an earlier release, it is not offered at start either, and stays where it is.
    keep(oversized, "\"v8\"");
    EXPECT_EQ(loadCached(), nullptr);
    EXPECT_EQ(store->bundle, oversized);
}

TEST_F(SyncClientTest, EveryOtherResponseFailsWithItsStatus) {
    keep("old", std::nullopt);
    const std::pair<HttpResponse, const char*> cases[] = {
        {{200, std::nullopt, {{"etag", "x"}}}, "HTTP 200"},  // no body, e.g. not valid UTF-8
        {{201, BUNDLE, {}}, "HTTP 201"},
        {{204, std::nullopt, {}}, "HTTP 204"},
        {{404, "not found", {}}, "HTTP 404"},
        {{500, BUNDLE, {}}, "HTTP 500"},
        {{-1, std::nullopt, {}}, "HTTP -1"},  // the exchange ended without a response
    };
    for (const auto& [response, reason] : cases) {
        transport->answer(response);
        EXPECT_EQ(sync(), failed(reason));
    }
    EXPECT_EQ(store->bundle, "old");
    EXPECT_THAT(log->calls(), ::testing::Not(::testing::Contains("save")));
}

TEST_F(SyncClientTest, TransportExceptionsBecomeFailures) {
    transport->respond = [](const fakes::Request&) -> HttpResponse {
        throw std::runtime_error("connection reset");
    };
    EXPECT_EQ(sync(), failed("connection reset"));
    transport->respond = [](const fakes::Request&) -> HttpResponse { throw std::runtime_error(""); };
    EXPECT_EQ(sync(), failed("network error"));
    EXPECT_THAT(log->calls(), ElementsAre("savedEtag", "GET", "savedEtag", "GET"));
}

TEST_F(SyncClientTest, LoadCachedReadsOnlyTheStoredBundle) {
    EXPECT_EQ(loadCached(), nullptr);  // nothing stored

    keep("{\"version\": 3", "\"v3\"");
    EXPECT_EQ(loadCached(), nullptr);
    EXPECT_EQ(store->bundle, "{\"version\": 3");  // neither deleted nor repaired

    keep(BUNDLE, std::nullopt);
    const auto database = loadCached();
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(database->version(), 7);
    EXPECT_THAT(log->calls(), ElementsAre("savedBundle", "savedBundle", "savedBundle"));
}

TEST(SyncResultValue, ComparesAndPrintsByCase) {
    const SyncResult failure{SyncResult::Failed{"HTTP 500"}};
    EXPECT_EQ(failure, (SyncResult{SyncResult::Failed{"HTTP 500"}}));
    EXPECT_NE(failure, (SyncResult{SyncResult::Failed{"HTTP 404"}}));
    EXPECT_EQ(failure.toString(), "Failed(reason=HTTP 500)");
    EXPECT_EQ(failure.hashCode(), record::hashText("HTTP 500"));

    const SyncResult notModified{SyncResult::NotModified{}};
    EXPECT_EQ(notModified.toString(), "NotModified");
    EXPECT_EQ(notModified, (SyncResult{SyncResult::NotModified{}}));
    EXPECT_NE(notModified, failure);

    // A catalogue compares by identity, so Updated does too.
    const auto database = SignatureDatabase::builtIn();
    const SyncResult updated{SyncResult::Updated{database}};
    EXPECT_EQ(updated, (SyncResult{SyncResult::Updated{database}}));
    EXPECT_NE(updated, (SyncResult{SyncResult::Updated{SignatureDatabase::builtIn()}}));
    EXPECT_EQ(updated.toString(), "Updated(database=" + database->toString() + ")");
    EXPECT_EQ(updated.hashCode(), database->hashCode());
}

TEST(HttpResponseValue, HeadersCompareAsMaps) {
    const HttpResponse response{200, std::nullopt, {{"etag", "\"1\""}, {"age", "3"}}};
    EXPECT_EQ(response.toString(), "HttpResponse(code=200, body=null, headers={age=3, etag=\"1\"})");
    EXPECT_EQ(response, (HttpResponse{200, std::nullopt, {{"age", "3"}, {"etag", "\"1\""}}}));
    EXPECT_NE(response, (HttpResponse{200, "", {{"age", "3"}, {"etag", "\"1\""}}}));
    EXPECT_NE(response, (HttpResponse{200, std::nullopt, {{"etag", "\"1\""}}}));
}

}  // namespace
}  // namespace glintward
