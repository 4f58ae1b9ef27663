#pragma once
// The persistent slot for the last downloaded signature bundle and its entity tag, implemented by the host.
// What it holds outlives the process: the next run loads the bundle from it and revalidates with the tag.
//
// None of the operations may throw: callers do not guard them. A store that cannot read answers absent.

#include <optional>
#include <string>

namespace glintward {

class SignatureStore {
public:
    virtual ~SignatureStore() = default;

    // The bundle text given to the last save, character for character; absent when nothing was saved.
    virtual std::optional<std::string> savedBundle() = 0;

    // The entity tag given to the last save; absent when that save had none (a stored empty tag may also be
    // reported as absent).
    virtual std::optional<std::string> savedEtag() = 0;

    // Replaces the bundle, and replaces the tag or removes it when `etag` is absent.
    virtual void save(const std::string& bundleJson, const std::optional<std::string>& etag) = 0;
};

}  // namespace glintward
