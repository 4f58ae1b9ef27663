#pragma once
// The host's HTTP transport over libcurl: blocking, redirects followed (from an https URL to https only, so a
// redirect cannot move a request off TLS), TLS peers verified. Every exchange
// that ends without an HTTP response, and every URL that does not parse, comes back as code -1 with no body
// and no headers; nothing is thrown. Calls may come from several threads at once.

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

#include "shared/sync/HttpTransport.h"

namespace glintward {

class UrlSessionTransport final : public HttpTransport {
public:
    static constexpr std::chrono::milliseconds TIMEOUT_MS_DEFAULT{10000};
    static constexpr std::chrono::milliseconds WAIT_MS_DEFAULT{15000};
    // A larger body is not buffered further: the exchange fails.
    static constexpr std::size_t MAX_BODY_BYTES = std::size_t{8} * 1024 * 1024;

    // `timeout` bounds the connection attempt and any stall of the exchange (a stall is counted in whole
    // seconds, at least one); `wait` bounds the whole exchange, redirects included. `trustedCertificates`,
    // when given, names a PEM file whose certificates are the only ones trusted in place of the system's.
    explicit UrlSessionTransport(std::chrono::milliseconds timeout = TIMEOUT_MS_DEFAULT,
                                 std::chrono::milliseconds wait = WAIT_MS_DEFAULT,
                                 std::string trustedCertificates = {})
        : timeout_(timeout), wait_(wait), trustedCertificates_(std::move(trustedCertificates)) {}

    // A request header whose name is not an HTTP token, or whose value holds CR, LF or NUL, is left out
    // rather than allowed to break the request apart.
    HttpResponse get(const std::string& url, const HttpHeaders& headers) override;
    HttpResponse postJson(const std::string& url, const std::string& body) override;

private:
    HttpResponse perform(const std::string& url, const HttpHeaders& headers,
                         const std::string* postBody) const;

    std::chrono::milliseconds timeout_;
    std::chrono::milliseconds wait_;
    std::string trustedCertificates_;
};

}  // namespace glintward
