#pragma once
// The signature catalogue: which devices are camera-capable glasses and how each model shows itself in an
// advertisement (a name pattern, a company identifier, a service UUID).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <re2/re2.h>

#include "shared/detection/Records.h"
#include "shared/record/Record.h"
#include "shared/record/Set.h"

namespace glintward {

// A compiled name or exclusion pattern. Patterns have no value equality: one equals only itself.
using Pattern = std::shared_ptr<const re2::RE2>;

// The options every catalogue pattern is compiled with: case-insensitive, silent, and within a memory budget of
// PATTERN_MAX_MEM bytes (RE2 gives two thirds of it to the program, 8 bytes an instruction, the rest to its
// automata).
const re2::RE2::Options& patternOptions();
inline constexpr std::int64_t PATTERN_MAX_MEM = std::int64_t{64} << 10;

// Compiles a pattern case-insensitive; nullptr when it does not compile.
Pattern compilePattern(std::string_view source);

namespace record {
template <>
struct Traits<Pattern> {
    static bool equal(const Pattern& a, const Pattern& b) { return a == b; }
    static std::int32_t hash(const Pattern& p) { return identityHash(p.get()); }
    static void append(std::string& out, const Pattern& p) { out += p ? p->pattern() : std::string("null"); }
};
}  // namespace record

// One catalogue entry.
struct DeviceSignature {
    std::string id;
    std::string brand;
    std::string displayName;
    std::vector<Pattern> namePatterns;
    Set<std::int32_t> companyIds;
    bool companyIdsVerified = false;
    Set<std::string> serviceUuids;

    GLINTWARD_RECORD(DeviceSignature, id, brand, displayName, namePatterns, companyIds, companyIdsVerified,
                     serviceUuids)
};

// Signatures are shared, never copied: a match, a tracked device and the catalogue all hold the same one.
using SignaturePtr = std::shared_ptr<const DeviceSignature>;

struct SignatureMatch {
    SignaturePtr signature;
    double confidence = 0;

    GLINTWARD_RECORD(SignatureMatch, signature, confidence)
};

struct MatchOptions {
    Set<std::string> disabledSignatureIds;
    bool matchUnknownIds = true;

    GLINTWARD_RECORD(MatchOptions, disabledSignatureIds, matchUnknownIds)
};

struct ScanTargets {
    Set<std::int32_t> companyIds;
    Set<std::string> serviceUuids;

    GLINTWARD_RECORD(ScanTargets, companyIds, serviceUuids)
};

// One catalogue. Compared by identity; immutable, so any number of threads may match against it at once.
class SignatureDatabase {
public:
    static constexpr double CONFIDENCE_NAME_ONLY = 0.9;
    static constexpr double CONFIDENCE_COMPANY_ID_ONLY = 0.6;
    static constexpr double CONFIDENCE_NAME_AND_COMPANY_ID = 0.95;

    // Patterns arrive compiled; a null pattern never hits.
    SignatureDatabase(std::int32_t version, std::vector<DeviceSignature> signatures,
                      std::vector<Pattern> exclusionPatterns);
    ~SignatureDatabase();
    SignatureDatabase(const SignatureDatabase&) = delete;
    SignatureDatabase& operator=(const SignatureDatabase&) = delete;

    // A new catalogue of the four built-in signatures, version 0.
    static std::shared_ptr<const SignatureDatabase> builtIn();

    std::int32_t version() const { return version_; }
    const std::vector<SignaturePtr>& signatures() const { return signatures_; }

    // The best signature for the advertisement, or nothing.
    std::optional<SignatureMatch> match(const BleAdvertisement& advertisement, const MatchOptions& options) const;
    ScanTargets scanTargets(const MatchOptions& options) const;

    std::int32_t hashCode() const { return record::identityHash(this); }
    std::string toString() const;

private:
    struct Index;

    std::int32_t version_;
    std::vector<SignaturePtr> signatures_;
    std::vector<Pattern> exclusionPatterns_;
    std::unique_ptr<const Index> index_;
};

std::ostream& operator<<(std::ostream& out, const SignatureDatabase& database);

namespace record {
// A catalogue inside a record compares and hashes by identity and prints its object text.
template <>
struct Traits<std::shared_ptr<const SignatureDatabase>> {
    static bool equal(const std::shared_ptr<const SignatureDatabase>& a,
                      const std::shared_ptr<const SignatureDatabase>& b) {
        return a == b;
    }
    static std::int32_t hash(const std::shared_ptr<const SignatureDatabase>& d) {
        return d ? d->hashCode() : 0;
    }
    static void append(std::string& out, const std::shared_ptr<const SignatureDatabase>& d) {
        out += d ? d->toString() : std::string("null");
    }
};
}  // namespace record

// ASCII lower case, locale-independent; service UUIDs are compared in this form.
std::string lowerAscii(std::string_view text);

}  // namespace glintward
