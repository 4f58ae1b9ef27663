#pragma once
// The signature bundle: the JSON document in which the signature service delivers a catalogue, its two
// transfer records, and the decoder that turns a document into a catalogue of the detection core.
//
// The document arrives from the network and from the host's store, so decoding is strict: standard JSON only
// (no NUL byte, no byte-order mark), every defined member of its JSON type (no coercion, a null is never a
// default, integers in the 32-bit signed range), required members present, nothing after the closing brace.
// A member written twice is checked at each occurrence, and the last one gives the value. Members the format
// does not define are skipped at every level whatever their value, so the service can add some without
// breaking older clients. A lone UTF-16 surrogate escape in a kept text reads as U+FFFD, so every text of a
// decoded bundle is well-formed UTF-8.

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "shared/detection/SignatureDatabase.h"
#include "shared/record/Record.h"

namespace glintward {

// One signature object of the document, values as written (patterns uncompiled, duplicates kept).
struct SignatureDto {
    std::string id;
    std::string brand;
    std::string displayName;
    std::vector<std::string> namePatterns;
    std::vector<std::int32_t> companyIds;
    bool companyIdsVerified = false;
    std::vector<std::string> serviceUuids;

    GLINTWARD_RECORD(SignatureDto, id, brand, displayName, namePatterns, companyIds, companyIdsVerified,
                     serviceUuids)

    // What drives decoding besides the field list: the name failures report, and the members that may be
    // absent (they keep the defaults above).
    static constexpr std::string_view SERIAL_NAME = "glintward.detection.sync.SignatureDto";
    static constexpr std::array<std::string_view, 4> OPTIONAL_MEMBERS{"namePatterns", "companyIds",
                                                                      "companyIdsVerified", "serviceUuids"};
};

// The whole document.
struct SignatureBundleDto {
    std::int32_t version = 0;
    std::vector<std::string> exclusionPatterns;
    std::vector<SignatureDto> signatures;

    GLINTWARD_RECORD(SignatureBundleDto, version, exclusionPatterns, signatures)

    static constexpr std::string_view SERIAL_NAME = "glintward.detection.sync.SignatureBundleDto";
    static constexpr std::array<std::string_view, 2> OPTIONAL_MEMBERS{"exclusionPatterns", "signatures"};
};

// A document that does not decode; what() is the decoder's message: the offending token and its position, the
// path of an ill-typed value, or the missing members with the record's serial name.
class BundleDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stateless: parse and toDatabase may run on any thread, also at once.
//
// A bundle whose catalogue would cost more than any real one is refused as a whole, like a document that
// breaks the format (BundleDecodingError, its message naming the limit), so that whatever a body of the
// transport's 8 MiB holds, building its catalogue takes well under a second and a few tens of megabytes. The
// limits stand far above any real catalogue, whose patterns are short literals with a few classes.
class SignatureBundleJson {
public:
    static constexpr std::size_t MAX_SIGNATURES = 1024;
    // In any one list: exclusion patterns, a signature's name patterns, company identifiers, service UUIDs.
    static constexpr std::size_t MAX_LIST_ELEMENTS = 64;
    static constexpr std::size_t MAX_PATTERNS = 4096;  // exclusion and name patterns together
    static constexpr std::size_t MAX_TEXT_BYTES = 1024;  // any kept text: id, names, pattern, service UUID
    // What compiling all patterns may cost, in steps of RE2's work (about a microsecond each): an estimate
    // from each pattern's text of what RE2 spends before its memory budget applies, plus each compiled
    // program's instructions. A pattern beyond its own memory budget does not compile and is left out, but
    // what it cost to find out counts.
    static constexpr std::int64_t MAX_COMPILE_STEPS = 400'000;

    // Decodes one document; throws BundleDecodingError when it breaks any rule of the format or exceeds a
    // limit (counts and text sizes while decoding, so an oversized list is never built; the patterns'
    // estimated cost once decoded, before any is compiled).
    static SignatureBundleDto parse(std::string_view text);

    // A new catalogue built from a decoded bundle. A pattern that does not compile within its memory budget
    // is left out of its list; ids, identifiers and the version pass through as they are. Throws
    // BundleDecodingError when the bundle exceeds a limit, compilation included.
    static std::shared_ptr<const SignatureDatabase> toDatabase(const SignatureBundleDto& dto);

private:
    // Adds what the compilation cost to steps.
    static Pattern compileOrNull(std::string_view source, std::int64_t& steps);
};

}  // namespace glintward
