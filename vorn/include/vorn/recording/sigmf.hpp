// SigMF metadata of a recording (the .sigmf-meta JSON file beside a .sigmf-data file of samples):
// the global fields, capture segments that say where each run of samples sat in the stream, and
// annotations, in the fields of the SigMF core namespace; written by the recorder, read back for a
// replay.
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vorn/recording/json.hpp"
#include "vorn/recording/sample_type.hpp"

namespace vorn::recording {

inline constexpr std::string_view sigmf_data_suffix = ".sigmf-data";
inline constexpr std::string_view sigmf_meta_suffix = ".sigmf-meta";
// The SigMF version the metadata declares (it uses core fields of 1.0.0 only).
inline constexpr std::string_view sigmf_version = "1.0.0";

// A capture segment: from `sample_start` in the data file on, the samples continue the stream at
// its sample `global_index` (a gap before it shows as a jump of global_index).
struct SigmfCapture {
    std::uint64_t sample_start = 0;
    std::uint64_t global_index = 0;
    std::string datetime;  // UTC, as utc_datetime() writes it; empty: none

    friend bool operator==(const SigmfCapture&, const SigmfCapture&) = default;
};

struct SigmfAnnotation {
    std::uint64_t sample_start = 0;
    std::uint64_t sample_count = 0;
    // core:label, a short name of the kind of annotation; empty: left out. The recorder's:
    // "device error", "gap", "recording stopped".
    std::string label;
    std::string comment;

    friend bool operator==(const SigmfAnnotation&, const SigmfAnnotation&) = default;
};

struct SigmfMeta {
    SampleType sample_type;
    std::string recorder;  // empty: left out, as are hw and description
    std::string hw;
    std::string description;
    std::optional<double> sample_rate;
    // Both in order of sample_start: SigMF readers refuse them otherwise.
    std::vector<SigmfCapture> captures;
    std::vector<SigmfAnnotation> annotations;

    friend bool operator==(const SigmfMeta&, const SigmfMeta&) = default;
};

// ISO-8601 UTC time with microseconds and 'Z' ("2024-05-01T12:00:00.123456Z") of a time in ns
// since the Unix epoch.
inline std::string utc_datetime(std::int64_t unix_ns) {
    using namespace std::chrono;
    const sys_time<nanoseconds> when{nanoseconds(unix_ns)};
    const auto day = floor<days>(when);
    const year_month_day date(day);
    const hh_mm_ss<microseconds> time(floor<microseconds>(when - day));
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<long long>(time.subseconds().count()));
    return text;
}

// The .sigmf-meta text. Throws std::invalid_argument when the sample type has no SigMF datatype
// or the sample rate is not a finite number.
inline std::string sigmf_meta_json(const SigmfMeta& meta) {
    JsonWriter json;
    json.begin_object().key("global").begin_object();
    json.key("core:datatype").string(sigmf_datatype(meta.sample_type));
    json.key("core:version").string(sigmf_version);
    if (meta.sample_rate) {
        json.key("core:sample_rate").number(*meta.sample_rate);
    }
    if (!meta.recorder.empty()) {
        json.key("core:recorder").string(meta.recorder);
    }
    if (!meta.hw.empty()) {
        json.key("core:hw").string(meta.hw);
    }
    if (!meta.description.empty()) {
        json.key("core:description").string(meta.description);
    }
    json.end_object();
    json.key("captures").begin_array();
    for (const auto& capture : meta.captures) {
        json.begin_object();
        json.key("core:sample_start").integer(capture.sample_start);
        json.key("core:global_index").integer(capture.global_index);
        if (!capture.datetime.empty()) {
            json.key("core:datetime").string(capture.datetime);
        }
        json.end_object();
    }
    json.end_array();
    json.key("annotations").begin_array();
    for (const auto& annotation : meta.annotations) {
        json.begin_object();
        json.key("core:sample_start").integer(annotation.sample_start);
        json.key("core:sample_count").integer(annotation.sample_count);
        if (!annotation.label.empty()) {
            json.key("core:label").string(annotation.label);
        }
        json.key("core:comment").string(annotation.comment);
        json.end_object();
    }
    json.end_array();
    json.end_object();
    return json.take();
}

namespace detail {

[[noreturn]] inline void refuse_sigmf(std::string_view what) {
    throw std::invalid_argument("SigMF metadata: " + std::string(what));
}

// The members of one JSON object of the metadata, each read as the type its field must have.
// `where` names the object in messages ("global", "captures[2]").
class SigmfFields {
  public:
    SigmfFields(const JsonValue& value, std::string where)
        : value_(value), where_(std::move(where)) {
        if (!std::holds_alternative<JsonValue::Object>(value.data)) {
            refuse_sigmf(where_ + " must be an object");
        }
    }

    bool has(std::string_view key) const { return value_.find(key) != nullptr; }
    const std::string* string(std::string_view key) const {
        return typed<std::string>(key, "a string");
    }
    std::optional<std::uint64_t> count(std::string_view key) const {
        const auto* value = typed<std::uint64_t>(key, "a non-negative integer");
        return value != nullptr ? std::optional(*value) : std::nullopt;
    }
    std::optional<bool> boolean(std::string_view key) const {
        const auto* value = typed<bool>(key, "true or false");
        return value != nullptr ? std::optional(*value) : std::nullopt;
    }
    const JsonValue::Array* array(std::string_view key) const {
        return typed<JsonValue::Array>(key, "an array");
    }
    std::optional<double> number(std::string_view key) const {
        const JsonValue* value = value_.find(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::visit(
            [&](const auto& held) -> double {
                using Held = std::decay_t<decltype(held)>;
                if constexpr (std::is_arithmetic_v<Held> && !std::is_same_v<Held, bool>) {
                    return static_cast<double>(held);
                } else {
                    refuse(key, "a number");
                }
            },
            value->data);
    }
    [[noreturn]] void refuse(std::string_view key, std::string_view what) const {
        refuse_sigmf(where_ + " " + std::string(key) + " must be " + std::string(what));
    }
    const std::string& where() const noexcept { return where_; }

  private:
    // The member `key` when it is there, null when it is not; a member of another type is
    // refused.
    template <class T>
    const T* typed(std::string_view key, std::string_view what) const {
        const JsonValue* value = value_.find(key);
        if (value == nullptr) {
            return nullptr;
        }
        if (const T* held = std::get_if<T>(&value->data)) {
            return held;
        }
        refuse(key, what);
    }

    const JsonValue& value_;
    std::string where_;
};

}  // namespace detail

// Reads .sigmf-meta text into what the recorder wrote, for a replay: the global datatype
// (required), sample rate (a positive number), description, recorder and hw; the captures, in
// increasing core:sample_start, with core:global_index where given (else the samples continue the
// previous capture without a gap; 0 for the first), none meaning one capture at 0; the annotations
// (core:sample_start required), in order of core:sample_start. Fields outside these are ignored.
// Throws std::invalid_argument ("SigMF metadata: ...") for invalid JSON, a field of the wrong
// type, more than one channel, samples outside the data file (core:dataset, core:metadata_only),
// and captures whose stream positions go back (a capture's global index before the end of the
// previous capture's samples).
inline SigmfMeta parse_sigmf_meta(std::string_view json) {
    JsonValue root;
    try {
        root = parse_json(json);
    } catch (const std::invalid_argument& error) {
        detail::refuse_sigmf(error.what());
    }
    const detail::SigmfFields top(root, "the top level");
    const JsonValue* global_value = root.find("global");
    if (global_value == nullptr) {
        detail::refuse_sigmf("no global object");
    }
    const detail::SigmfFields global(*global_value, "global");

    SigmfMeta meta;
    const std::string* datatype = global.string("core:datatype");
    if (datatype == nullptr) {
        detail::refuse_sigmf("global has no core:datatype");
    }
    try {
        meta.sample_type = parse_sigmf_datatype(*datatype);
    } catch (const std::invalid_argument& error) {
        detail::refuse_sigmf(error.what());
    }
    if (const auto channels = global.count("core:num_channels"); channels && *channels != 1) {
        detail::refuse_sigmf(std::to_string(*channels) +
                             " channels (core:num_channels): only one can be replayed");
    }
    if (global.has("core:dataset")) {
        detail::refuse_sigmf(
            "the samples are in another file (core:dataset): they must be in the .sigmf-data file");
    }
    if (global.has("core:trailing_bytes")) {
        detail::refuse_sigmf("bytes after the samples (core:trailing_bytes) are not supported");
    }
    if (global.boolean("core:metadata_only").value_or(false)) {
        detail::refuse_sigmf("a recording of metadata only (core:metadata_only) has no samples");
    }
    meta.sample_rate = global.number("core:sample_rate");
    if (meta.sample_rate && !(*meta.sample_rate > 0)) {
        global.refuse("core:sample_rate", "a positive number");
    }
    for (auto [field, key] :
         {std::pair{&meta.description, "core:description"},
          std::pair{&meta.recorder, "core:recorder"}, std::pair{&meta.hw, "core:hw"}}) {
        if (const std::string* text = global.string(key)) {
            *field = *text;
        }
    }

    if (const auto* captures = top.array("captures")) {
        for (std::size_t i = 0; i < captures->size(); ++i) {
            const detail::SigmfFields fields((*captures)[i], "captures[" + std::to_string(i) + "]");
            SigmfCapture capture;
            if (fields.has("core:header_bytes")) {
                detail::refuse_sigmf(fields.where() +
                                     ": bytes before the samples (core:header_bytes) are not "
                                     "supported");
            }
            capture.sample_start = fields.count("core:sample_start").value_or(0);
            // Where the samples go on without a gap: right after the previous capture's.
            std::uint64_t continued = 0;
            if (!meta.captures.empty()) {
                const SigmfCapture& previous = meta.captures.back();
                if (capture.sample_start <= previous.sample_start) {
                    fields.refuse("core:sample_start", "greater than the previous capture's");
                }
                continued = previous.global_index + (capture.sample_start - previous.sample_start);
                if (continued < previous.global_index) {
                    fields.refuse("core:global_index", "within 64 bits");
                }
            }
            capture.global_index = fields.count("core:global_index").value_or(continued);
            if (capture.global_index < continued) {
                fields.refuse("core:global_index",
                              "at least " + std::to_string(continued) +
                                  ", where the previous capture's samples end in the stream");
            }
            if (const std::string* datetime = fields.string("core:datetime")) {
                capture.datetime = *datetime;
            }
            meta.captures.push_back(std::move(capture));
        }
    }
    if (meta.captures.empty()) {
        meta.captures.emplace_back();
    }

    if (const auto* annotations = top.array("annotations")) {
        for (std::size_t i = 0; i < annotations->size(); ++i) {
            const detail::SigmfFields fields((*annotations)[i],
                                             "annotations[" + std::to_string(i) + "]");
            SigmfAnnotation annotation;
            const auto start = fields.count("core:sample_start");
            if (!start) {
                detail::refuse_sigmf(fields.where() + " has no core:sample_start");
            }
            annotation.sample_start = *start;
            annotation.sample_count = fields.count("core:sample_count").value_or(0);
            if (const std::string* label = fields.string("core:label")) {
                annotation.label = *label;
            }
            if (const std::string* comment = fields.string("core:comment")) {
                annotation.comment = *comment;
            }
            meta.annotations.push_back(std::move(annotation));
        }
        // Kept in order of sample_start (in the order written, where they share one).
        std::stable_sort(meta.annotations.begin(), meta.annotations.end(),
                         [](const SigmfAnnotation& a, const SigmfAnnotation& b) {
                             return a.sample_start < b.sample_start;
                         });
    }
    return meta;
}

}  // namespace vorn::recording
