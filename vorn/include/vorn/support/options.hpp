// The option text of create_device, in words: `key=value` pairs and bare words separated by
// spaces, tabs, newlines or commas, with the error texts every plugin of ours gives for them.
//
// Header-only, for plugins; part of vorn/support.hpp. Errors are std::invalid_argument, which
// Python sees as ValueError with the message as it stands.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vorn::support {

// Quotes a piece of the option text for a message. Bytes outside printable ASCII are shown as
// \xNN, so that the message is valid UTF-8 (Python decodes it strictly) whatever the options held.
inline std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out + "\"";
}

// One word of the option text: `key=value`, or a bare word (no '='), whose key and value are both
// the word.
struct OptionWord {
    std::string_view key;
    std::string_view value;
    bool bare = false;
};

// The words of `text`, in order. A word given as "=value" is a key-value pair with an empty key,
// which no plugin knows: the caller reports it as an unknown option.
class OptionWords {
  public:
    explicit OptionWords(std::string_view text) {
        constexpr std::string_view separators = " \t\r\n,";
        std::size_t pos = 0;
        while ((pos = text.find_first_not_of(separators, pos)) != std::string_view::npos) {
            const std::size_t end = std::min(text.find_first_of(separators, pos), text.size());
            const std::string_view token = text.substr(pos, end - pos);
            pos = end;
            const std::size_t equals = token.find('=');
            if (equals == std::string_view::npos) {
                words_.push_back({token, token, true});
            } else {
                words_.push_back({token.substr(0, equals), token.substr(equals + 1), false});
            }
        }
    }

    auto begin() const noexcept { return words_.begin(); }
    auto end() const noexcept { return words_.end(); }

    // Throws "option "KEY" given twice" the second time it sees `key`.
    void once(std::string_view key) {
        if (!seen_.insert(std::string(key)).second) {
            throw std::invalid_argument("option " + quoted(key) + " given twice");
        }
    }

  private:
    std::vector<OptionWord> words_;
    std::set<std::string, std::less<>> seen_;
};

// "unknown option "KEY"; options: LIST", where `list` names what the plugin knows.
inline std::invalid_argument unknown_option(std::string_view key, std::string_view list) {
    return std::invalid_argument("unknown option " + quoted(key) +
                                 "; options: " + std::string(list));
}

// A byte count for option `key`: decimal or 0x-hexadecimal digits, optionally followed by k (KiB)
// or M (MiB), from `min` to `max` bytes.
inline std::uint64_t parse_size(std::string_view key, std::string_view text, std::uint64_t min,
                                std::uint64_t max) {
    const auto fail = [&](std::string_view why) {
        return std::invalid_argument("option " + quoted(key) + ": " + quoted(text) +
                                     std::string(why));
    };
    std::string_view digits = text;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    const std::string_view suffix(end,
                                  static_cast<std::size_t>(digits.data() + digits.size() - end));
    std::uint64_t unit = 1;
    if (suffix == "k" || suffix == "K") {
        unit = 1024;
    } else if (suffix == "m" || suffix == "M") {
        unit = 1024 * 1024;
    } else if (!suffix.empty()) {
        unit = 0;
    }
    if (end == digits.data() || error != std::errc{} || unit == 0) {
        throw fail(" is not a size in bytes (examples: 4096, 0x1000, 64k, 1M)");
    }
    if (value > max / unit || value * unit < min) {
        throw fail(" is out of range (" + std::to_string(min) + " to " + std::to_string(max) +
                   " bytes)");
    }
    return value * unit;
}

// A whole number for option `key`, decimal, from `min` to `max`.
inline std::uint64_t parse_count(std::string_view key, std::string_view text, std::uint64_t min,
                                 std::uint64_t max) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size() || text.empty() ||
        (error != std::errc{} && error != std::errc::result_out_of_range)) {
        throw std::invalid_argument("option " + quoted(key) + ": " + quoted(text) +
                                    " is not a whole number");
    }
    if (error == std::errc::result_out_of_range || value < min || value > max) {
        throw std::invalid_argument("option " + quoted(key) + ": " + quoted(text) +
                                    " is out of range (" + std::to_string(min) + " to " +
                                    std::to_string(max) + ")");
    }
    return value;
}

}  // namespace vorn::support
