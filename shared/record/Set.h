#pragma once
// An immutable, insertion-ordered set with shared storage: copying a Set shares its elements (cheap, and safe
// across threads since nothing changes them), so one set object can be held by several records at once.
// Equality is by elements regardless of order; the hash is the sum of the elements' hashes.

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <unordered_set>
#include <vector>

#include "shared/record/Record.h"

namespace glintward {

template <class T>
class Set {
public:
    Set() = default;
    Set(std::initializer_list<T> elements) : Set(std::vector<T>(elements)) {}

    // Keeps the first occurrence of each value, in order.
    explicit Set(std::vector<T> elements) {
        if (elements.empty()) return;
        auto storage = std::make_shared<Storage>();
        storage->items.reserve(elements.size());
        if (elements.size() > LINEAR_LIMIT) storage->index.reserve(elements.size());
        for (auto& element : elements) {
            if (!contains(*storage, element)) storage->add(std::move(element));
        }
        storage_ = std::move(storage);
    }

    bool contains(const T& value) const { return storage_ && contains(*storage_, value); }
    std::size_t size() const { return storage_ ? storage_->items.size() : 0; }
    bool empty() const { return size() == 0; }
    auto begin() const { return items().begin(); }
    auto end() const { return items().end(); }
    const std::vector<T>& items() const { return storage_ ? storage_->items : emptyItems(); }

    // Whether both hold the very same set object (empty sets are all one object).
    bool sameObject(const Set& other) const { return storage_ == other.storage_; }

    friend bool operator==(const Set& a, const Set& b) {
        if (a.storage_ == b.storage_) return true;
        if (a.size() != b.size()) return false;
        return std::all_of(a.begin(), a.end(), [&](const T& v) { return b.contains(v); });
    }

private:
    // Small sets are searched linearly, larger ones through a hash index.
    static constexpr std::size_t LINEAR_LIMIT = 8;

    struct Storage {
        std::vector<T> items;
        std::unordered_set<T> index;
        void add(T value) {
            if (!index.empty() || items.size() >= LINEAR_LIMIT) {
                if (index.empty()) index.insert(items.begin(), items.end());
                index.insert(value);
            }
            items.push_back(std::move(value));
        }
    };

    static bool contains(const Storage& s, const T& value) {
        if (!s.index.empty()) return s.index.count(value) != 0;
        return std::find(s.items.begin(), s.items.end(), value) != s.items.end();
    }

    static const std::vector<T>& emptyItems() {
        static const std::vector<T> none;
        return none;
    }

    std::shared_ptr<const Storage> storage_;
};

namespace record {
template <class T>
struct Traits<Set<T>> {
    static bool equal(const Set<T>& a, const Set<T>& b) { return a == b; }
    static std::int32_t hash(const Set<T>& s) {
        std::uint32_t sum = 0;
        for (const auto& v : s) sum += static_cast<std::uint32_t>(record::hash(v));
        return static_cast<std::int32_t>(sum);
    }
    static void append(std::string& out, const Set<T>& s) { appendSequence(out, s); }
};
}  // namespace record

}  // namespace glintward
