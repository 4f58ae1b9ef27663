#include "shared/sync/SignatureBundle.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include <nlohmann/json.hpp>

#include "shared/record/Set.h"

namespace glintward {
namespace {

using Json = nlohmann::json;

// Where a value stands in the document, kept as a chain on the stack and rendered only for a failure.
struct Path {
    const Path* parent = nullptr;
    std::string_view member;  // empty for an array element
    std::size_t index = 0;

    std::string text() const {
        std::string out = parent ? parent->text() : "$";
        if (!parent) return out;
        if (member.empty()) {
            out += '[';
            out += std::to_string(index);
            out += ']';
        } else {
            out += '.';
            out += member;
        }
        return out;
    }
};

[[noreturn]] void wrongType(const Json& value, std::string_view expected, const Path& path) {
    std::string found = value.is_number() ? "number " + value.dump() : value.type_name();
    throw BundleDecodingError("Expected " + std::string(expected) + " at path: " + path.text() + ", found " +
                              found);
}

template <class R>
bool isOptional(std::string_view member) {
    return std::find(R::OPTIONAL_MEMBERS.begin(), R::OPTIONAL_MEMBERS.end(), member) !=
           R::OPTIONAL_MEMBERS.end();
}

[[noreturn]] void missingMembers(const std::vector<std::string_view>& missing, std::string_view serialName,
                                 const Path& path) {
    std::string message;
    if (missing.size() == 1) {
        message = "Field '" + std::string(missing.front()) + "' is required for type with serial name '" +
                  std::string(serialName) + "', but it was missing";
    } else {
        message = "Fields [";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) message += ", ";
            message += missing[i];
        }
        message += "] are required for type with serial name '" + std::string(serialName) +
                   "', but they were missing";
    }
    throw BundleDecodingError(message + " at path: " + path.text());
}

// One overload per field type of the two records; a record decodes member by member from its own field list.
void decode(const Json& json, std::string& out, const Path& path);
void decode(const Json& json, bool& out, const Path& path);
void decode(const Json& json, std::int32_t& out, const Path& path);
template <class T>
void decode(const Json& json, std::vector<T>& out, const Path& path);
template <record::Record R>
void decode(const Json& json, R& out, const Path& path);

void decode(const Json& json, std::string& out, const Path& path) {
    if (!json.is_string()) wrongType(json, "a string", path);
    out = json.get_ref<const std::string&>();
}

void decode(const Json& json, bool& out, const Path& path) {
    if (!json.is_boolean()) wrongType(json, "a boolean", path);
    out = json.get<bool>();
}

void decode(const Json& json, std::int32_t& out, const Path& path) {
    constexpr auto MAX = std::numeric_limits<std::int32_t>::max();
    constexpr auto MIN = std::numeric_limits<std::int32_t>::min();
    // The library keeps large non-negative integers unsigned; fractions and exponents are never integers.
    if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(MAX)) {
            out = static_cast<std::int32_t>(value);
            return;
        }
    } else if (json.is_number_integer()) {
        const auto value = json.get<std::int64_t>();
        if (value >= MIN && value <= MAX) {
            out = static_cast<std::int32_t>(value);
            return;
        }
    }
    wrongType(json, "an integer in the 32-bit signed range", path);
}

template <class T>
void decode(const Json& json, std::vector<T>& out, const Path& path) {
    if (!json.is_array()) wrongType(json, "an array", path);
    out.reserve(json.size());
    std::size_t index = 0;
    for (const Json& element : json) {
        const Path at{&path, {}, index++};
        decode(element, out.emplace_back(), at);
    }
}

template <record::Record R>
void decode(const Json& json, R& out, const Path& path) {
    if (!json.is_object()) wrongType(json, "an object", path);
    std::vector<std::string_view> missing;
    std::apply(
        [&](const auto&... field) {
            auto member = [&](const auto& f) {
                const auto it = json.find(f.name);
                if (it == json.end()) {
                    if (!isOptional<R>(f.name)) missing.push_back(f.name);
                    return;
                }
                const Path at{&path, f.name};
                decode(*it, out.*(f.member), at);
            };
            (member(field), ...);
        },
        R::recordFields());
    if (!missing.empty()) missingMembers(missing, R::SERIAL_NAME, path);
}

std::vector<Pattern> compileAll(const std::vector<std::string>& sources,
                                Pattern (*compile)(std::string_view)) {
    std::vector<Pattern> patterns;
    patterns.reserve(sources.size());
    for (const auto& source : sources) {
        if (Pattern p = compile(source)) patterns.push_back(std::move(p));
    }
    return patterns;
}

}  // namespace

SignatureBundleDto SignatureBundleJson::parse(std::string_view text) {
    Json document;
    try {
        // Strict by default: standard syntax, no comments, exactly one value with nothing after it.
        document = Json::parse(text.begin(), text.end());
    } catch (const Json::exception& e) {
        // Syntax errors, and numbers too large for a double.
        throw BundleDecodingError(e.what());
    }
    SignatureBundleDto dto;
    decode(document, dto, Path{});
    return dto;
}

std::shared_ptr<const SignatureDatabase> SignatureBundleJson::toDatabase(const SignatureBundleDto& dto) {
    std::vector<Pattern> exclusions = compileAll(dto.exclusionPatterns, compileOrNull);
    std::vector<DeviceSignature> signatures;
    signatures.reserve(dto.signatures.size());
    for (const SignatureDto& s : dto.signatures) {
        // Advertised UUIDs are compared lower-cased, so the catalogue holds them so; case variants collapse.
        std::vector<std::string> uuids;
        uuids.reserve(s.serviceUuids.size());
        for (const auto& uuid : s.serviceUuids) uuids.push_back(lowerAscii(uuid));
        signatures.push_back(DeviceSignature{
            s.id, s.brand, s.displayName, compileAll(s.namePatterns, compileOrNull),
            Set<std::int32_t>(s.companyIds), s.companyIdsVerified, Set<std::string>(std::move(uuids))});
    }
    return std::make_shared<const SignatureDatabase>(dto.version, std::move(signatures),
                                                     std::move(exclusions));
}

Pattern SignatureBundleJson::compileOrNull(std::string_view source) {
    return compilePattern(source);
}

}  // namespace glintward
