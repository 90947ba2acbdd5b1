// The module's process-wide state and its lifecycle (see process_state.hpp).
#include "pyvorn/process_state.hpp"

#include <pthread.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <thread>
#include <unordered_map>

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
    struct LiveStream {
        std::weak_ptr<vorn::DataStream::StreamSession> session;
        const void* device;
    };
    std::unordered_map<const vorn::DataStream::StreamSession*, LiveStream> streams;

    ChunkTypes chunk_types;
    std::uint64_t generation = 0;
};

ProcessState*& current() noexcept {
    static auto* process = new ProcessState();
    return process;
}

ProcessState& state() noexcept {
    return *current();
}

// In the child of a fork, which has one thread: a fresh state. The old one is left as it is (its
// mutexes may be held by threads that do not exist here).
void after_fork_child() noexcept {
    const ProcessState& parent = state();
    auto* child = new (std::nothrow) ProcessState();
    if (child == nullptr) {
        return;  // no memory: the child keeps the parent's state and its risks
    }
    child->chunk_types = parent.chunk_types;
    child->generation = parent.generation + 1;
    current() = child;
}

// The exit hook, on the main thread with the interpreter lock held.
void at_exit() {
    InterpreterGate::close(exit_grace);
    without_lock([] {
        ProcessState& s = state();
        std::lock_guard lock(s.streams_mutex);
        // A stream that is being dropped waits on the mutex before it lets go of its session.
        for (auto& [key, live] : s.streams) {
            try {
                if (auto session = live.session.lock()) {
                    session->stop_device();
                }
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

void add_live_stream(const std::shared_ptr<vorn::DataStream::StreamSession>& session,
                     const void* device) {
    ProcessState& s = state();
    std::lock_guard lock(s.streams_mutex);
    s.streams.emplace(session.get(), ProcessState::LiveStream{session, device});
}

void remove_live_stream(const vorn::DataStream::StreamSession& session) noexcept {
    ProcessState& s = state();
    std::lock_guard lock(s.streams_mutex);
    s.streams.erase(&session);
}

std::vector<std::shared_ptr<vorn::DataStream::StreamSession>> live_streams_of(const void* device) {
    ProcessState& s = state();
    std::vector<std::shared_ptr<vorn::DataStream::StreamSession>> found;
    std::lock_guard lock(s.streams_mutex);
    for (auto& [key, live] : s.streams) {
        if (live.device == device) {
            if (auto session = live.session.lock()) {
                found.push_back(std::move(session));
            }
        }
    }
    return found;
}

void forget_device(const void* device) noexcept {
    ProcessState& s = state();
    std::lock_guard lock(s.streams_mutex);
    for (auto& [key, live] : s.streams) {
        if (live.device == device) {
            live.device = nullptr;
        }
    }
}

std::uint64_t fork_generation() noexcept {
    return state().generation;
}

ChunkTypes& chunk_types() noexcept {
    return state().chunk_types;
}

void install_process_hooks(py::module_& /*m*/) {
    py::module_::import("atexit").attr("register")(py::cpp_function(&at_exit));
    // pthread_atfork rather than os.register_at_fork: it also covers forks made outside Python.
    if (pthread_atfork(nullptr, nullptr, &after_fork_child) != 0) {
        throw std::runtime_error("cannot install the fork hook");
    }
}

}  // namespace pyvorn
