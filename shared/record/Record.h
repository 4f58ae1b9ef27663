#pragma once
// Value records and enumerations of the shared module.
//
// A record is a plain aggregate that names its fields once, with GLINTWARD_RECORD; from that one list it gets
// value equality (doubles and floats by bit pattern), a 32-bit hash with 31-multiplier arithmetic (text hashed
// over UTF-16 code units), the text form "Type(field=value, ...)" and operator<<. "Copy with changes" is an
// ordinary copy followed by assignments to the copy.
//
// How one field type compares, hashes and prints is said by a specialisation of record::Traits<T>; other
// libraries add their own (compiled patterns compare by identity, for example).

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace glintward {

// ---- enumerations -----------------------------------------------------------------------------------------

template <class E>
struct EnumInfo;  // specialised by GLINTWARD_ENUM: names in declared order

template <class E>
concept Enumeration = std::is_enum_v<E> && requires { EnumInfo<E>::NAMES; };

template <Enumeration E>
constexpr std::string_view name(E e) {
    return EnumInfo<E>::NAMES[static_cast<std::size_t>(e)];
}

template <Enumeration E>
constexpr int ordinal(E e) {
    return static_cast<int>(e);
}

// All entries in declared order.
template <Enumeration E>
constexpr auto values() {
    constexpr std::size_t COUNT = EnumInfo<E>::NAMES.size();
    std::array<E, COUNT> all{};
    for (std::size_t i = 0; i < COUNT; ++i) all[i] = static_cast<E>(i);
    return all;
}

template <Enumeration E>
std::ostream& operator<<(std::ostream& out, E e) {
    return out << name(e);
}

namespace record {

// ---- arithmetic of the hash -------------------------------------------------------------------------------

constexpr std::int32_t combine(std::int32_t hash, std::int32_t field) {
    return static_cast<std::int32_t>(31u * static_cast<std::uint32_t>(hash) + static_cast<std::uint32_t>(field));
}

constexpr std::int32_t hashLong(std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(u ^ (u >> 32)));
}

// Polynomial hash over the UTF-16 code units of UTF-8 text (malformed bytes count as U+FFFD).
std::int32_t hashText(std::string_view utf8);

// Shortest text that reads back as the same value; plain for 1e-3 <= |x| < 1e7, else "d.dddE<exp>".
void appendDouble(std::string& out, double value);
void appendFloat(std::string& out, float value);

// A hash that is fixed for the run, for values compared by identity.
inline std::int32_t identityHash(const void* p) {
    return hashLong(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(p)));
}

// ---- field traits -----------------------------------------------------------------------------------------

template <class T, class = void>
struct Traits;

template <class T>
concept Record = requires(const T& r) {
    T::RECORD_NAME;
    T::recordFields();
};

template <class T>
bool equal(const T& a, const T& b) {
    return Traits<T>::equal(a, b);
}
template <class T>
std::int32_t hash(const T& v) {
    return Traits<T>::hash(v);
}
template <class T>
void append(std::string& out, const T& v) {
    Traits<T>::append(out, v);
}

template <>
struct Traits<std::string> {
    static bool equal(const std::string& a, const std::string& b) { return a == b; }
    static std::int32_t hash(const std::string& v) { return hashText(v); }
    static void append(std::string& out, const std::string& v) { out += v; }
};

template <>
struct Traits<bool> {
    static bool equal(bool a, bool b) { return a == b; }
    static std::int32_t hash(bool v) { return v ? 1231 : 1237; }
    static void append(std::string& out, bool v) { out += v ? "true" : "false"; }
};

template <class T>
struct Traits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static bool equal(T a, T b) { return a == b; }
    static std::int32_t hash(T v) {
        if constexpr (sizeof(T) > 4) {
            return hashLong(static_cast<std::int64_t>(v));
        } else {
            return static_cast<std::int32_t>(v);
        }
    }
    static void append(std::string& out, T v) { out += std::to_string(v); }
};

template <>
struct Traits<double> {
    static bool equal(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
    static std::int32_t hash(double v) {
        return hashLong(v != v ? INT64_C(0x7FF8000000000000) : std::bit_cast<std::int64_t>(v));
    }
    static void append(std::string& out, double v) { appendDouble(out, v); }
};

template <>
struct Traits<float> {
    static bool equal(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
    static std::int32_t hash(float v) {
        return v != v ? static_cast<std::int32_t>(0x7FC00000) : std::bit_cast<std::int32_t>(v);
    }
    static void append(std::string& out, float v) { appendFloat(out, v); }
};

template <Enumeration E>
struct Traits<E> {
    static bool equal(E a, E b) { return a == b; }
    static std::int32_t hash(E v) { return hashText(name(v)); }
    static void append(std::string& out, E v) { out += name(v); }
};

template <class T>
struct Traits<std::optional<T>> {
    static bool equal(const std::optional<T>& a, const std::optional<T>& b) {
        if (a.has_value() != b.has_value()) return false;
        return !a.has_value() || record::equal(*a, *b);
    }
    static std::int32_t hash(const std::optional<T>& v) { return v ? record::hash(*v) : 0; }
    static void append(std::string& out, const std::optional<T>& v) {
        if (v) {
            record::append(out, *v);
        } else {
            out += "null";
        }
    }
};

// Appends "[a, b, c]" over any range.
template <class Range>
void appendSequence(std::string& out, const Range& range) {
    out += '[';
    bool first = true;
    for (const auto& element : range) {
        if (!first) out += ", ";
        first = false;
        record::append(out, element);
    }
    out += ']';
}

template <class T>
struct Traits<std::vector<T>> {
    static bool equal(const std::vector<T>& a, const std::vector<T>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!record::equal(a[i], b[i])) return false;
        }
        return true;
    }
    static std::int32_t hash(const std::vector<T>& v) {
        std::int32_t h = 1;
        for (const auto& element : v) h = combine(h, record::hash(element));
        return h;
    }
    static void append(std::string& out, const std::vector<T>& v) { appendSequence(out, v); }
};

// Maps: equal with the same keys and equal values, hash the sum of key hash XOR value hash, text "{k=v, ...}"
// in the map's own order.
template <class M>
concept MapLike = requires(const M& m) {
    typename M::key_type;
    typename M::mapped_type;
    m.find(std::declval<typename M::key_type>());
};

template <MapLike M>
struct Traits<M> {
    static bool equal(const M& a, const M& b) {
        if (a.size() != b.size()) return false;
        for (const auto& [key, value] : a) {
            auto it = b.find(key);
            if (it == b.end() || !record::equal(value, it->second)) return false;
        }
        return true;
    }
    static std::int32_t hash(const M& m) {
        std::uint32_t sum = 0;
        for (const auto& [key, value] : m) {
            sum += static_cast<std::uint32_t>(record::hash(key) ^ record::hash(value));
        }
        return static_cast<std::int32_t>(sum);
    }
    static void append(std::string& out, const M& m) {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : m) {
            if (!first) out += ", ";
            first = false;
            record::append(out, key);
            out += '=';
            record::append(out, value);
        }
        out += '}';
    }
};

// ---- records ----------------------------------------------------------------------------------------------

template <class R, class M>
struct Field {
    std::string_view name;
    M R::*member;
};

template <class R, class M>
constexpr Field<R, M> field(std::string_view name, M R::*member) {
    return {name, member};
}

template <Record R>
bool equalRecords(const R& a, const R& b) {
    return std::apply(
        [&](const auto&... f) { return (record::equal(a.*(f.member), b.*(f.member)) && ...); },
        R::recordFields());
}

template <Record R>
std::int32_t hashRecord(const R& r) {
    return std::apply(
        [&](const auto& first, const auto&... rest) {
            std::int32_t h = record::hash(r.*(first.member));
            ((h = combine(h, record::hash(r.*(rest.member)))), ...);
            return h;
        },
        R::recordFields());
}

template <Record R>
void appendRecord(std::string& out, const R& r) {
    out += R::RECORD_NAME;
    out += '(';
    bool first = true;
    std::apply(
        [&](const auto&... f) {
            ((out += first ? "" : ", ", first = false, out += f.name, out += '=', record::append(out, r.*(f.member))),
             ...);
        },
        R::recordFields());
    out += ')';
}

template <Record R>
std::string recordText(const R& r) {
    std::string out;
    appendRecord(out, r);
    return out;
}

template <Record R>
struct Traits<R> {
    static bool equal(const R& a, const R& b) { return equalRecords(a, b); }
    static std::int32_t hash(const R& r) { return hashRecord(r); }
    static void append(std::string& out, const R& r) { appendRecord(out, r); }
};

// A record held by a shared pointer (immutable, shared between threads) still compares by value.
template <Record R>
struct Traits<std::shared_ptr<const R>> {
    static bool equal(const std::shared_ptr<const R>& a, const std::shared_ptr<const R>& b) {
        if (a == b) return true;
        return a && b && equalRecords(*a, *b);
    }
    static std::int32_t hash(const std::shared_ptr<const R>& r) { return r ? hashRecord(*r) : 0; }
    static void append(std::string& out, const std::shared_ptr<const R>& r) {
        if (r) {
            appendRecord(out, *r);
        } else {
            out += "null";
        }
    }
};

}  // namespace record
}  // namespace glintward

// ---- the two declaration macros -----------------------------------------------------------------------------

#define GLINTWARD_PP_FIELD(T, f) ::glintward::record::field(#f, &T::f)
#define GLINTWARD_PP_STR(T, f) #f
#define GLINTWARD_PP_1(M, T, a) M(T, a)
#define GLINTWARD_PP_2(M, T, a, ...) M(T, a), GLINTWARD_PP_1(M, T, __VA_ARGS__)
#define GLINTWARD_PP_3(M, T, a, ...) M(T, a), GLINTWARD_PP_2(M, T, __VA_ARGS__)
#define GLINTWARD_PP_4(M, T, a, ...) M(T, a), GLINTWARD_PP_3(M, T, __VA_ARGS__)
#define GLINTWARD_PP_5(M, T, a, ...) M(T, a), GLINTWARD_PP_4(M, T, __VA_ARGS__)
#define GLINTWARD_PP_6(M, T, a, ...) M(T, a), GLINTWARD_PP_5(M, T, __VA_ARGS__)
#define GLINTWARD_PP_7(M, T, a, ...) M(T, a), GLINTWARD_PP_6(M, T, __VA_ARGS__)
#define GLINTWARD_PP_8(M, T, a, ...) M(T, a), GLINTWARD_PP_7(M, T, __VA_ARGS__)
#define GLINTWARD_PP_9(M, T, a, ...) M(T, a), GLINTWARD_PP_8(M, T, __VA_ARGS__)
#define GLINTWARD_PP_10(M, T, a, ...) M(T, a), GLINTWARD_PP_9(M, T, __VA_ARGS__)
#define GLINTWARD_PP_11(M, T, a, ...) M(T, a), GLINTWARD_PP_10(M, T, __VA_ARGS__)
#define GLINTWARD_PP_12(M, T, a, ...) M(T, a), GLINTWARD_PP_11(M, T, __VA_ARGS__)
#define GLINTWARD_PP_13(M, T, a, ...) M(T, a), GLINTWARD_PP_12(M, T, __VA_ARGS__)
#define GLINTWARD_PP_14(M, T, a, ...) M(T, a), GLINTWARD_PP_13(M, T, __VA_ARGS__)
#define GLINTWARD_PP_15(M, T, a, ...) M(T, a), GLINTWARD_PP_14(M, T, __VA_ARGS__)
#define GLINTWARD_PP_16(M, T, a, ...) M(T, a), GLINTWARD_PP_15(M, T, __VA_ARGS__)
#define GLINTWARD_PP_PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, N, ...) N
#define GLINTWARD_PP_MAP(M, T, ...)                                                                              \
    GLINTWARD_PP_PICK(__VA_ARGS__, GLINTWARD_PP_16, GLINTWARD_PP_15, GLINTWARD_PP_14, GLINTWARD_PP_13,          \
                      GLINTWARD_PP_12, GLINTWARD_PP_11, GLINTWARD_PP_10, GLINTWARD_PP_9, GLINTWARD_PP_8,         \
                      GLINTWARD_PP_7, GLINTWARD_PP_6, GLINTWARD_PP_5, GLINTWARD_PP_4, GLINTWARD_PP_3,            \
                      GLINTWARD_PP_2, GLINTWARD_PP_1)(M, T, __VA_ARGS__)

// Inside a record's struct, after its fields: the field list, in declared order.
#define GLINTWARD_RECORD(Type, ...)                                                                              \
    static constexpr std::string_view RECORD_NAME = #Type;                                                       \
    static constexpr auto recordFields() { return std::make_tuple(GLINTWARD_PP_MAP(GLINTWARD_PP_FIELD, Type, __VA_ARGS__)); } \
    std::int32_t hashCode() const { return ::glintward::record::hashRecord(*this); }                             \
    std::string toString() const { return ::glintward::record::recordText(*this); }                              \
    friend bool operator==(const Type& a, const Type& b) { return ::glintward::record::equalRecords(a, b); }     \
    friend std::ostream& operator<<(std::ostream& out, const Type& r) { return out << r.toString(); }

// At namespace glintward scope: an enum class with its entries' names, in declared order.
#define GLINTWARD_ENUM(Type, ...)                                                                                \
    enum class Type { __VA_ARGS__ };                                                                             \
    template <>                                                                                                  \
    struct EnumInfo<Type> {                                                                                      \
        static constexpr auto NAMES =                                                                            \
            std::to_array<std::string_view>({GLINTWARD_PP_MAP(GLINTWARD_PP_STR, Type, __VA_ARGS__)});            \
    }
