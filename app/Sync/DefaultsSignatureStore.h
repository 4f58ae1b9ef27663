#pragma once
// The host's slot for the last signature bundle and its entity tag, in the user-defaults store.

#include <optional>
#include <string>

#include "app/platform/UserDefaults.h"
#include "shared/sync/SignatureStore.h"

namespace glintward {

class DefaultsSignatureStore final : public SignatureStore {
public:
    // The standard store; tests pass one of their own.
    explicit DefaultsSignatureStore(UserDefaults& defaults = UserDefaults::standard())
        : defaults_(defaults) {}

    const std::string bundleKey = "signatures_bundle";
    const std::string etagKey = "signatures_etag";

    // The stored text, empty text included.
    std::optional<std::string> savedBundle() override;
    // Absent when no tag is stored or the stored one is empty.
    std::optional<std::string> savedEtag() override;
    // Writes the bundle, then writes the tag (an empty one too) or, without one, removes the stored tag, so
    // the next sync sends no "If-None-Match".
    void save(const std::string& bundleJson, const std::optional<std::string>& etag) override;

private:
    UserDefaults& defaults_;
};

}  // namespace glintward
