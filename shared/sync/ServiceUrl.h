#pragma once
// How the sync client and the fingerprint submitter turn the service's base URL into a request URL.

#include <string>
#include <string_view>

namespace glintward::service_url {

// Empty or only whitespace: the service is not configured.
inline bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

// The base with every trailing "/" removed (nothing else trimmed), then the fixed path, so that a base
// written with a slash or two never yields "//v1/...".
inline std::string join(std::string_view base, std::string_view path) {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    std::string url(base);
    url += path;
    return url;
}

}  // namespace glintward::service_url
