#pragma once
// Keeps the signature catalogue current from the signature service: loads the bundle the host's store kept,
// and fetches a new one with entity-tag revalidation. The client installs nothing; the caller offers the
// catalogues to SignatureRepository, which alone decides whether one replaces the catalogue in force.

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <variant>

#include "shared/detection/SignatureDatabase.h"
#include "shared/record/Record.h"
#include "shared/sync/HttpTransport.h"
#include "shared/sync/SignatureStore.h"

namespace glintward {

// The outcome of one sync: exactly one of three cases.
struct SyncResult {
    // A new bundle was received, converted and saved.
    struct Updated {
        std::shared_ptr<const SignatureDatabase> database;
        GLINTWARD_RECORD(Updated, database)
    };

    // The stored bundle is still current. Stateless: every value is the same one.
    struct NotModified {
        std::int32_t hashCode() const { return record::hashText("NotModified"); }
        std::string toString() const { return "NotModified"; }
        friend bool operator==(const NotModified&, const NotModified&) { return true; }
        friend std::ostream& operator<<(std::ostream& out, const NotModified&) {
            return out << "NotModified";
        }
    };

    // reason: "no API base URL configured", the transport's message (or "network error" when it has none),
    // "malformed bundle: " with the decoder's message, or "HTTP " with the status code (-1: no response).
    struct Failed {
        std::string reason;
        GLINTWARD_RECORD(Failed, reason)
    };

    std::variant<Updated, NotModified, Failed> value;

    // The case held, or nullptr for another case.
    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&value);
    }

    std::int32_t hashCode() const {
        return std::visit([](const auto& c) { return c.hashCode(); }, value);
    }
    std::string toString() const {
        return std::visit([](const auto& c) { return c.toString(); }, value);
    }
    friend bool operator==(const SyncResult& a, const SyncResult& b) { return a.value == b.value; }
    friend std::ostream& operator<<(std::ostream& out, const SyncResult& r) { return out << r.toString(); }
};

// Immutable and lock-free; all state lives in the store. Both operations block for as long as the store and
// the transport take, so call them off the user-interface thread.
class SignatureSyncClient {
public:
    // Checks nothing; a blank base URL is noticed by sync().
    SignatureSyncClient(std::string baseUrl, std::shared_ptr<SignatureStore> store,
                        std::shared_ptr<HttpTransport> transport);

    // The catalogue of the stored bundle, or nullptr when nothing is stored or it does not decode (the stored
    // text is left as it is). Calls only savedBundle() on the store, never the transport.
    std::shared_ptr<const SignatureDatabase> loadCached() const;

    // One GET of base URL + "/v1/signatures", with "If-None-Match" when a tag is stored. A 200 body is
    // decoded and converted before anything is saved, so the store only ever holds a bundle that converted,
    // with the tag of the same response. Exceptions the transport throws (std::exception, except
    // std::bad_alloc) become Failed; the store's operations are not guarded.
    SyncResult sync() const;

private:
    std::string baseUrl_;
    std::shared_ptr<SignatureStore> store_;
    std::shared_ptr<HttpTransport> transport_;
};

}  // namespace glintward
