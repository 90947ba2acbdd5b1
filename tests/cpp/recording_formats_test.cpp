// Reading the recording formats back, as a replay does: strict JSON with its refusals and their
// byte positions, SigMF metadata through the writer and back with its defaults and refusals, and
// the gap message both ways.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vorn/recording/gap.hpp"
#include "vorn/recording/json.hpp"
#include "vorn/recording/sigmf.hpp"

namespace {

using vorn::recording::JsonValue;
using vorn::recording::parse_json;
using vorn::recording::parse_sigmf_meta;
using vorn::recording::SigmfMeta;

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

// What the writer writes reads back as it was: gaps between captures, labels, texts that need
// escapes, the fields it leaves out when empty.
TEST(SigmfMetaReader, ReadsBackWhatTheWriterWrites) {
    SigmfMeta full;
    full.sample_type = vorn::recording::parse_sigmf_datatype("cf32_be");
    full.recorder = "pyvorn_device";
    full.hw = "sim \"1\"";
    full.description = "line\nand \xE2\x82\xAC";
    full.sample_rate = 2.5e6;
    full.captures = {{0, 7, "2024-05-01T12:00:00.123456Z"}, {100, 150, ""}, {250, 300, ""}};
    full.annotations = {{0, 0, "gap", vorn::recording::gap_message(7)},
                        {100, 5, "device error", "link down"},
                        {250, 0, "", ""}};
    SigmfMeta bare;
    bare.sample_type = vorn::recording::parse_sigmf_datatype("ru8");
    bare.captures = {{0, 0, ""}};
    for (const SigmfMeta& meta : {full, bare}) {
        EXPECT_EQ(parse_sigmf_meta(vorn::recording::sigmf_meta_json(meta)), meta);
    }
}

// Others' metadata: unknown fields ignored, a missing global index continues the previous
// capture without a gap, no captures mean one at 0, annotations' optional fields default.
TEST(SigmfMetaReader, FillsWhatIsLeftOut) {
    const SigmfMeta meta = parse_sigmf_meta(R"({
        "global": {"core:datatype": "ri16_le", "core:num_channels": 1, "core:metadata_only": false,
                   "core:sample_rate": 48000, "ext:gain": [1, {"x": null}]},
        "captures": [{"core:sample_start": 0, "core:frequency": 1e9},
                     {"core:sample_start": 10, "core:global_index": 40},
                     {"core:sample_start": 25}],
        "annotations": [{"core:sample_start": 3, "core:label": "burst"},
                        {"core:sample_start": 1, "core:comment": "earlier"}],
        "ext:note": "ignored"})");
    EXPECT_EQ(meta.sample_rate, 48000.0);
    EXPECT_EQ(meta.captures,
              (std::vector<vorn::recording::SigmfCapture>{{0, 0, ""}, {10, 40, ""}, {25, 55, ""}}));
    EXPECT_EQ(meta.annotations, (std::vector<vorn::recording::SigmfAnnotation>{
                                    {1, 0, "", "earlier"}, {3, 0, "burst", ""}}));
    EXPECT_EQ(parse_sigmf_meta(R"({"global": {"core:datatype": "rf32_le"}})").captures,
              (std::vector<vorn::recording::SigmfCapture>{{0, 0, ""}}));
}

// What a replay cannot use is refused, saying what.
TEST(SigmfMetaReader, RefusesWhatAReplayCannotUse) {
    // Metadata of a valid datatype, with more global fields and more members after "global".
    const auto meta = [](const std::string& global, const std::string& more = "") {
        return R"({"global": {"core:datatype": "ru8")" + global + "}" + more + "}";
    };
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"{", "invalid JSON at byte 1"},
        {"[]", "the top level must be an object"},
        {"{}", "no global"},
        {R"({"global": {}})", "no core:datatype"},
        {R"({"global": {"core:datatype": "ci16_le"}})", "complex integer"},
        {meta(R"(, "core:num_channels": 2)"), "2 channels"},
        {meta(R"(, "core:dataset": "x.bin")"), "core:dataset"},
        {meta(R"(, "core:metadata_only": true)"), "core:metadata_only"},
        {meta(R"(, "core:sample_rate": 0)"), "core:sample_rate must be a positive number"},
        {meta(R"(, "core:sample_rate": "fast")"), "core:sample_rate must be a number"},
        {meta(R"(, "core:hw": 1)"), "global core:hw must be a string"},
        {meta("", R"(, "captures": {})"), "captures must be an array"},
        {meta("", R"(, "captures": [1])"), "captures[0] must be an object"},
        {meta("", R"(, "captures": [{"core:sample_start": -1}])"), "a non-negative integer"},
        {meta("", R"(, "captures": [{}, {"core:sample_start": 0}])"),
         "captures[1] core:sample_start"},
        {meta("", R"(, "captures": [{"core:global_index": 5}, {"core:sample_start": 3,
                           "core:global_index": 7}])"),
         "captures[1] core:global_index must be at least 8"},
        {meta("", R"(, "annotations": [{"core:comment": "x"}])"),
         "annotations[0] has no core:sample_start"},
        {meta("", R"(, "annotations": [{"core:sample_start": 0, "core:label": 3}])"),
         "core:label must be a string"},
        {meta(R"(, "core:trailing_bytes": 4)"), "core:trailing_bytes"},
        {meta("", R"(, "captures": [{"core:header_bytes": 16}])"), "core:header_bytes"},
    };
    for (const auto& [text, why] : bad) {
        try {
            parse_sigmf_meta(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind("SigMF metadata: ", 0), 0u) << what;
            EXPECT_NE(what.find(why), std::string::npos) << text << ": " << what;
        }
    }
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
