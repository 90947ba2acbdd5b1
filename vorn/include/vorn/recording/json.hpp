// A small JSON writer and reader for recording metadata. The writer: objects, arrays, strings
// (escaped, and always valid UTF-8), integers and finite numbers, indented two spaces per level.
// The reader: strict JSON text into a JsonValue, safe on hostile input (bounded nesting).
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::recording {

namespace detail {

// The length of the valid UTF-8 sequence that starts at text[i] (1 for ASCII), or 0 when the
// bytes there are none: a stray continuation byte, an overlong form, a surrogate, a code point
// beyond U+10FFFF, a sequence cut short.
inline std::size_t utf8_length(std::string_view text, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        return 1;
    }
    // The length, and the range of the second byte (which rules out overlong forms, surrogates
    // and code points beyond U+10FFFF).
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (k == 1 ? next < low || next > high : next < 0x80 || next > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace detail

// Appends `text` as a quoted JSON string: quotes, backslashes and control characters escaped,
// every byte that is not part of valid UTF-8 (stray continuation bytes, overlong forms,
// surrogates, beyond U+10FFFF, cut sequences) replaced by U+FFFD.
inline void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        out += "\\u00";
                        out += hex[c >> 4];
                        out += hex[c & 0xF];
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        if (const std::size_t length = detail::utf8_length(text, i)) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for this byte; the next one starts afresh
            ++i;
        }
    }
    out += '"';
}

// Writes one JSON value, built in order: begin_object(), key(), a value, ..., end_object().
// Misuse (a value where a key belongs, unbalanced ends) is not detected.
class JsonWriter {
  public:
    JsonWriter& begin_object() { return open('{'); }
    JsonWriter& end_object() { return close('}'); }
    JsonWriter& begin_array() { return open('['); }
    JsonWriter& end_array() { return close(']'); }

    JsonWriter& key(std::string_view name) {
        separate();
        append_json_string(out_, name);
        out_ += ": ";
        after_key_ = true;
        return *this;
    }
    JsonWriter& string(std::string_view text) {
        separate();
        append_json_string(out_, text);
        return *this;
    }
    JsonWriter& integer(std::uint64_t value) {
        separate();
        out_ += std::to_string(value);
        return *this;
    }
    // Throws std::invalid_argument for NaN and infinities, which JSON cannot hold.
    JsonWriter& number(double value) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("JSON cannot hold the number " + std::to_string(value));
        }
        separate();
        char text[32];
        const auto result = std::to_chars(text, text + sizeof text, value);  // shortest exact
        out_.append(text, result.ptr);
        return *this;
    }
    JsonWriter& boolean(bool value) {
        separate();
        out_ += value ? "true" : "false";
        return *this;
    }

    // The text so far, ending in a newline when the value is complete.
    std::string take() {
        std::string text = std::exchange(out_, std::string());
        text += '\n';
        return text;
    }

  private:
    // Before a key or a value: a comma after an earlier member, and the indentation; nothing
    // right after a key.
    void separate() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_.empty()) {
            if (!first_.back()) {
                out_ += ',';
            }
            first_.back() = false;
            newline();
        }
    }
    JsonWriter& open(char bracket) {
        separate();
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& close(char bracket) {
        const bool empty = first_.back();
        first_.pop_back();
        if (!empty) {
            newline();
        }
        out_ += bracket;
        return *this;
    }
    void newline() {
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
    }

    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
};

// A JSON value. Numbers: an integer that fits is kept exact, as std::uint64_t when it is not
// negative and as std::int64_t when it is; any other number (a fraction, an exponent, an integer
// beyond 64 bits) as double. Strings are UTF-8. An object keeps its members in the order of the
// text; its keys are unique.
struct JsonValue {
    using Array = std::vector<JsonValue>;
    using Object = std::vector<std::pair<std::string, JsonValue>>;

    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array,
                 Object>
        data;

    // The member `key` of an object; null when there is none or this is no object.
    const JsonValue* find(std::string_view key) const {
        if (const auto* members = std::get_if<Object>(&data)) {
            for (const auto& [name, value] : *members) {
                if (name == key) {
                    return &value;
                }
            }
        }
        return nullptr;
    }

    friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

// How deep arrays and objects may nest in the text parse_json() reads: each level is a recursion,
// so this bounds the stack that hostile input can take.
inline constexpr int json_max_depth = 64;

namespace detail {

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    JsonValue document() {
        skip_space();
        JsonValue value = parse_value(0);
        skip_space();
        if (pos_ != text_.size()) {
            fail("unexpected text after the value");
        }
        return value;
    }

  private:
    [[noreturn]] void fail(std::string_view what) const { fail_at(pos_, what); }
    [[noreturn]] static void fail_at(std::size_t at, std::string_view what) {
        throw std::invalid_argument("invalid JSON at byte " + std::to_string(at) + ": " +
                                    std::string(what));
    }
    bool at_end() const noexcept { return pos_ >= text_.size(); }
    char peek() const noexcept { return at_end() ? '\0' : text_[pos_]; }
    bool is_digit() const noexcept { return peek() >= '0' && peek() <= '9'; }
    bool consume(char c) noexcept {
        if (at_end() || text_[pos_] != c) {
            return false;
        }
        ++pos_;
        return true;
    }
    void skip_space() noexcept {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') {
            ++pos_;
        }
    }
    void skip_digits() noexcept {
        while (is_digit()) {
            ++pos_;
        }
    }

    JsonValue parse_value(int depth) {
        switch (peek()) {
            case '{':
                return parse_object(depth + 1);
            case '[':
                return parse_array(depth + 1);
            case '"':
                return {parse_string()};
            case 't':
                return literal("true", {true});
            case 'f':
                return literal("false", {false});
            case 'n':
                return literal("null", {nullptr});
            default:
                if (peek() == '-' || is_digit()) {
                    return parse_number();
                }
                fail("expected a value");
        }
    }

    JsonValue literal(std::string_view word, JsonValue value) {
        if (text_.substr(pos_, word.size()) != word) {
            fail("expected a value");
        }
        pos_ += word.size();
        return value;
    }

    void enter(int depth) const {
        if (depth > json_max_depth) {
            fail("arrays and objects nested more than " + std::to_string(json_max_depth) + " deep");
        }
    }

    JsonValue parse_array(int depth) {
        enter(depth);
        ++pos_;
        JsonValue::Array items;
        skip_space();
        if (consume(']')) {
            return {std::move(items)};
        }
        for (;;) {
            skip_space();
            items.push_back(parse_value(depth));
            skip_space();
            if (consume(']')) {
                return {std::move(items)};
            }
            if (!consume(',')) {
                fail("expected ',' or ']'");
            }
        }
    }

    JsonValue parse_object(int depth) {
        enter(depth);
        ++pos_;
        JsonValue::Object members;
        std::vector<std::size_t> key_at;  // where each member's key starts, for a duplicate
        skip_space();
        if (consume('}')) {
            return {std::move(members)};
        }
        for (;;) {
            skip_space();
            if (peek() != '"') {
                fail("expected a string key");
            }
            key_at.push_back(pos_);
            std::string key = parse_string();
            skip_space();
            if (!consume(':')) {
                fail("expected ':'");
            }
            skip_space();
            members.emplace_back(std::move(key), parse_value(depth));
            skip_space();
            if (consume('}')) {
                break;
            }
            if (!consume(',')) {
                fail("expected ',' or '}'");
            }
        }
        // Keys in sorted order (ties by place), so that a duplicate sits right after its first.
        std::vector<std::size_t> order(members.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return std::tie(members[a].first, a) < std::tie(members[b].first, b);
        });
        for (std::size_t k = 1; k < order.size(); ++k) {
            if (members[order[k]].first == members[order[k - 1]].first) {
                fail_at(key_at[order[k]], "duplicate key");
            }
        }
        return {std::move(members)};
    }

    // A string at pos_ (its opening quote): escapes decoded, \uXXXX (and surrogate pairs) to
    // UTF-8; raw control characters and invalid UTF-8 refused.
    std::string parse_string() {
        ++pos_;
        std::string out;
        for (;;) {
            if (at_end()) {
                fail("unterminated string");
            }
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c == '\\') {
                parse_escape(out);
            } else if (c < 0x20) {
                fail("control character in a string (it must be escaped)");
            } else if (const std::size_t length = utf8_length(text_, pos_)) {
                out.append(text_.substr(pos_, length));
                pos_ += length;
            } else {
                fail("invalid UTF-8");
            }
        }
    }

    void parse_escape(std::string& out) {
        const std::size_t start = pos_;
        ++pos_;
        const char c = peek();
        ++pos_;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out += c;
                return;
            case 'b':
                out += '\b';
                return;
            case 'f':
                out += '\f';
                return;
            case 'n':
                out += '\n';
                return;
            case 'r':
                out += '\r';
                return;
            case 't':
                out += '\t';
                return;
            case 'u':
                break;
            default:
                fail_at(start, "invalid escape");
        }
        std::uint32_t code = hex4();
        if (code >= 0xDC00 && code <= 0xDFFF) {
            fail_at(start, "a low surrogate without a high one before it");
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (!consume('\\') || !consume('u')) {
                fail_at(start, "a high surrogate without a low one after it");
            }
            const std::uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) {
                fail_at(start, "a high surrogate without a low one after it");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, code);
    }

    std::uint32_t hex4() {
        std::uint32_t code = 0;
        const char* first = text_.data() + pos_;
        if (text_.size() - pos_ < 4 ||
            std::from_chars(first, first + 4, code, 16).ptr != first + 4) {
            fail("expected four hex digits");
        }
        pos_ += 4;
        return code;
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    JsonValue parse_number() {
        const std::size_t start = pos_;
        const bool negative = consume('-');
        if (consume('0')) {
            if (is_digit()) {
                fail("leading zero in a number");
            }
        } else if (is_digit()) {
            skip_digits();
        } else {
            fail("expected a digit");
        }
        bool integer = true;
        if (consume('.')) {
            integer = false;
            if (!is_digit()) {
                fail("expected a digit after '.'");
            }
            skip_digits();
        }
        if (consume('e') || consume('E')) {
            integer = false;
            if (!consume('+')) {
                consume('-');
            }
            if (!is_digit()) {
                fail("expected a digit in the exponent");
            }
            skip_digits();
        }
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;
        if (integer) {
            std::uint64_t magnitude = 0;
            const auto [end, error] = std::from_chars(first + negative, last, magnitude);
            if (error == std::errc() && !negative) {
                return {magnitude};
            }
            if (error == std::errc() && magnitude == 0) {
                return {std::uint64_t{0}};  // "-0"
            }
            if (error == std::errc() && magnitude <= std::uint64_t{1} << 63) {
                return {static_cast<std::int64_t>(0 - magnitude)};
            }
        }
        double value = 0;
        if (std::from_chars(first, last, value).ec != std::errc()) {
            fail_at(start, "number out of the range of a double");
        }
        return {value};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace detail

// Reads one JSON value, the whole text (whitespace around it allowed): strict JSON, with UTF-8
// strings and no trailing commas, leading zeros, duplicate keys or text after the value, and at
// most json_max_depth levels of arrays and objects. Throws std::invalid_argument naming the byte
// where the text goes wrong.
inline JsonValue parse_json(std::string_view text) {
    return detail::JsonReader(text).document();
}

}  // namespace vorn::recording
