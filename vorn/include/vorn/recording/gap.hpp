// The text of the Error event that marks a gap in a stream (samples that were never recorded), so
// that a replayed recording carries its gaps and a recorder can write them again: gap_message()
// makes it, parse_gap_message() reads it back.
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace vorn::recording {

namespace detail {
inline constexpr std::string_view gap_prefix = "recording gap: ";
inline constexpr std::string_view gap_suffix = " samples missing";
}  // namespace detail

// "recording gap: N samples missing", N in decimal.
inline std::string gap_message(std::uint64_t samples) {
    std::string text(detail::gap_prefix);
    text += std::to_string(samples);
    text += detail::gap_suffix;
    return text;
}

// N of a text that gap_message(N) makes, exactly (no leading zeros, no other spacing); nothing for
// any other text.
inline std::optional<std::uint64_t> parse_gap_message(std::string_view text) noexcept {
    if (text.size() <= detail::gap_prefix.size() + detail::gap_suffix.size() ||
        !text.starts_with(detail::gap_prefix) || !text.ends_with(detail::gap_suffix)) {
        return std::nullopt;
    }
    const std::string_view digits =
        text.substr(detail::gap_prefix.size(),
                    text.size() - detail::gap_prefix.size() - detail::gap_suffix.size());
    if (digits.size() > 1 && digits[0] == '0') {
        return std::nullopt;
    }
    std::uint64_t samples = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), samples);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return samples;
}

}  // namespace vorn::recording
