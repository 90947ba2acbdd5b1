// The .npy file header of a one-dimensional array of samples: written with room for any count, so
// that a growing recording rewrites its count in place, and read back from any .npy file.
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "vorn/recording/sample_type.hpp"

namespace vorn::recording {

// The size of every header npy_header() writes: format version 1.0, a multiple of 64 bytes, with
// room for the widest type string and the largest count. The samples follow it.
inline constexpr std::size_t npy_header_size = 128;

// The header of a 1-D array of `count` samples of `type` in C order, exactly npy_header_size
// bytes: whatever the count, the header keeps its length, so it can be rewritten in place.
inline std::string npy_header(const SampleType& type, std::uint64_t count) {
    std::string dict = "{'descr': '" + numpy_descr(type) + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(count) + ",), }";
    constexpr std::size_t prefix = 10;  // magic, version, header length
    dict.resize(npy_header_size - prefix - 1, ' ');
    dict += '\n';
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(dict.size() & 0xFF);
    header += static_cast<char>(dict.size() >> 8);
    return header + dict;
}

struct NpyHeader {
    SampleType sample_type;
    std::uint64_t count = 0;        // samples in the array
    std::uint64_t data_offset = 0;  // where the first sample starts in the file
};

namespace detail {

// Reads the Python literal of a .npy header's dictionary.
class NpyDictReader {
  public:
    explicit NpyDictReader(std::string_view text) : text_(text) {}

    NpyHeader read(std::uint64_t data_offset) {
        NpyHeader header;
        header.data_offset = data_offset;
        bool has_descr = false;
        bool has_order = false;
        bool has_shape = false;
        expect('{');
        while (!peek('}')) {
            const std::string key = string();
            expect(':');
            if (key == "descr") {
                header.sample_type = parse_numpy_descr(string());
                has_descr = true;
            } else if (key == "fortran_order") {
                (void)boolean();  // the same layout for one dimension
                has_order = true;
            } else if (key == "shape") {
                header.count = shape();
                has_shape = true;
            } else {
                throw fail("unknown key '" + key + "'");
            }
            if (!peek('}')) {
                expect(',');
            }
        }
        expect('}');
        if (!has_descr || !has_order || !has_shape) {
            throw fail("descr, fortran_order or shape missing");
        }
        return header;
    }

  private:
    std::invalid_argument fail(const std::string& why) const {
        return std::invalid_argument("bad .npy header: " + why);
    }
    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool peek(char c) {
        skip_space();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    void expect(char c) {
        if (!peek(c)) {
            throw fail(std::string("expected '") + c + "' at byte " + std::to_string(pos_));
        }
        ++pos_;
    }
    std::string string() {
        skip_space();
        if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"')) {
            throw fail("expected a string at byte " + std::to_string(pos_));
        }
        const char quote = text_[pos_++];
        const std::size_t end = text_.find(quote, pos_);
        if (end == std::string_view::npos) {
            throw fail("unterminated string");
        }
        std::string value(text_.substr(pos_, end - pos_));
        pos_ = end + 1;
        return value;
    }
    bool boolean() {
        skip_space();
        for (const auto& [word, value] : {std::pair{"True", true}, std::pair{"False", false}}) {
            const std::string_view w(word);
            if (text_.substr(pos_, w.size()) == w) {
                pos_ += w.size();
                return value;
            }
        }
        throw fail("expected True or False at byte " + std::to_string(pos_));
    }
    std::uint64_t shape() {
        expect('(');
        skip_space();
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (; pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; ++pos_, ++digits) {
            const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (value > (UINT64_MAX - digit) / 10) {
                throw fail("count too large");
            }
            value = value * 10 + digit;
        }
        if (digits == 0) {
            throw fail("the shape must have one dimension");
        }
        if (pos_ < text_.size() && text_[pos_] == 'L') {  // written by Python 2
            ++pos_;
        }
        if (peek(',')) {
            ++pos_;
        }
        if (!peek(')')) {
            throw fail("the shape must have one dimension");
        }
        ++pos_;
        return value;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace detail

// Reads the header at the start of `file` (at least the whole header): format versions 1.0, 2.0
// and 3.0, a one-dimensional array of a type parse_numpy_descr() knows. Throws
// std::invalid_argument for anything else, or when `file` is shorter than its header.
inline NpyHeader parse_npy_header(std::string_view file) {
    constexpr std::string_view magic("\x93NUMPY", 6);
    if (file.size() < 10 || file.substr(0, 6) != magic) {
        throw std::invalid_argument("bad .npy header: not a .npy file");
    }
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(file[i]));
    };
    const std::uint64_t major = byte(6);
    std::uint64_t length = 0;
    std::uint64_t start = 0;
    if (major == 1) {
        length = byte(8) | byte(9) << 8;
        start = 10;
    } else if (major == 2 || major == 3) {
        if (file.size() < 12) {
            throw std::invalid_argument("bad .npy header: truncated");
        }
        length = byte(8) | byte(9) << 8 | byte(10) << 16 | byte(11) << 24;
        start = 12;
    } else {
        throw std::invalid_argument("bad .npy header: format version " + std::to_string(major) +
                                    " is not supported");
    }
    if (file.size() - start < length) {
        throw std::invalid_argument("bad .npy header: truncated (" + std::to_string(file.size()) +
                                    " bytes, the header needs " + std::to_string(start + length) +
                                    ")");
    }
    return detail::NpyDictReader(file.substr(start, length)).read(start + length);
}

}  // namespace vorn::recording
