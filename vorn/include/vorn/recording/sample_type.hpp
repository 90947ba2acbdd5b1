// The type of one recorded sample (integer, float or complex float; its width and byte order) and
// its names in .npy headers (numpy's type strings, "<u4") and in SigMF metadata ("ru32_le").
//
// Header-only, so that plugins (which cannot link the host) read recordings with the same code
// that wrote them. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorn::recording {

struct SampleType {
    enum class Kind { unsigned_int, signed_int, real_float, complex_float };
    enum class ByteOrder { little, big };

    Kind kind = Kind::unsigned_int;
    // Bytes of one number; for complex samples, of each of the two parts (real, then imaginary).
    std::uint32_t component_bytes = 1;
    // Meaningless for one-byte numbers, which are always stored as little.
    ByteOrder order = ByteOrder::little;

    // Bytes of one whole sample.
    std::uint32_t size() const noexcept {
        return kind == Kind::complex_float ? 2 * component_bytes : component_bytes;
    }

    friend bool operator==(const SampleType&, const SampleType&) = default;
};

namespace detail {

inline bool width_supported(SampleType::Kind kind, std::uint32_t bytes) noexcept {
    switch (kind) {
        case SampleType::Kind::unsigned_int:
        case SampleType::Kind::signed_int:
            return bytes == 1 || bytes == 2 || bytes == 4 || bytes == 8;
        case SampleType::Kind::real_float:
            return bytes == 2 || bytes == 4 || bytes == 8;
        case SampleType::Kind::complex_float:
            return bytes == 4 || bytes == 8;
    }
    return false;
}

// A sample type with a supported width and one-byte numbers marked little-endian; throws
// std::invalid_argument otherwise.
inline SampleType checked(SampleType type) {
    if (!width_supported(type.kind, type.component_bytes)) {
        throw std::invalid_argument(
            "unsupported sample type: " + std::to_string(type.component_bytes) +
            "-byte numbers of this kind");
    }
    if (type.component_bytes == 1) {
        type.order = SampleType::ByteOrder::little;
    }
    return type;
}

inline bool parse_width(std::string_view digits, std::uint32_t& value) noexcept {
    if (digits.empty() || digits.size() > 2) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

}  // namespace detail

// A numpy type string: an optional byte order ('<' little, '>' big, '=' or none: this machine's,
// '|' for one-byte types only), then 'u', 'i', 'f' or 'c' and the bytes of a whole sample ("<u4",
// ">i2", "|u1", "<f4", "<c8"). Throws std::invalid_argument for anything else.
inline SampleType parse_numpy_descr(std::string_view descr) {
    const auto refuse = [&](const std::string& why) {
        return std::invalid_argument("unsupported numpy sample type '" + std::string(descr) +
                                     "': " + why);
    };
    std::string_view rest = descr;
    char order = '=';
    if (!rest.empty() && (rest[0] == '<' || rest[0] == '>' || rest[0] == '=' || rest[0] == '|')) {
        order = rest[0];
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        throw refuse("no type code");
    }
    SampleType type;
    switch (rest[0]) {
        case 'u':
            type.kind = SampleType::Kind::unsigned_int;
            break;
        case 'i':
            type.kind = SampleType::Kind::signed_int;
            break;
        case 'f':
            type.kind = SampleType::Kind::real_float;
            break;
        case 'c':
            type.kind = SampleType::Kind::complex_float;
            break;
        default:
            throw refuse("the kind must be one of u, i, f, c (unsigned, signed, float, complex)");
    }
    std::uint32_t bytes = 0;
    if (!detail::parse_width(rest.substr(1), bytes)) {
        throw refuse("no size in bytes after the kind");
    }
    type.component_bytes = type.kind == SampleType::Kind::complex_float ? bytes / 2 : bytes;
    if ((type.kind == SampleType::Kind::complex_float && bytes % 2 != 0) ||
        !detail::width_supported(type.kind, type.component_bytes)) {
        throw refuse("no such width of this kind (u1-u8, i1-i8, f2-f8, c8, c16)");
    }
    if (order == '|' && type.component_bytes != 1) {
        throw refuse("'|' (no byte order) suits one-byte types only; give '<' or '>'");
    }
    if (order == '>') {
        type.order = SampleType::ByteOrder::big;
    } else if (order == '=') {
        type.order = std::endian::native == std::endian::big ? SampleType::ByteOrder::big
                                                             : SampleType::ByteOrder::little;
    }
    return detail::checked(type);
}

// numpy's type string with an explicit byte order ("<u4", ">i2"; "|u1" for one-byte types).
inline std::string numpy_descr(const SampleType& type) {
    const SampleType t = detail::checked(type);
    std::string descr(1, t.component_bytes == 1                  ? '|'
                         : t.order == SampleType::ByteOrder::big ? '>'
                                                                 : '<');
    constexpr char codes[] = {'u', 'i', 'f', 'c'};
    descr += codes[static_cast<int>(t.kind)];
    descr += std::to_string(t.size());
    return descr;
}

// The SigMF core:datatype: 'r' or 'c', then f32/f64/i32/i16/u32/u16/i8/u8, then "_le" or "_be"
// for multi-byte numbers ("ru32_le", "cf32_le", "ri8"). SigMF has no 64-bit integers and no
// 16-bit floats: those throw std::invalid_argument.
inline std::string sigmf_datatype(const SampleType& type) {
    const SampleType t = detail::checked(type);
    const bool is_float =
        t.kind == SampleType::Kind::real_float || t.kind == SampleType::Kind::complex_float;
    if ((is_float && t.component_bytes == 2) || (!is_float && t.component_bytes == 8)) {
        throw std::invalid_argument("sample type " + numpy_descr(t) + " has no SigMF datatype");
    }
    std::string name(1, t.kind == SampleType::Kind::complex_float ? 'c' : 'r');
    name += is_float ? 'f' : t.kind == SampleType::Kind::signed_int ? 'i' : 'u';
    name += std::to_string(8 * t.component_bytes);
    if (t.component_bytes > 1) {
        name += t.order == SampleType::ByteOrder::big ? "_be" : "_le";
    }
    return name;
}

// The inverse of sigmf_datatype(); an order suffix on one-byte types is accepted and ignored, a
// missing one on wider types means little-endian. Complex integers ("ci16_le") have no numpy type
// and throw std::invalid_argument, as does anything else.
inline SampleType parse_sigmf_datatype(std::string_view name) {
    const auto refuse = [&](const std::string& why) {
        return std::invalid_argument("unsupported SigMF datatype '" + std::string(name) +
                                     "': " + why);
    };
    std::string_view rest = name;
    SampleType type;
    if (rest.ends_with("_le")) {
        rest.remove_suffix(3);
    } else if (rest.ends_with("_be")) {
        rest.remove_suffix(3);
        type.order = SampleType::ByteOrder::big;
    }
    if (rest.size() < 3 || (rest[0] != 'r' && rest[0] != 'c')) {
        throw refuse("expected r or c, a kind (f, i, u), a width in bits and _le or _be");
    }
    const bool complex = rest[0] == 'c';
    std::uint32_t bits = 0;
    if (!detail::parse_width(rest.substr(2), bits) || bits % 8 != 0) {
        throw refuse("no width in bits");
    }
    type.component_bytes = bits / 8;
    switch (rest[1]) {
        case 'f':
            type.kind = complex ? SampleType::Kind::complex_float : SampleType::Kind::real_float;
            break;
        case 'i':
        case 'u':
            if (complex) {
                throw refuse("complex integer samples are not supported");
            }
            type.kind =
                rest[1] == 'i' ? SampleType::Kind::signed_int : SampleType::Kind::unsigned_int;
            break;
        default:
            throw refuse("the kind must be f, i or u");
    }
    const bool is_float = rest[1] == 'f';
    if (!detail::width_supported(type.kind, type.component_bytes) ||
        (is_float && type.component_bytes == 2) || (!is_float && type.component_bytes == 8)) {
        throw refuse("no such width (f32, f64, i8-i32, u8-u32)");
    }
    return detail::checked(type);
}

}  // namespace vorn::recording
