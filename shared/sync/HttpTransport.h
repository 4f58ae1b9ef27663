#pragma once
// The module's only way to the network. The host implements the transport; this module never builds a
// response of its own and sets no time limit, so every call must end by itself in bounded time.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "shared/record/Record.h"

namespace glintward {

// Header name to value.
using HttpHeaders = std::map<std::string, std::string>;

// The outcome of one HTTP exchange.
struct HttpResponse {
    // The final status code, or -1 when the exchange ended without an HTTP response (no connection, time-out,
    // any transport error).
    std::int32_t code = -1;
    // The body as UTF-8 text; absent when the exchange failed or the body is not valid UTF-8.
    std::optional<std::string> body;
    // Every response header under its lower-cased name; empty when the exchange failed. Readers look headers
    // up by their lower-case name only, so a transport that keeps "ETag" as written hides it.
    HttpHeaders headers;

    GLINTWARD_RECORD(HttpResponse, code, body, headers)
};

// A blocking HTTP client. Calls come on the caller's thread; the fingerprint submitter may call postJson from
// several threads at once, so an implementation must allow that.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    // One GET of an absolute URL carrying each entry of `headers` as a request header.
    virtual HttpResponse get(const std::string& url, const HttpHeaders& headers) = 0;

    // One POST of `body` (UTF-8) with "Content-Type: application/json".
    virtual HttpResponse postJson(const std::string& url, const std::string& body) = 0;
};

}  // namespace glintward
