#include "shared/sync/SignatureBundle.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "shared/json/JsonText.h"
#include "shared/record/Set.h"

// The document is read with nlohmann's SAX parser, which checks the syntax of the whole text while the
// decoder below builds values only for the members the format defines. Unknown members are skipped by
// counting their nesting, so no value of theirs is ever held, however large or deep.

namespace glintward {
namespace {

using Json = nlohmann::json;

// Every place a value of the format can go: a field of one of the two records, or an element of one of their
// lists. A null Skipped pointer is a value that is skipped.
struct Skipped {};
using Slot =
    std::variant<Skipped*, std::string*, bool*, std::int32_t*, std::vector<std::string>*,
                 std::vector<std::int32_t>*, std::vector<SignatureDto>*, SignatureDto*, SignatureBundleDto*>;

template <class T>
struct IsList : std::false_type {};
template <class T>
struct IsList<std::vector<T>> : std::true_type {};

template <class T>
constexpr std::string_view expectedText() {
    if constexpr (std::is_same_v<T, std::string>) {
        return "a string";
    } else if constexpr (std::is_same_v<T, bool>) {
        return "a boolean";
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return "an integer in the 32-bit signed range";
    } else if constexpr (IsList<T>::value) {
        return "an array";
    } else {
        static_assert(record::Record<T>);
        return "an object";
    }
}

template <class R>
bool isOptional(std::string_view member) {
    return std::find(R::OPTIONAL_MEMBERS.begin(), R::OPTIONAL_MEMBERS.end(), member) !=
           R::OPTIONAL_MEMBERS.end();
}

std::string missingMembersMessage(const std::vector<std::string_view>& missing, std::string_view serialName) {
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
    return message;
}

struct Member {
    std::size_t index;  // in the record's field list
    std::string_view name;
    Slot slot;
};

// The field of record r named key, or nothing for a member the format does not define.
template <record::Record R>
std::optional<Member> member(R& r, std::string_view key) {
    static_assert(std::tuple_size_v<decltype(R::recordFields())> <= 32, "one bit per field");
    std::optional<Member> found;
    std::size_t index = 0;
    std::apply(
        [&](const auto&... field) {
            ((!found && field.name == key ? void(found = Member{index, field.name, &(r.*(field.member))})
                                          : void(),
              ++index),
             ...);
        },
        R::recordFields());
    return found;
}

// The required fields of R whose bit is not in seen, in declared order.
template <record::Record R>
std::vector<std::string_view> missingFields(std::uint32_t seen) {
    std::vector<std::string_view> missing;
    std::size_t index = 0;
    std::apply(
        [&](const auto&... field) {
            ((!(seen >> index & 1u) && !isOptional<R>(field.name) ? missing.push_back(field.name) : void(),
              ++index),
             ...);
        },
        R::recordFields());
    return missing;
}

// The limits of what one catalogue may hold (see SignatureBundleJson). Counts and text sizes are checked while
// decoding, as each element or text arrives; the totals once the document is decoded.

template <class List>
constexpr std::size_t maxElements() {
    if constexpr (std::is_same_v<List, std::vector<SignatureDto>>) {
        return SignatureBundleJson::MAX_SIGNATURES;
    } else {
        return SignatureBundleJson::MAX_LIST_ELEMENTS;
    }
}

template <class List>
std::string tooManyElements(const std::string& path) {
    if constexpr (std::is_same_v<List, std::vector<SignatureDto>>) {
        return "Limit exceeded at path: " + path + ", a catalogue holds at most " +
               std::to_string(SignatureBundleJson::MAX_SIGNATURES) + " signatures";
    } else {
        return "Limit exceeded at path: " + path + ", a list holds at most " +
               std::to_string(SignatureBundleJson::MAX_LIST_ELEMENTS) + " elements";
    }
}

std::string textTooLong(const std::string& path) {
    return "Limit exceeded at path: " + path + ", a text holds at most " +
           std::to_string(SignatureBundleJson::MAX_TEXT_BYTES) + " bytes";
}

// Receives the parser's events and fills the bundle. The first failure is kept, and from then on every event
// is skipped: the parser still reads to the end, so a syntax error anywhere in the text is what a document
// reports, as when the whole text was parsed before any member was looked at.
class Decoder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    // Whether the value the parser reads next is skipped (or, read mid-value, belongs to a skipped one).
    // After a failure everything is: the rest of the text is only checked for syntax.
    bool skipping() const { return failure_ || skipDepth_ > 0 || skipNextValue_; }

    // The decoded bundle, or throws the document's failure.
    SignatureBundleDto result() && {
        if (syntaxError_) throw BundleDecodingError(*syntaxError_);
        if (failure_) throw BundleDecodingError(*failure_);
        return std::move(bundle_);
    }

    bool null() {
        return scalar([] { return "null"; }, [](auto*) { return false; });
    }

    bool boolean(bool value) {
        return scalar([] { return "boolean"; }, [&](auto* out) { return assign(out, value); });
    }

    bool number_integer(number_integer_t value) { return integer(value); }
    bool number_unsigned(number_unsigned_t value) { return integer(value); }

    // Fractions and exponents are never integers, and no other member holds a number.
    bool number_float(number_float_t value, const string_t&) {
        return scalar([&] { return "number " + Json(value).dump(); }, [](auto*) { return false; });
    }

    bool string(string_t& value) {
        if (value.size() > SignatureBundleJson::MAX_TEXT_BYTES && !skipping() && !frames_.empty()) {
            fail(textTooLong(pathText(nextStep())));
            return true;
        }
        return scalar([] { return "string"; }, [&](auto* out) { return assign(out, std::move(value)); });
    }

    bool binary(binary_t&) { return true; }  // JSON text has none

    bool start_object(std::size_t) {
        return start([&]<class T>(T* out, const Step& step) {
            if constexpr (record::Record<T>) {
                *out = T{};  // a repeated member is decoded again, from scratch
                frames_.push_back({out, step, true});
            } else {
                wrongType<T>(step, "object");
            }
        });
    }

    bool key(string_t& name) {
        if (failure_ || skipDepth_ > 0) return true;
        Frame& frame = frames_.back();
        std::visit(
            [&]<class T>(T* record) {
                if constexpr (record::Record<T>) {
                    const std::optional<Member> found = member(*record, name);
                    skipNextValue_ = !found;
                    if (found) {
                        frame.seen |= 1u << found->index;
                        frame.member = found->slot;
                        frame.memberName = found->name;
                    }
                }
            },
            frame.container);
        return true;
    }

    bool end_object() {
        if (leaveSkipped()) return true;
        std::visit(
            [&]<class T>(T*) {
                if constexpr (record::Record<T>) {
                    const auto missing = missingFields<T>(frames_.back().seen);
                    if (!missing.empty()) {
                        fail(missingMembersMessage(missing, T::SERIAL_NAME) +
                             " at path: " + pathText(std::nullopt));
                    }
                }
            },
            frames_.back().container);
        frames_.pop_back();
        return true;
    }

    bool start_array(std::size_t) {
        return start([&]<class T>(T* out, const Step& step) {
            if constexpr (IsList<T>::value) {
                out->clear();  // a repeated member: the last occurrence wins
                frames_.push_back({out, step, false});
            } else {
                wrongType<T>(step, "array");
            }
        });
    }

    bool end_array() {
        if (!leaveSkipped()) frames_.pop_back();
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        syntaxError_ = e.what();
        return false;
    }

private:
    // How a value is reached from the one that holds it: a member name, or an element index.
    struct Step {
        std::string_view member;  // empty for an element
        std::size_t index = 0;
    };

    // An object or array of the format being filled.
    struct Frame {
        Slot container;
        Step reached;
        bool object;
        std::size_t count = 0;   // array: elements so far
        std::uint32_t seen = 0;  // object: one bit per field present
        Slot member{};           // object: where the value after the last key goes
        std::string_view memberName{};
    };

    template <class T, class V>
    static bool assign(T* out, V&& value) {
        if constexpr (std::is_same_v<T, std::remove_cvref_t<V>>) {
            *out = std::forward<V>(value);
            return true;
        }
        return false;
    }

    void fail(std::string message) {
        if (!failure_) failure_ = std::move(message);
    }

    // Where the next value stands, and the slot it fills (for an element, a new one at the end of the list).
    Step nextStep() const {
        if (frames_.empty()) return {};
        const Frame& frame = frames_.back();
        return frame.object ? Step{frame.memberName} : Step{{}, frame.count};
    }
    Slot nextSlot() {
        if (frames_.empty()) return &bundle_;
        Frame& frame = frames_.back();
        if (frame.object) return frame.member;
        ++frame.count;
        return std::visit(
            [&]<class T>(T* list) -> Slot {
                if constexpr (IsList<T>::value) {
                    if (frame.count > maxElements<T>()) {
                        fail(tooManyElements<T>(pathText(Step{{}, frame.count - 1})));
                        return static_cast<Skipped*>(nullptr);
                    }
                    return &list->emplace_back();
                } else {
                    return static_cast<Skipped*>(nullptr);  // not reached: only lists hold elements
                }
            },
            frame.container);
    }

    // A scalar: found gives the "found ..." text, assign stores it and says whether the slot's type takes it.
    template <class Found, class Assign>
    bool scalar(const Found& found, const Assign& assign) {
        if (failure_ || skipDepth_ > 0) return true;
        if (skipNextValue_) {
            skipNextValue_ = false;
            return true;
        }
        const Step step = nextStep();
        std::visit(
            [&]<class T>(T* out) {
                if constexpr (!std::is_same_v<T, Skipped>) {
                    if (!assign(out)) wrongType<T>(step, found());
                }
            },
            nextSlot());
        return true;
    }

    template <class N>
    bool integer(N value) {
        return scalar([&] { return "number " + std::to_string(value); },
                      [&]<class T>(T* out) {
                          if constexpr (std::is_same_v<T, std::int32_t>) {
                              if (std::in_range<std::int32_t>(value)) {
                                  *out = static_cast<std::int32_t>(value);
                                  return true;
                              }
                          }
                          return false;
                      });
    }

    // The start of an object or array; open is called with the slot it fills unless the value is skipped.
    template <class Open>
    bool start(const Open& open) {
        if (failure_) return true;
        if (skipDepth_ > 0 || skipNextValue_) {
            skipNextValue_ = false;
            ++skipDepth_;
            return true;
        }
        const Step step = nextStep();
        std::visit(
            [&]<class T>(T* out) {
                if constexpr (!std::is_same_v<T, Skipped>) open(out, step);
            },
            nextSlot());
        return true;
    }

    // The end of an object or array: true when it ends a skipped one (or the decoder has failed).
    bool leaveSkipped() {
        if (failure_) return true;
        if (skipDepth_ == 0) return false;
        --skipDepth_;
        return true;
    }

    template <class T>
    void wrongType(const Step& step, std::string_view found) {
        fail("Expected " + std::string(expectedText<T>()) + " at path: " + pathText(step) + ", found " +
             std::string(found));
    }

    // "$", then ".member" or "[index]" for each open frame below the root, then the final step if any.
    std::string pathText(const std::optional<Step>& last) const {
        std::string out = "$";
        auto add = [&](const Step& step) {
            if (step.member.empty()) {
                out += '[';
                out += std::to_string(step.index);
                out += ']';
            } else {
                out += '.';
                out += step.member;
            }
        };
        for (std::size_t i = 1; i < frames_.size(); ++i) add(frames_[i].reached);
        if (last && !frames_.empty()) add(*last);
        return out;
    }

    SignatureBundleDto bundle_;
    std::vector<Frame> frames_;
    std::uint64_t skipDepth_ = 0;  // nesting inside a skipped value
    bool skipNextValue_ = false;   // the value after the last key is skipped
    std::optional<std::string> failure_;
    std::optional<std::string> syntaxError_;
};

// Line and column (both from 1, columns in bytes) of a byte, as the parser's messages count them.
std::string positionText(std::string_view text, std::size_t offset) {
    const std::string_view before = text.substr(0, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t lineStart = before.rfind('\n');
    const std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// What RE2 spends on a pattern before its memory budget applies, in steps of about a microsecond (measured
// with room to spare): parsing, which folds every class for case, a Unicode property class range by range (up
// to half a millisecond for \PL), and simplifying, which expands a counted repetition into as many copies as
// its largest count (RE2 refuses counts above 1000). Read without parsing: a brace or "p" after an escaped
// backslash may count although it is literal, which only overestimates.
std::int64_t parseSteps(std::string_view source) {
    constexpr std::int64_t PER_BYTE = 2;
    constexpr std::int64_t PER_UNICODE_CLASS = 500;
    constexpr std::int64_t MAX_REPEAT = 1000;
    std::int64_t steps = PER_BYTE * static_cast<std::int64_t>(source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '\\' && i + 1 < source.size()) {
            if (source[i + 1] == 'p' || source[i + 1] == 'P') steps += PER_UNICODE_CLASS;
            ++i;
        } else if (source[i] == '{') {
            // {n}, {n,} or {n,m}: the largest number written.
            std::int64_t largest = 0, number = 0;
            std::size_t j = i + 1;
            for (; j < source.size() && ((source[j] >= '0' && source[j] <= '9') || source[j] == ','); ++j) {
                number = source[j] == ',' ? 0 : std::min(number * 10 + (source[j] - '0'), MAX_REPEAT);
                largest = std::max(largest, number);
            }
            if (j < source.size() && source[j] == '}') steps += largest;
        }
    }
    return steps;
}

// What a pattern that fails for want of memory cost: about as many instructions as its budget holds.
constexpr std::int64_t TOO_LARGE_STEPS = PATTERN_MAX_MEM * 2 / 3 / 8;

[[noreturn]] void tooCostly(const std::string& path) {
    throw BundleDecodingError("Limit exceeded at path: " + path + ", compiling the patterns may take at most " +
                              std::to_string(SignatureBundleJson::MAX_COMPILE_STEPS) + " steps");
}

std::string elementPath(const std::string& list, std::size_t index) {
    return list + "[" + std::to_string(index) + "]";
}

// Checks the limits on a decoded bundle (parse has checked counts and texts element by element already; a
// bundle built otherwise gets the same checks here) and returns the patterns' parse steps. Paths are only
// written for a failure.
std::int64_t checkLimits(const SignatureBundleDto& dto) {
    std::size_t patterns = 0;
    std::int64_t steps = 0;
    auto list = [&](const auto& elements, auto path) {
        using List = std::remove_cvref_t<decltype(elements)>;
        if (elements.size() > maxElements<List>()) {
            throw BundleDecodingError(tooManyElements<List>(elementPath(path(), maxElements<List>())));
        }
    };
    auto text = [&](const std::string& value, auto path) {
        if (value.size() > SignatureBundleJson::MAX_TEXT_BYTES) throw BundleDecodingError(textTooLong(path()));
    };
    auto texts = [&](const std::vector<std::string>& values, auto path) {
        list(values, path);
        for (std::size_t i = 0; i < values.size(); ++i) text(values[i], [&] { return elementPath(path(), i); });
    };
    auto patternList = [&](const std::vector<std::string>& sources, auto path) {
        texts(sources, path);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            if (++patterns > SignatureBundleJson::MAX_PATTERNS) {
                throw BundleDecodingError("Limit exceeded at path: " + elementPath(path(), i) +
                                          ", a catalogue holds at most " +
                                          std::to_string(SignatureBundleJson::MAX_PATTERNS) + " patterns");
            }
            steps += parseSteps(sources[i]);
            if (steps > SignatureBundleJson::MAX_COMPILE_STEPS) tooCostly(elementPath(path(), i));
        }
    };
    patternList(dto.exclusionPatterns, [] { return std::string("$.exclusionPatterns"); });
    list(dto.signatures, [] { return std::string("$.signatures"); });
    for (std::size_t i = 0; i < dto.signatures.size(); ++i) {
        const SignatureDto& s = dto.signatures[i];
        auto member = [&](const char* name) { return [&, name] { return elementPath("$.signatures", i) + name; }; };
        text(s.id, member(".id"));
        text(s.brand, member(".brand"));
        text(s.displayName, member(".displayName"));
        patternList(s.namePatterns, member(".namePatterns"));
        list(s.companyIds, member(".companyIds"));
        texts(s.serviceUuids, member(".serviceUuids"));
    }
    return steps;
}

}  // namespace

SignatureBundleDto SignatureBundleJson::parse(std::string_view text) {
    // The parser takes a NUL for the end of the text and skips a leading byte-order mark; neither is JSON.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        throw BundleDecodingError("Unexpected NUL byte at " + positionText(text, nul));
    }
    if (text.starts_with("\xEF\xBB\xBF")) {
        throw BundleDecodingError("Unexpected byte order mark at " + positionText(text, 0));
    }
    Decoder decoder;
    // A lone surrogate reads as U+FFFD anywhere; an out-of-range number is tolerated only inside a skipped
    // value (a member of the format still refuses it).
    JsonText source(text, [&decoder] { return decoder.skipping(); });
    // Strict: standard syntax, no comments, exactly one value with nothing after it.
    Json::sax_parse(source.begin(), source.end(), &decoder, Json::input_format_t::json, true, false);
    SignatureBundleDto dto = std::move(decoder).result();
    checkLimits(dto);
    return dto;
}

std::shared_ptr<const SignatureDatabase> SignatureBundleJson::toDatabase(const SignatureBundleDto& dto) {
    std::int64_t steps = checkLimits(dto);
    auto compileAll = [&](const std::vector<std::string>& sources, const std::string& path) {
        std::vector<Pattern> patterns;
        patterns.reserve(sources.size());
        for (std::size_t i = 0; i < sources.size(); ++i) {
            Pattern p = compileOrNull(sources[i], steps);
            if (steps > MAX_COMPILE_STEPS) tooCostly(path + "[" + std::to_string(i) + "]");
            if (p) patterns.push_back(std::move(p));
        }
        return patterns;
    };
    std::vector<Pattern> exclusions = compileAll(dto.exclusionPatterns, "$.exclusionPatterns");
    std::vector<DeviceSignature> signatures;
    signatures.reserve(dto.signatures.size());
    for (std::size_t i = 0; i < dto.signatures.size(); ++i) {
        const SignatureDto& s = dto.signatures[i];
        // Advertised UUIDs are compared lower-cased, so the catalogue holds them so; case variants collapse.
        std::vector<std::string> uuids;
        uuids.reserve(s.serviceUuids.size());
        for (const auto& uuid : s.serviceUuids) uuids.push_back(lowerAscii(uuid));
        signatures.push_back(DeviceSignature{
            s.id, s.brand, s.displayName,
            compileAll(s.namePatterns, "$.signatures[" + std::to_string(i) + "].namePatterns"),
            Set<std::int32_t>(s.companyIds), s.companyIdsVerified, Set<std::string>(std::move(uuids))});
    }
    return std::make_shared<const SignatureDatabase>(dto.version, std::move(signatures),
                                                     std::move(exclusions));
}

Pattern SignatureBundleJson::compileOrNull(std::string_view source, std::int64_t& steps) {
    auto pattern = std::make_shared<const re2::RE2>(re2::StringPiece(source.data(), source.size()),
                                                    patternOptions());
    if (pattern->ok()) {
        steps += pattern->ProgramSize();
        return pattern;
    }
    if (pattern->error_code() == re2::RE2::ErrorPatternTooLarge) steps += TOO_LARGE_STEPS;
    return nullptr;
}

}  // namespace glintward
