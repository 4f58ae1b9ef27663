#include "shared/sync/SignatureSyncClient.h"

#include <new>

#include "shared/record/Whitespace.h"
#include "shared/sync/ServiceUrl.h"
#include "shared/sync/SignatureBundle.h"

namespace glintward {
namespace {

constexpr std::string_view SIGNATURES_PATH = "/v1/signatures";
constexpr std::string_view NO_BASE_URL_REASON = "no API base URL configured";
constexpr std::string_view NETWORK_ERROR_REASON = "network error";
constexpr std::string_view MALFORMED_BUNDLE_PREFIX = "malformed bundle: ";

std::string messageOr(const std::exception& e, std::string_view fallback) {
    const char* message = e.what();
    return message && *message ? std::string(message) : std::string(fallback);
}

SyncResult failed(std::string reason) {
    return {SyncResult::Failed{std::move(reason)}};
}

}  // namespace

SignatureSyncClient::SignatureSyncClient(std::string baseUrl, std::shared_ptr<SignatureStore> store,
                                         std::shared_ptr<HttpTransport> transport)
    : baseUrl_(std::move(baseUrl)), store_(std::move(store)), transport_(std::move(transport)) {}

std::shared_ptr<const SignatureDatabase> SignatureSyncClient::loadCached() const {
    const std::optional<std::string> bundle = store_->savedBundle();
    if (!bundle) return nullptr;
    try {
        return SignatureBundleJson::toDatabase(SignatureBundleJson::parse(*bundle));
    } catch (const std::exception&) {
        // An unreadable cache is simply no cache; the next successful sync overwrites it.
        return nullptr;
    }
}

SyncResult SignatureSyncClient::sync() const {
    if (text::isBlank(baseUrl_)) return failed(std::string(NO_BASE_URL_REASON));
    const std::string url = service_url::join(baseUrl_, SIGNATURES_PATH);

    HttpHeaders headers;
    if (std::optional<std::string> etag = store_->savedEtag())
        headers.emplace("If-None-Match", std::move(*etag));

    std::optional<HttpResponse> received;
    try {
        received.emplace(transport_->get(url, headers));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        return failed(messageOr(e, NETWORK_ERROR_REASON));
    }
    const HttpResponse& response = *received;

    if (response.code == 200 && response.body) {
        std::shared_ptr<const SignatureDatabase> database;
        try {
            database = SignatureBundleJson::toDatabase(SignatureBundleJson::parse(*response.body));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            return failed(std::string(MALFORMED_BUNDLE_PREFIX) + messageOr(e, "null"));
        }
        const auto etag = response.headers.find("etag");
        store_->save(*response.body, etag == response.headers.end()
                                         ? std::nullopt
                                         : std::optional<std::string>(etag->second));
        return {SyncResult::Updated{std::move(database)}};
    }
    if (response.code == 304) return {SyncResult::NotModified{}};
    return failed("HTTP " + std::to_string(response.code));
}

}  // namespace glintward
