#pragma once
// An ordered list whose copies share their values in blocks: copying one costs a pointer per block of values,
// and changing a value copies only the block that holds it while another copy still shares that block. A list
// that grows by one value and changes a few in place between copies (a log published after each change) is
// then cheap to publish however long it grows, and a reader of two copies can tell the blocks that cannot
// differ by their storage alone. A list writes only into blocks it made or copied since it was last copied
// itself, so no block another list may hold is ever written, and copies may be read on other threads.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "shared/record/Record.h"

namespace glintward {

template <class T>
class SharedList {
public:
    static constexpr std::size_t BLOCK = 32;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() = default;
        const_iterator(const SharedList* list, std::size_t at) : list_(list), at_(at) {}
        reference operator*() const { return (*list_)[at_]; }
        pointer operator->() const { return &(*list_)[at_]; }
        reference operator[](difference_type n) const { return (*list_)[at_ + static_cast<std::size_t>(n)]; }
        const_iterator& operator++() { ++at_; return *this; }
        const_iterator operator++(int) { auto was = *this; ++at_; return was; }
        const_iterator& operator--() { --at_; return *this; }
        const_iterator operator--(int) { auto was = *this; --at_; return was; }
        const_iterator& operator+=(difference_type n) { at_ += static_cast<std::size_t>(n); return *this; }
        const_iterator& operator-=(difference_type n) { at_ -= static_cast<std::size_t>(n); return *this; }
        friend const_iterator operator+(const_iterator i, difference_type n) { return i += n; }
        friend const_iterator operator+(difference_type n, const_iterator i) { return i += n; }
        friend const_iterator operator-(const_iterator i, difference_type n) { return i -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
            return static_cast<difference_type>(a.at_) - static_cast<difference_type>(b.at_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.at_ <=> b.at_; }

    private:
        const SharedList* list_ = nullptr;
        std::size_t at_ = 0;
    };
    using iterator = const_iterator;
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = const T&;
    using const_reference = const T&;

    SharedList() = default;
    // A copy shares every block, and from then on neither list writes into them.
    SharedList(const SharedList& other) : blocks_(other.blocks_), owned_(blocks_.size(), false), size_(other.size_) {
        other.disown();
    }
    SharedList& operator=(const SharedList& other) {
        if (this != &other) {
            blocks_ = other.blocks_;
            owned_.assign(blocks_.size(), false);
            size_ = other.size_;
            other.disown();
        }
        return *this;
    }
    SharedList(SharedList&& other) noexcept
        : blocks_(std::move(other.blocks_)), owned_(std::move(other.owned_)), size_(std::exchange(other.size_, 0)) {
        other.clear();
    }
    SharedList& operator=(SharedList&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        owned_ = std::move(other.owned_);
        size_ = std::exchange(other.size_, 0);
        other.clear();
        return *this;
    }
    ~SharedList() = default;

    SharedList(std::initializer_list<T> values) {
        for (const T& v : values) push_back(v);
    }
    explicit SharedList(const std::vector<T>& values) {
        for (const T& v : values) push_back(v);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](std::size_t i) const { return (*blocks_[i / BLOCK])[i % BLOCK]; }
    const T& back() const { return (*this)[size_ - 1]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size_}; }

    void push_back(T value) {
        if (size_ % BLOCK == 0) {
            auto block = std::make_shared<Block>();
            block->reserve(BLOCK);
            blocks_.push_back(std::move(block));
            owned_.push_back(true);
            anyOwned_ = true;
        }
        own(blocks_.size() - 1).push_back(std::move(value));
        ++size_;
    }
    // The value at i, to change in place; its block is copied first unless this list made it since it was
    // last copied.
    T& edit(std::size_t i) { return own(i / BLOCK)[i % BLOCK]; }
    void clear() {
        blocks_.clear();
        owned_.clear();
        anyOwned_ = false;
        size_ = 0;
    }

    std::vector<T> toVector() const { return {begin(), end()}; }

    // Whether the values from first to first + BLOCK (or the end) are the very same storage in both lists, and
    // so equal; first is a multiple of BLOCK.
    bool sharesBlock(const SharedList& other, std::size_t first) const {
        const std::size_t b = first / BLOCK;
        return b < blocks_.size() && b < other.blocks_.size() && blocks_[b] == other.blocks_[b];
    }

    friend bool operator==(const SharedList& a, const SharedList& b) {
        if (a.size_ != b.size_) return false;
        for (std::size_t first = 0; first < a.size_; first += BLOCK) {
            if (a.sharesBlock(b, first)) continue;
            const auto& x = *a.blocks_[first / BLOCK];
            const auto& y = *b.blocks_[first / BLOCK];
            if (!std::equal(x.begin(), x.end(), y.begin(), y.end(),
                            [](const T& l, const T& r) { return record::equal(l, r); })) {
                return false;
            }
        }
        return true;
    }
    friend bool operator==(const SharedList& a, const std::vector<T>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](const T& l, const T& r) { return record::equal(l, r); });
    }

private:
    using Block = std::vector<T>;

    Block& own(std::size_t b) {
        if (!owned_[b]) {
            auto copy = std::make_shared<Block>();
            copy->reserve(BLOCK);
            copy->assign(blocks_[b]->begin(), blocks_[b]->end());
            blocks_[b] = std::move(copy);
            owned_[b] = true;
            anyOwned_ = true;
        }
        return *blocks_[b];
    }
    // Only a list that has written since it was last copied has anything to give up, so copying a list that
    // is only read writes nothing.
    void disown() const {
        if (!anyOwned_) return;
        owned_.assign(owned_.size(), false);
        anyOwned_ = false;
    }

    std::vector<std::shared_ptr<Block>> blocks_;
    // Which blocks this list alone holds: made or copied by it since it was last copied.
    mutable std::vector<bool> owned_;
    mutable bool anyOwned_ = false;
    std::size_t size_ = 0;
};

namespace record {
template <class T>
struct Traits<SharedList<T>> {
    static bool equal(const SharedList<T>& a, const SharedList<T>& b) { return a == b; }
    static std::int32_t hash(const SharedList<T>& v) {
        std::int32_t h = 1;
        for (const auto& element : v) h = combine(h, record::hash(element));
        return h;
    }
    static void append(std::string& out, const SharedList<T>& v) { appendSequence(out, v); }
};
}  // namespace record

}  // namespace glintward
