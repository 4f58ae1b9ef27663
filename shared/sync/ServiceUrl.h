#pragma once
// How the sync client and the fingerprint submitter turn the service's base URL into a request URL. A blank
// base (text::isBlank) means the service is not configured.

#include <string>
#include <string_view>

namespace glintward::service_url {

// The base with every trailing "/" removed (nothing else trimmed), then the fixed path, so that a base
// written with a slash or two never yields "//v1/...".
inline std::string join(std::string_view base, std::string_view path) {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    std::string url(base);
    url += path;
    return url;
}

}  // namespace glintward::service_url
