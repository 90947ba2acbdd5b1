// Closing a device (see closed_device.hpp).
//
// - Invariants: a closed native device's Python object holds a ClosedDevice, whose every
//   operation raises RuntimeError "this Device is closed", so no method can reach the destroyed
//   device. Streams started from it were stopped first, with their ends delivered; every close()
//   off the delivery threads returns only after those ends, the first one or a later one.
// - Ownership: the native device is swapped out first and destroyed last, after its streams were
//   stopped. The streams' sessions are shared with their DataStreams while close() stops them;
//   whichever lets go last destroys a session, here without the interpreter lock.
// - Threads: a Python thread holding the lock; it is released while devices and streams stop.
#include "pyvorn/closed_device.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pyvorn/binding_internals.hpp"
#include "pyvorn/interpreter.hpp"
#include "pyvorn/process_state.hpp"
#include "pyvorn/py_device.hpp"
#include "pyvorn/streams.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/host/callback_errors.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

[[noreturn]] void closed() {
    throw std::runtime_error("this Device is closed");
}

using SessionList = std::vector<std::shared_ptr<vorn::DataStream::StreamSession>>;

class ClosedDevice final : public vorn::Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    explicit ClosedDevice(const SessionList& stopping)
        : stopping_(stopping.begin(), stopping.end()) {}

    // The streams the close() that made this device stopped, still running or not. A later
    // close() waits for their ends too, so that whichever close() returns last, the device's
    // callables are over. Set at construction, read-only afterwards.
    SessionList stopping() const {
        SessionList found;
        for (const auto& weak : stopping_) {
            if (auto session = weak.lock()) {
                found.push_back(std::move(session));
            }
        }
        return found;
    }

    Status set_register_sync(unsigned int, unsigned int, unsigned int) override { closed(); }
    Status set_register(unsigned int, unsigned int, unsigned int) override { closed(); }
    Status send_registers() override { closed(); }
    std::optional<unsigned int> get_register_sync(unsigned int) override { closed(); }
    unsigned int get_register(unsigned int) override { closed(); }
    Status read_registers() override { closed(); }
    Status trigger(unsigned int, std::int32_t) override { closed(); }
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { closed(); }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { closed(); }
    std::optional<std::unique_ptr<DataStream>> start_read_stream(unsigned int,
                                                                 vorn::DataStream::EventCallback&&,
                                                                 std::uint64_t) override {
        closed();
    }
    std::optional<std::string> get_status() override { closed(); }
    std::optional<std::string> get_info() override { closed(); }

  private:
    const std::vector<std::weak_ptr<vorn::DataStream::StreamSession>> stopping_;
};

// Stops `sessions` and waits for their ends (not on a delivery thread, which cannot wait for
// them: see stop_session()). The lock is held on entry and on return; the sessions this call may
// be the last to hold are released without it, whatever happens.
void stop_sessions(SessionList sessions) {
    if (sessions.empty()) {
        return;
    }
    const auto release = [&] { without_lock([&] { sessions.clear(); }); };
    std::vector<vorn::DataStream::StreamSession*> waited;
    std::exception_ptr failure;  // the first stop() that threw; the others are stopped all the same
    without_lock([&] {
        for (auto& session : sessions) {
            try {
                if (stop_session(*session)) {
                    waited.push_back(session.get());
                }
            } catch (...) {
                if (vorn::DataStream::is_forced_unwind()) {
                    throw;
                }
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        }
    });
    try {
        for (auto* session : waited) {
            wait_answering_signals(
                [session](std::chrono::nanoseconds slice) { return session->wait(slice); });
        }
    } catch (...) {
        if (!vorn::DataStream::is_forced_unwind()) {
            release();  // Ctrl-C: KeyboardInterrupt goes on
        }
        throw;
    }
    release();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace

bool is_closed(const vorn::Device& device) {
    if (const auto* python = dynamic_cast<const PyDevice*>(&device)) {
        return python->closed();
    }
    return dynamic_cast<const ClosedDevice*>(&device) != nullptr;
}

void throw_if_closed(const vorn::Device& device) {
    if (dynamic_cast<const ClosedDevice*>(&device) != nullptr) {
        closed();
    }
}

void close_device(vorn::Device& device) {
    if (auto* python = dynamic_cast<PyDevice*>(&device)) {
        python->mark_closed();
        return;
    }
    if (const auto* closed_device = dynamic_cast<const ClosedDevice*>(&device)) {
        // Closed already, maybe by a close() still in progress or by a callable of one of its
        // streams, whose end is yet to come: wait for the ends all the same.
        stop_sessions(closed_device->stopping());
        return;
    }
    // First, before anything waits: a second close() (another thread's, or a callable's) finds the
    // device closed, and no stream can be started from it any more.
    auto sessions = live_streams_of(&device);
    const py::object self = py::cast(&device, py::return_value_policy::reference);
    auto previous = internals::replace_native<vorn::DeviceHandle, vorn::Device>(
        self.ptr(), vorn::DeviceHandle(new ClosedDevice(sessions), vorn::device_deleter{}));
    // The device's destructor may wait for its threads; its plugin is released after it.
    const auto destroy = [&] {
        forget_device(previous.get());
        without_lock([&] { vorn::DeviceHandle last(std::move(previous)); });
    };
    try {
        stop_sessions(std::move(sessions));
    } catch (...) {
        if (!vorn::DataStream::is_forced_unwind()) {
            destroy();
        }
        throw;
    }
    destroy();
}

}  // namespace pyvorn
