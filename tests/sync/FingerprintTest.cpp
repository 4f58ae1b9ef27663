#include "shared/sync/FingerprintSubmitter.h"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sync/Fakes.h"

namespace glintward {
namespace {

using fakes::FakeTransport;
using fakes::Request;
using ::testing::HasSubstr;

constexpr const char* BASE_URL = "http://127.0.0.1:8080";

SignatureMatch matchOf(std::vector<std::string> patterns, std::string id = "rayban-meta") {
    std::vector<Pattern> compiled;
    for (const auto& p : patterns) compiled.push_back(compilePattern(p));
    return {std::make_shared<const DeviceSignature>(DeviceSignature{
                std::move(id), "Meta", "Ray-Ban Meta", std::move(compiled), {1422}, true, {}}),
            0.95};
}

BleAdvertisement advertisement(std::string address, std::optional<std::string> name = "Ray-Ban 0042") {
    return {
        std::move(address), std::move(name), {1422}, {"0000fd5f-0000-1000-8000-00805f9b34fb"}, -60, 4, 1000};
}

class FingerprintTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    SignatureMatch match = matchOf({"ray[- ]?ban"});

    FingerprintSubmitter submitter(std::int32_t maxPerSession = FingerprintSubmitter::DEFAULT_MAX_PER_SESSION,
                                   std::string baseUrl = BASE_URL) {
        return {std::move(baseUrl), "1.2.3", transport, maxPerSession};
    }
    std::string lastBody() const { return transport->requests().back().body; }
};

TEST_F(FingerprintTest, ReportWritesAllEightMembersCompactInOrder) {
    auto s = submitter(20, "http://127.0.0.1:8080//");
    EXPECT_EQ(s.submit(advertisement("a1", "My RAY-BAN 0042"), match), SubmitResult::SENT);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].url, "http://127.0.0.1:8080/v1/fingerprints");
    EXPECT_EQ(requests[0].body,
              R"({"platform":"android","appVersion":"1.2.3","deviceName":"RAY-BAN","companyIds":[1422],)"
              R"("serviceUuids":["0000fd5f-0000-1000-8000-00805f9b34fb"],"rssi":-60,)"
              R"("matchedSignatureId":"rayban-meta","context":"unconfirmed"})");

    // Absent values are written as null and empty lists as [], never left out; texts are escaped.
    FingerprintSubmitter quoted(BASE_URL, "1.0 \"beta\"\n\xFF", transport, 20);
    EXPECT_EQ(quoted.submit({"a2", std::nullopt, {}, {}, -70, std::nullopt, 0}, match), SubmitResult::SENT);
    EXPECT_EQ(
        lastBody(),
        "{\"platform\":\"android\",\"appVersion\":\"1.0 \\\"beta\\\"\\n\xEF\xBF\xBD\",\"deviceName\":null,"
        "\"companyIds\":[],\"serviceUuids\":[],\"rssi\":-70,\"matchedSignatureId\":\"rayban-meta\","
        "\"context\":\"unconfirmed\"}");
}

TEST_F(FingerprintTest, RssiIsClampedAndListsCutToSixteen) {
    auto s = submitter(100);
    const std::pair<std::int32_t, const char*> rssi[] = {
        {127, "\"rssi\":20,"},         {21, "\"rssi\":20,"},     {20, "\"rssi\":20,"},
        {-60, "\"rssi\":-60,"},        {-127, "\"rssi\":-127,"}, {-128, "\"rssi\":-127,"},
        {INT32_MIN, "\"rssi\":-127,"},
    };
    for (const auto& [value, text] : rssi) {
        auto ad = advertisement("r" + std::to_string(value));
        ad.rssi = value;
        ASSERT_EQ(s.submit(ad, match), SubmitResult::SENT);
        EXPECT_THAT(lastBody(), HasSubstr(text)) << value;
    }

    auto many = advertisement("many");
    many.manufacturerCompanyIds.clear();
    for (int i = 1; i <= 20; ++i) many.manufacturerCompanyIds.push_back(i);
    many.serviceUuids.assign(17, "u");
    many.serviceUuids[0] = "first";
    ASSERT_EQ(s.submit(many, match), SubmitResult::SENT);
    EXPECT_THAT(lastBody(), HasSubstr(R"("companyIds":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16],)"));
    EXPECT_THAT(lastBody(),
                HasSubstr(R"("serviceUuids":["first","u","u","u","u","u","u","u","u","u","u","u","u",)"
                          R"("u","u","u"],)"));
}

TEST(SanitizedDeviceName, OnlyTheFirstOccurrenceOfTheFirstPatternFound) {
    struct Case {
        std::vector<std::string> patterns;
        std::optional<std::string> name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {{"ray[- ]?ban"}, "Jo's RAY BAN 7 ray-ban", "RAY BAN"},         // in the name's own letter case
        {{"wayfarer", "ray[- ]?ban"}, "Ray-Ban Wayfarer", "Wayfarer"},  // pattern order beats name order
        {{"(", "oak"}, "Oakley", "Oak"},                                // a pattern that never compiled
        {{"x*", "ray"}, "Ray-Ban", ""},                                 // an empty occurrence is not absent
        {{"ray[- ]?ban"}, "Oakley", std::nullopt},
        {{"ray[- ]?ban"}, std::nullopt, std::nullopt},
        {{}, "Ray-Ban", std::nullopt},  // matched by company ID
        {{"(a+)+$"}, std::string(100000, 'a') + "!", std::nullopt},
    };
    for (const auto& c : cases) {
        const BleAdvertisement ad{"a1", c.name, {}, {}, -60, {}, 0};
        EXPECT_EQ(FingerprintSubmitter::sanitizedDeviceName(ad, matchOf(c.patterns)), c.expected)
            << (c.name ? c.name->substr(0, 40) : "no name");
    }
    // A match without a signature has nothing to recognise.
    EXPECT_EQ(FingerprintSubmitter::sanitizedDeviceName(advertisement("a1"), SignatureMatch{nullptr, 0.9}),
              std::nullopt);
}

TEST_F(FingerprintTest, EachAddressIsSentOnceAndTheCapCountsRecordedAddresses) {
    for (std::int32_t code : {200, 201, 299}) {
        transport->answer({code, std::nullopt, {}});
        auto s = submitter(2);
        const std::size_t before = transport->requests().size();
        EXPECT_EQ(s.submit(advertisement("a"), match), SubmitResult::SENT) << code;
        EXPECT_EQ(s.submit(advertisement("a"), match), SubmitResult::SKIPPED_DUPLICATE);
        EXPECT_EQ(s.submit(advertisement("b"), match), SubmitResult::SENT);
        EXPECT_EQ(s.submit(advertisement("c"), match), SubmitResult::SKIPPED_CAP);
        EXPECT_EQ(s.submit(advertisement("b"), match),
                  SubmitResult::SKIPPED_DUPLICATE);  // duplicate beats cap
        EXPECT_EQ(transport->requests().size(), before + 2);
    }
    for (std::int32_t cap : {0, -1}) {
        EXPECT_EQ(submitter(cap).submit(advertisement("a"), match), SubmitResult::SKIPPED_CAP);
    }
    for (const char* blank : {"", "  ", "\xC2\xA0", "\xE3\x80\x80\x1F"}) {
        EXPECT_EQ(submitter(20, blank).submit(advertisement("a"), match), SubmitResult::FAILED);
    }
    EXPECT_EQ(transport->requests().size(), 6u);
}

TEST_F(FingerprintTest, FailedReportFreesItsSlot) {
    const std::function<HttpResponse(const Request&)> failures[] = {
        [](const Request&) {
            return HttpResponse{300, std::nullopt, {}};
        },
        [](const Request&) {
            return HttpResponse{404, "no", {}};
        },
        [](const Request&) {
            return HttpResponse{500, std::nullopt, {}};
        },
        [](const Request&) {
            return HttpResponse{199, std::nullopt, {}};
        },
        [](const Request&) {
            return HttpResponse{-1, std::nullopt, {}};
        },
        [](const Request&) -> HttpResponse { throw std::runtime_error("connection refused"); },
    };
    for (std::size_t i = 0; i < std::size(failures); ++i) {
        auto s = submitter(1);
        transport->respond = failures[i];
        EXPECT_EQ(s.submit(advertisement("a"), match), SubmitResult::FAILED) << i;
        EXPECT_EQ(s.submit(advertisement("a"), match), SubmitResult::FAILED) << i;  // attempted again
        transport->answer({200, std::nullopt, {}});
        EXPECT_EQ(s.submit(advertisement("b"), match), SubmitResult::SENT) << i;  // the cap slot came back
    }
    EXPECT_EQ(transport->requests().size(), 3 * std::size(failures));
}

TEST_F(FingerprintTest, LockIsNotHeldWhileARequestRuns) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    transport->respond = [&, first = std::make_shared<std::atomic<bool>>(true)](const Request&) {
        if (first->exchange(false)) {
            entered.set_value();
            released.wait();
        }
        return HttpResponse{200, std::nullopt, {}};
    };
    auto s = submitter(20);

    auto held = std::async(std::launch::async, [&] { return s.submit(advertisement("a"), match); });
    entered.get_future().wait();
    // While the first report of "a" is in flight, other submits neither wait for it nor report "a" again.
    auto others = std::async(std::launch::async, [&] {
        return std::make_pair(s.submit(advertisement("a"), match), s.submit(advertisement("b"), match));
    });
    const bool blocked = others.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    release.set_value();
    ASSERT_FALSE(blocked) << "a submit waited for another one's request";
    EXPECT_EQ(others.get(), std::make_pair(SubmitResult::SKIPPED_DUPLICATE, SubmitResult::SENT));
    EXPECT_EQ(held.get(), SubmitResult::SENT);
    EXPECT_EQ(transport->requests().size(), 2u);
}

}  // namespace
}  // namespace glintward
