#include "app/Sync/UrlSessionTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/platform/Utf8.h"

namespace glintward {

namespace {

HttpResponse failure() {
    return HttpResponse{-1, std::nullopt, {}};
}

bool isToken(std::string_view name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

bool isSafeValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == value.npos;
}

std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    std::string bytes;
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto& body = static_cast<Body*>(user)->bytes;
    const std::size_t n = size * count;
    // Returning less than was offered ends the exchange with an error: the failure response.
    if (n > UrlSessionTransport::MAX_BODY_BYTES - body.size()) return 0;
    body.append(data, n);
    return n;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

HttpResponse UrlSessionTransport::get(const std::string& url, const HttpHeaders& headers) {
    return perform(url, headers, nullptr);
}

HttpResponse UrlSessionTransport::postJson(const std::string& url, const std::string& body) {
    return perform(url, {{"Content-Type", "application/json"}}, &body);
}

HttpResponse UrlSessionTransport::perform(const std::string& url, const HttpHeaders& headers,
                                          const std::string* postBody) const {
    initialiseCurl();

    // Parse first: a URL that does not parse, or names another scheme, sends nothing.
    if (url.find('\0') != std::string::npos) return failure();
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return failure();
    char* scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return failure();
    const std::string schemeText = lowerCased(scheme);
    curl_free(scheme);
    if (schemeText != "http" && schemeText != "https") return failure();

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return failure();
    CURL* h = easy.get();

    std::unique_ptr<curl_slist, ListDeleter> requestHeaders;
    for (const auto& [name, value] : headers) {
        if (!isToken(name) || !isSafeValue(value)) continue;
        // "Name:" with nothing after it would tell curl to drop the header; "Name;" sends it empty.
        std::string line = name;
        line += value.empty() ? ";" : ": ";
        line += value;
        curl_slist* grown = curl_slist_append(requestHeaders.get(), line.c_str());
        if (!grown) return failure();
        if (!requestHeaders) requestHeaders.reset(grown);  // later appends keep the same head
    }

    const long stallSeconds = std::max<long>(1, static_cast<long>((timeout_.count() + 999) / 1000));
    Body body;
    curl_easy_setopt(h, CURLOPT_CURLU, parsed.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    // Once on TLS, a redirect may not leave it: anyone on the path could answer a plain request.
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, schemeText == "https" ? "https" : "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!trustedCertificates_.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, trustedCertificates_.c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // Several threads may call at once; curl must not use signals for its time-outs.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(wait_.count()));
    // Refuses an announced oversized body before it arrives; `receive` stops one that was not announced.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MAX_BODY_BYTES));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, requestHeaders.get());
    if (postBody) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, postBody->data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    // Any transport error fails the whole exchange, even after a status line arrived: a cut-off body is
    // never passed on as if it were whole.
    if (curl_easy_perform(h) != CURLE_OK) return failure();

    long code = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code <= 0) return failure();

    HttpResponse response{static_cast<std::int32_t>(code), std::nullopt, {}};
    // The final response's headers only (not those of redirects or interim 1xx replies), in the order they
    // came, so of two names that differ only in case the later one wins.
    for (curl_header* header = nullptr; (header = curl_easy_nextheader(h, CURLH_HEADER, -1, header));) {
        const std::string_view name = header->name, value = header->value;
        if (!isUtf8(name) || !isUtf8(value)) continue;
        response.headers[lowerCased(name)] = std::string(value);
    }
    if (isUtf8(body.bytes)) response.body = std::move(body.bytes);
    return response;
}

}  // namespace glintward
