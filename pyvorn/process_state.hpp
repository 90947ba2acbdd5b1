// The module's process-wide state, all of it in one place with its whole lifecycle: the gate that
// keeps native threads out of an exiting interpreter, the queue in which delivery threads wait for
// the interpreter lock, the registry of running streams, and the chunk types.
//
// Lifecycle
// - Import: install() sets the chunk types' slots (register_chunks), registers the exit hook and
//   the fork hooks. Nothing else here needs setting up: the rest starts empty and open.
// - Exit: the exit hook (atexit, on the main thread, before the interpreter finalizes) closes the
//   gate, gives calls in progress a short grace, then stops every running device stream, so that
//   no plugin thread runs while the process ends.
// - Fork: in the child (of os.fork(), multiprocessing's fork, any fork()), the hook makes all of
//   it fresh: mutexes that threads of the parent may have held are new, the gate is open, the
//   registry is empty, and the fork generation counts one more, so that streams inherited from the
//   parent know they are dead there: their producer and delivery threads do not exist in the child.
// Thread rules
// - InterpreterGate: any thread; close() on a Python thread holding the interpreter lock.
// - lock_queue(): delivery threads only, held only while waiting for the interpreter lock, never
//   during a call into Python.
// - The stream registry: any thread; its mutex is held only to add, remove or find streams, or to
//   stop every device stream at exit (a device's stop() runs under it then, without the
//   interpreter lock). No thread may wait for the interpreter lock while it holds that mutex.
// - The chunk types: set once at import with the lock held, read-only afterwards.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <pybind11/pybind11.h>

#include "vorn/host/stream_session.hpp"

namespace pyvorn {

// Every entry of a native thread into Python passes the gate. The exit hook closes it before
// finalization: new entries are refused, and entries in progress get a short grace to leave; an
// entry still inside after that (a callable blocked for ever) is abandoned: its thread never
// touches the interpreter again, whatever happens to it later.
class InterpreterGate {
  public:
    // Counts an entry in; false (and nothing counted) once the gate is closed: the caller must then
    // not touch any Python object, not even to drop a reference.
    static bool enter() noexcept;
    static void leave() noexcept;

    // Closes the gate for good and waits up to `grace` for the entries in progress. Called on a
    // Python thread holding the interpreter lock; the lock is released while waiting.
    static void close(std::chrono::nanoseconds grace);

    static bool closed() noexcept;
};

// Delivery threads queue on this mutex so that at most one of them waits for the interpreter lock
// at a time.
std::mutex& lock_queue() noexcept;

// The registry of running streams, which the exit hook stops, by the device they came from.
void add_live_stream(const std::shared_ptr<vorn::DataStream::StreamSession>& session,
                     const void* device);
void remove_live_stream(const vorn::DataStream::StreamSession& session) noexcept;
// The running streams started from `device`.
std::vector<std::shared_ptr<vorn::DataStream::StreamSession>> live_streams_of(const void* device);
// `device` is being destroyed: its address no longer names it (a later device may get it).
void forget_device(const void* device) noexcept;

// How many forks of the process this one is from the one that imported the module (0 there).
std::uint64_t fork_generation() noexcept;

// The registered Python types of the chunk objects.
struct ChunkTypes {
    PyTypeObject* managed_buffer = nullptr;
    PyTypeObject* data_view = nullptr;
};
ChunkTypes& chunk_types() noexcept;

// At import, after the classes are registered: the exit hook and the fork hook.
void install_process_hooks(pybind11::module_& m);

}  // namespace pyvorn
