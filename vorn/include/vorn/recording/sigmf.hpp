// SigMF metadata of a recording (the .sigmf-meta JSON file beside a .sigmf-data file of samples):
// the global fields, capture segments that say where each run of samples sat in the stream, and
// annotations, in the fields of the SigMF core namespace.
//
// Header-only, like sample_type.hpp. Not included by vorn/vorn.hpp: include it directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
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
};

struct SigmfAnnotation {
    std::uint64_t sample_start = 0;
    std::uint64_t sample_count = 0;
    std::string comment;
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
        json.key("core:comment").string(annotation.comment);
        json.end_object();
    }
    json.end_array();
    json.end_object();
    return json.take();
}

}  // namespace vorn::recording
