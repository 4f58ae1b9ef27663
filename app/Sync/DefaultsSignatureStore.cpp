#include "app/Sync/DefaultsSignatureStore.h"

namespace glintward {

std::optional<std::string> DefaultsSignatureStore::savedBundle() {
    return defaults_.stringForKey(bundleKey);
}

std::optional<std::string> DefaultsSignatureStore::savedEtag() {
    auto etag = defaults_.stringForKey(etagKey);
    if (etag && etag->empty()) return std::nullopt;
    return etag;
}

void DefaultsSignatureStore::save(const std::string& bundleJson, const std::optional<std::string>& etag) {
    defaults_.setObject(bundleJson, bundleKey);
    if (etag) {
        defaults_.setObject(*etag, etagKey);
    } else {
        defaults_.removeObjectForKey(etagKey);
    }
}

}  // namespace glintward
