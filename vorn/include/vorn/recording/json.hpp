// A small JSON writer for recording metadata: objects, arrays, strings (escaped, and always valid
// UTF-8), integers and finite numbers, indented two spaces per level.
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::recording {

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
        // A multi-byte sequence: its length and the range of its second byte (which rules out
        // overlong forms, surrogates and code points beyond U+10FFFF).
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
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        }
        if (valid) {
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

}  // namespace vorn::recording
