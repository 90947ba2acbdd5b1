// Reading the recording formats back, as a replay does: strict JSON with its refusals and their
// byte positions, and the gap message both ways.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vorn/recording/gap.hpp"
#include "vorn/recording/json.hpp"

namespace {

using vorn::recording::JsonValue;
using vorn::recording::parse_json;

// Numbers keep integers exact (64-bit at both ends, "-0" as 0), strings decode every escape and
// surrogate pairs to UTF-8 (a NUL too), objects keep their order.
TEST(JsonReader, ReadsValuesExactly) {
    const JsonValue value = parse_json(
        " {\"n\": [0, -0, 18446744073709551615, -9223372036854775808, 18446744073709551616, 1.5e3,"
        " -2E-1], \"s\": \"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u20AC\\ud83d\\ude00\\u0000\xC3\xA9\","
        " \"a\": {\"z\": true, \"y\": [false, null, {}, []]}}\n");
    const JsonValue expected{JsonValue::Object{
        {"n",
         {JsonValue::Array{{std::uint64_t{0}},
                           {std::uint64_t{0}},
                           {UINT64_MAX},
                           {INT64_MIN},
                           {18446744073709551616.0},
                           {1500.0},
                           {-0.2}}}},
        {"s", {std::string("\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0\xC3\xA9", 20)}},
        {"a",
         {JsonValue::Object{
             {"z", {true}},
             {"y",
              {JsonValue::Array{
                  {false}, {nullptr}, {JsonValue::Object{}}, {JsonValue::Array{}}}}}}}}}};
    EXPECT_EQ(value, expected);
}

// What strict JSON refuses, each with the byte where the text goes wrong; nesting is bounded so
// that hostile input cannot exhaust the stack.
TEST(JsonReader, RefusesBadTextNamingTheByte) {
    const std::vector<std::pair<std::string, std::size_t>> bad = {
        {"", 0},
        {"[1,]", 3},
        {"{\"a\": 1,}", 8},
        {"{1: 2}", 1},
        {"{\"a\" 1}", 5},
        {"01", 1},
        {"[1.]", 3},
        {"+1", 0},
        {"1e400", 0},
        {"1 2", 2},
        {"\xEF\xBB\xBF{}", 0},  // a byte order mark
        {"\"a\x01\"", 2},
        {"\"a\\x\"", 2},
        {"\"\\u12G4\"", 3},
        {"\"\\ud800\"", 1},
        {"\"\\ud800\\u0041\"", 1},
        {"\"\\udc00\"", 1},
        {"\"\xC0\xAF\"", 1},
        {"\"\xED\xA0\x80\"", 1},  // a surrogate in UTF-8
        {"\"abc", 4},
        {"{\"a\": 1, \"b\": 2, \"a\": 3}", 17},
    };
    for (const auto& [text, at] : bad) {
        try {
            parse_json(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("at byte " + std::to_string(at) + ":"),
                      std::string::npos)
                << text << ": " << error.what();
        }
    }
    const auto nested = [](std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    };
    EXPECT_NO_THROW(parse_json(nested(vorn::recording::json_max_depth)));
    EXPECT_THROW(parse_json(nested(vorn::recording::json_max_depth + 1)), std::invalid_argument);
    EXPECT_THROW(parse_json(std::string(1'000'000, '[')), std::invalid_argument);
}

// A gap message reads back as the samples it was made of; any other text is none.
TEST(GapMessage, ReadsBackExactlyWhatItWrites) {
    using vorn::recording::gap_message;
    using vorn::recording::parse_gap_message;
    EXPECT_EQ(gap_message(12345), "recording gap: 12345 samples missing");
    for (const std::uint64_t samples : {std::uint64_t{0}, std::uint64_t{1}, UINT64_MAX}) {
        EXPECT_EQ(parse_gap_message(gap_message(samples)), samples);
    }
    for (const char* other :
         {"recording gap: 012 samples missing", "recording gap: +1 samples missing",
          "recording gap:  1 samples missing",
          "recording gap: 18446744073709551616 samples missing", "recording gap: samples missing",
          "recording gap: 1 samples missing.", "Recording gap: 1 samples missing",
          "recording gap: 1x samples missing", ""}) {
        EXPECT_EQ(parse_gap_message(other), std::nullopt) << other;
    }
}

}  // namespace
