// Recordings: a device's read stream written to files by the native writer, with Python out of
// the data path; what Python sees of it (progress, a live tap).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "pyvorn/streams.hpp"
#include "vorn/device.hpp"

namespace pyvorn {

struct RecordingArguments {
    std::filesystem::path path;
    std::string format;       // "raw", "npy" or "sigmf"
    std::string sample_type;  // a numpy type string: "<u4", "|u1", ...
    std::uint64_t chunk_size = 0;
    std::uint64_t max_queue_elements = 4096;
    std::optional<double> sample_rate;
    std::string description;
    std::optional<pybind11::object> tap;
    double tap_interval = 0.1;
    std::optional<std::uint64_t> max_bytes;
    std::optional<std::uint64_t> max_chunks;
    std::optional<int> fd;
};

// Device.start_recording, on a Python thread holding the interpreter lock: a DataStream whose
// chunks go to the files, or None when the device started no stream.
std::optional<StreamHandle> start_recording(vorn::Device& device, unsigned int addr,
                                            RecordingArguments arguments);

}  // namespace pyvorn
