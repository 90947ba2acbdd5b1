// The module's process-wide state and its lifecycle (see process_state.hpp).
#include "pyvorn/process_state.hpp"

#include <exception>
#include <thread>
#include <unordered_set>

#include "pyvorn/interpreter.hpp"
#include "vorn/host/callback_errors.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

// How long the exit hook lets callables in progress finish before it abandons them.
constexpr auto exit_grace = std::chrono::milliseconds(250);

// Everything process-wide, in one object that is never destroyed: threads the interpreter
// abandoned at exit may still use it while static destructors run.
struct ProcessState {
    // The gate: an entry counts itself in before it looks at the flag, and close() sets the flag
    // before it looks at the count (both sequentially consistent), so either the entry sees the
    // gate closed or close() sees the entry.
    std::atomic<bool> closing{false};
    std::atomic<long> inside{0};

    std::mutex lock_queue;

    std::mutex streams_mutex;
    std::unordered_set<vorn::DataStream::StreamSession*> streams;

    ChunkTypes chunk_types;
};

ProcessState& state() noexcept {
    static auto* process = new ProcessState();
    return *process;
}

// The exit hook, on the main thread with the interpreter lock held.
void at_exit() {
    InterpreterGate::close(exit_grace);
    without_lock([] {
        ProcessState& s = state();
        std::lock_guard lock(s.streams_mutex);
        for (auto* session : s.streams) {
            try {
                session->stop_device();
            } catch (const std::exception& error) {
                vorn::DataStream::log_callback_error(error.what());
            }
        }
    });
}

}  // namespace

bool InterpreterGate::enter() noexcept {
    ProcessState& s = state();
    s.inside.fetch_add(1);
    if (s.closing.load()) {
        s.inside.fetch_sub(1);
        return false;
    }
    return true;
}

void InterpreterGate::leave() noexcept {
    state().inside.fetch_sub(1);
}

bool InterpreterGate::closed() noexcept {
    return state().closing.load(std::memory_order_acquire);
}

void InterpreterGate::close(std::chrono::nanoseconds grace) {
    ProcessState& s = state();
    s.closing.store(true);
    if (s.inside.load() == 0) {
        return;
    }
    // Entries in progress may be waiting for the lock: let them have it.
    const auto deadline = std::chrono::steady_clock::now() + grace;
    without_lock([&] {
        while (s.inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
}

std::mutex& lock_queue() noexcept {
    return state().lock_queue;
}

void add_live_stream(vorn::DataStream::StreamSession& session) {
    ProcessState& s = state();
    std::lock_guard lock(s.streams_mutex);
    s.streams.insert(&session);
}

void remove_live_stream(vorn::DataStream::StreamSession& session) noexcept {
    ProcessState& s = state();
    std::lock_guard lock(s.streams_mutex);
    s.streams.erase(&session);
}

ChunkTypes& chunk_types() noexcept {
    return state().chunk_types;
}

void install_process_hooks(py::module_& m) {
    (void)m;
    py::module_::import("atexit").attr("register")(py::cpp_function(&at_exit));
}

}  // namespace pyvorn
