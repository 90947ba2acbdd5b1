// Recordings (see recordings.hpp).
//
// - Data path: device thread -> StreamQueue -> delivery thread -> RecordingWriter -> files. The
//   delivery thread never enters Python: no interpreter lock, no thread state.
// - Ownership: the session's consumer owns the writer; the DataStream keeps the writer's status
//   (for progress()) and the tap's PythonDelivery (for the garbage collector). The tap thread holds
//   the tap slot and that PythonDelivery; the writer closes the slot when the recording is
//   finished, which ends the thread.
// - Signals: the interpreter ignores SIGXFSZ, so a write past a file-size limit fails with EFBIG,
//   which the writer keeps as the recording's error, instead of ending the process.
// - Threads: the tap thread takes the newest chunk the writer offered at most once per interval,
//   then calls the tap with the interpreter lock; a slow tap makes the writer skip chunks for it,
//   never wait.
#include "pyvorn/recordings.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "pyvorn/adapters.hpp"
#include "pyvorn/chunks.hpp"
#include "pyvorn/python_delivery.hpp"
#include "vorn/host/callback_errors.hpp"
#include "vorn/host/recording_writer.hpp"
#include "vorn/host/tap_slot.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

using vorn::DataStream::RecordingOptions;
using vorn::DataStream::RecordingWriter;
using vorn::DataStream::TapSlot;

RecordingOptions::Format parse_format(const std::string& format) {
    if (format == "raw") {
        return RecordingOptions::Format::raw;
    }
    if (format == "npy") {
        return RecordingOptions::Format::npy;
    }
    if (format == "sigmf") {
        return RecordingOptions::Format::sigmf;
    }
    throw py::value_error("format must be 'raw', 'npy' or 'sigmf', got '" + format + "'");
}

// The tap thread: the newest chunk, at most once per interval, to the tap, until the recording is
// finished (or the interpreter exits).
void run_tap(const std::shared_ptr<TapSlot>& slot, const std::shared_ptr<PythonDelivery>& python) {
    while (auto tapped = slot->take(std::chrono::nanoseconds(-1))) {
        if (!python->begin_run()) {
            break;
        }
        vorn::DataStream::guard_callback([&] {
            auto bytes = vorn::DataStream::Events::OwnedData::allocate(tapped->bytes.size());
            if (!tapped->bytes.empty()) {
                std::memcpy(bytes.data(), tapped->bytes.data(), tapped->bytes.size());
            }
            python->call_one(chunk_for_call(
                ManagedBuffer(std::move(bytes), nullptr, {tapped->at.offset, tapped->at.time_ns})));
        });
        python->end_run(false);
    }
    python->finish();
}

// The consumer of a recording session: the writer. Destroyed on the delivery thread when the
// recording is over (the writer then finishes the files and closes the tap).
class WriterConsumer final : public vorn::DataStream::Consumer {
  public:
    explicit WriterConsumer(std::unique_ptr<RecordingWriter> writer) : writer_(std::move(writer)) {}
    void deliver(vorn::DataStream::Event&& event, const vorn::DataStream::EventInfo& at) override {
        writer_->deliver(std::move(event), at);
    }
    void dropped(const vorn::DataStream::Dropped& lost,
                 const vorn::DataStream::EventInfo& at) override {
        writer_->dropped(lost, at);
    }

  private:
    std::unique_ptr<RecordingWriter> writer_;
};

}  // namespace

std::optional<StreamHandle> start_recording(vorn::Device& device, unsigned int addr,
                                            RecordingArguments arguments) {
    RecordingOptions options;
    options.path = std::move(arguments.path);
    options.format = parse_format(arguments.format);
    try {
        options.sample_type = vorn::recording::parse_numpy_descr(arguments.sample_type);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    if (arguments.sample_rate &&
        !(std::isfinite(*arguments.sample_rate) && *arguments.sample_rate > 0)) {
        throw py::value_error("sample_rate must be a positive number");
    }
    if (!(arguments.tap_interval >= 0) || !std::isfinite(arguments.tap_interval)) {
        throw py::value_error("tap_interval must be a number of seconds, 0 or more");
    }
    options.sample_rate = arguments.sample_rate;
    options.description = std::move(arguments.description);
    options.hw = device.get_info().value_or("");
    options.recorder = "pyvorn_device";
    options.max_bytes = arguments.max_bytes;
    options.max_chunks = arguments.max_chunks;
    options.fd = arguments.fd.value_or(-1);
    std::shared_ptr<PythonDelivery> tap_python;
    if (arguments.tap && !arguments.tap->is_none()) {
        if (PyCallable_Check(arguments.tap->ptr()) == 0) {
            throw py::type_error("tap must be callable");
        }
        options.tap = std::make_shared<TapSlot>(std::chrono::nanoseconds(
            static_cast<std::int64_t>(std::llround(arguments.tap_interval * 1e9))));
        tap_python = std::make_shared<PythonDelivery>(*arguments.tap);
    }
    const std::shared_ptr<TapSlot> tap = options.tap;
    std::unique_ptr<RecordingWriter> writer;
    try {
        writer = std::make_unique<RecordingWriter>(std::move(options));
    } catch (const std::system_error& error) {
        // OSError(errno, text) becomes the errno's own class (FileNotFoundError, ...); the text
        // names the file.
        PyErr_SetObject(PyExc_OSError, py::make_tuple(error.code().value(), error.what()).ptr());
        throw py::error_already_set();
    }
    StreamParts parts;
    parts.status = writer->status();
    parts.consumer = std::make_unique<WriterConsumer>(std::move(writer));
    parts.python = tap_python;
    parts.python_on_delivery_thread = false;
    auto stream = start_stream(device, addr, arguments.chunk_size, arguments.max_queue_elements,
                               std::move(parts));
    if (stream && tap) {
        std::thread(run_tap, tap, tap_python).detach();
    }
    return stream;
}

}  // namespace pyvorn
