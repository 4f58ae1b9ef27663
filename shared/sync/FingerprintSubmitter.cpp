#include "shared/sync/FingerprintSubmitter.h"

#include <algorithm>
#include <new>
#include <tuple>

#include <nlohmann/json.hpp>

#include "shared/record/Whitespace.h"
#include "shared/sync/ServiceUrl.h"

namespace glintward {
namespace {

// Members must come out in declared order, which the sorted default object type would not keep.
using Json = nlohmann::ordered_json;

constexpr std::string_view FINGERPRINTS_PATH = "/v1/fingerprints";
constexpr std::int32_t MIN_RSSI_DBM = -127;
constexpr std::int32_t MAX_RSSI_DBM = 20;

Json toJson(const std::string& v) {
    return v;
}
Json toJson(std::int32_t v) {
    return v;
}
template <class T>
Json toJson(const std::optional<T>& v) {
    return v ? toJson(*v) : Json(nullptr);
}
template <class T>
Json toJson(const std::vector<T>& v) {
    Json array = Json::array();
    for (const auto& element : v) array.push_back(toJson(element));
    return array;
}

// Every member is written, defaults and nulls included, compact, in the record's field order.
std::string encode(const FingerprintDto& report) {
    Json object = Json::object();
    std::apply([&](const auto&... f) { ((object[std::string(f.name)] = toJson(report.*(f.member))), ...); },
               FingerprintDto::recordFields());
    // Names come from any radio nearby: a byte that is not UTF-8 becomes U+FFFD instead of failing the
    // report.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

template <class T>
std::vector<T> firstItems(const std::vector<T>& all, std::size_t limit) {
    return std::vector<T>(all.begin(),
                          all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), limit)));
}

}  // namespace

FingerprintSubmitter::FingerprintSubmitter(std::string baseUrl, std::string appVersion,
                                           std::shared_ptr<HttpTransport> transport,
                                           std::int32_t maxPerSession)
    : baseUrl_(std::move(baseUrl)),
      appVersion_(std::move(appVersion)),
      transport_(std::move(transport)),
      maxPerSession_(maxPerSession) {}

SubmitResult FingerprintSubmitter::submit(const BleAdvertisement& advertisement,
                                          const SignatureMatch& match) {
    if (text::isBlank(baseUrl_)) return SubmitResult::FAILED;
    const std::string& address = advertisement.address;
    {
        // The duplicate test comes first: a recorded address stays a duplicate once the cap is reached.
        std::lock_guard lock(mutex_);
        if (submittedAddresses_.contains(address)) return SubmitResult::SKIPPED_DUPLICATE;
        if (static_cast<std::int64_t>(submittedAddresses_.size()) >= maxPerSession_) {
            return SubmitResult::SKIPPED_CAP;
        }
        submittedAddresses_.insert(address);
    }

    // Until the service accepts the report the address only holds a slot; whatever way this call ends short
    // of acceptance frees it, so a failure never blocks the address (or a slot of the cap) for good.
    struct Slot {
        FingerprintSubmitter& owner;
        const std::string& address;
        bool accepted = false;
        ~Slot() {
            if (!accepted) owner.forget(address);
        }
    } slot{*this, address};

    const FingerprintDto report{
        "android",
        appVersion_,
        sanitizedDeviceName(advertisement, match),
        firstItems(advertisement.manufacturerCompanyIds, MAX_LIST_ITEMS),
        firstItems(advertisement.serviceUuids, MAX_LIST_ITEMS),
        std::clamp(advertisement.rssi, MIN_RSSI_DBM, MAX_RSSI_DBM),
        match.signature ? std::optional<std::string>(match.signature->id) : std::nullopt,
        "unconfirmed",
    };
    const std::string body = encode(report);
    const std::string url = service_url::join(baseUrl_, FINGERPRINTS_PATH);

    try {
        const HttpResponse response = transport_->postJson(url, body);
        slot.accepted = response.code >= 200 && response.code <= 299;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // A failed request, like any other.
    }
    return slot.accepted ? SubmitResult::SENT : SubmitResult::FAILED;
}

std::optional<std::string> FingerprintSubmitter::sanitizedDeviceName(const BleAdvertisement& advertisement,
                                                                     const SignatureMatch& match) {
    if (!advertisement.name || !match.signature) return std::nullopt;
    const re2::StringPiece name(*advertisement.name);
    for (const Pattern& pattern : match.signature->namePatterns) {
        re2::StringPiece found;
        // A search, leftmost first: the text of the first occurrence, in the name's own letter case.
        if (pattern && pattern->Match(name, 0, name.size(), re2::RE2::UNANCHORED, &found, 1)) {
            return std::string(found.data(), found.size());
        }
    }
    return std::nullopt;
}

void FingerprintSubmitter::forget(const std::string& address) {
    std::lock_guard lock(mutex_);
    submittedAddresses_.erase(address);
}

}  // namespace glintward
