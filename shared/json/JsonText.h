#pragma once
// A JSON text as nlohmann's parser reads it through an iterator pair: the text byte for byte, except two
// rewrites of one token by another of the same length, so that every position in a parser's message stays
// right. nlohmann's lexer refuses a lone UTF-16 surrogate escape and a number beyond the range of a double,
// although the JSON grammar allows both, so either would fail a whole document over one value.
// - A lone surrogate escape becomes "\uFFFD", the replacement character, wherever it stands (a string thus
//   stays sound UTF-8).
// - An out-of-range number becomes "0e000..." (zero), where the reader's `tolerate()` says the value about to
//   be read may be taken so; elsewhere the lexer refuses it as it stands. The parser reads each byte once, in
//   order, only after it has reported every value before it, so a reader's own state tells what the bytes
//   belong to.

#include <cstddef>
#include <iterator>
#include <string_view>
#include <utility>

namespace glintward {

class JsonTextScanner {
protected:
    explicit JsonTextScanner(std::string_view text) : text_(text) {}

    // The parser reads every position once, in order; this is the one path per byte, so it stays small.
    template <class Tolerate>
    char at(std::size_t position, const Tolerate& tolerate) {
        if (position == next_) {
            ++next_;
            if (position >= regionEnd_) classify(position, tolerate);
        }
        if (position < regionEnd_ && rewrite_ != Rewrite::NONE) return rewritten(position);
        return text_[position];
    }

    std::string_view text_;

private:
    enum class Mode { VALUE, STRING, ESCAPE };
    enum class Rewrite { NONE, NUMBER, SURROGATE };

    // A byte outside any token already looked at.
    template <class Tolerate>
    void classify(std::size_t p, const Tolerate& tolerate) {
        const char c = text_[p];
        switch (mode_) {
            case Mode::VALUE:
                if (c == '"') {
                    mode_ = Mode::STRING;
                } else if ((c == '-' || (c >= '0' && c <= '9')) && startsToken(p) && tolerate()) {
                    number(p);
                }
                return;
            case Mode::STRING:
                if (c == '"') mode_ = Mode::VALUE;
                if (c == '\\') mode_ = Mode::ESCAPE;
                return;
            case Mode::ESCAPE:
                mode_ = Mode::STRING;
                if (c == 'u') escape(p);
                return;
        }
    }

    char rewritten(std::size_t position) const;
    void region(std::size_t begin, std::size_t end, Rewrite rewrite) {
        regionBegin_ = begin;
        regionEnd_ = end;
        rewrite_ = rewrite;
    }
    bool startsToken(std::size_t p) const;
    void number(std::size_t p);
    void escape(std::size_t p);

    std::size_t next_ = 0;  // the position the parser reads next
    Mode mode_ = Mode::VALUE;
    std::size_t regionBegin_ = 0;
    std::size_t regionEnd_ = 0;
    Rewrite rewrite_ = Rewrite::NONE;
};

// `Tolerate` is called as `bool()` at the start of each number token. The text must outlive the object.
template <class Tolerate>
class JsonText : private JsonTextScanner {
public:
    JsonText(std::string_view text, Tolerate tolerate) : JsonTextScanner(text), tolerate_(std::move(tolerate)) {}

    class Cursor {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = char;

        Cursor() = default;
        Cursor(JsonText* source, std::size_t position) : source_(source), position_(position) {}
        char operator*() const { return source_->at(position_, source_->tolerate_); }
        Cursor& operator++() {
            ++position_;
            return *this;
        }
        Cursor operator++(int) {
            Cursor before = *this;
            ++position_;
            return before;
        }
        bool operator==(const Cursor& other) const { return position_ == other.position_; }

    private:
        JsonText* source_ = nullptr;
        std::size_t position_ = 0;
    };

    // One pass: the parser reads the range once.
    Cursor begin() { return {this, 0}; }
    Cursor end() { return {this, text_.size()}; }

private:
    Tolerate tolerate_;
};

}  // namespace glintward
