// Native threads calling into Python: a Python thread state kept for a thread's life, and the
// gate that keeps every such thread out of an interpreter that is shutting down.
//
// Design: a delivery thread calls Python once per stream event. Creating and destroying a thread
// state per call costs microseconds, so a PythonThread creates one on first use and keeps it
// until the thread is done; each call then only takes and drops the interpreter lock.
// Every entry into Python from a native thread passes through an InterpreterGate::Entry. At exit
// (an atexit hook, before finalization) the gate is closed: it refuses new entries and waits,
// with the lock released, until the entries in progress have left. After that no native thread
// touches the interpreter again, so finalization can never meet a delivery thread inside it.
#pragma once

#include <Python.h>

#include <atomic>

namespace pyvorn {

class InterpreterGate {
  public:
    // An attempt to enter Python from a native thread. When it is refused (the gate is closed),
    // the caller must not touch any Python object, not even to drop a reference.
    class Entry {
      public:
        Entry() noexcept;
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        explicit operator bool() const noexcept { return admitted_; }

      private:
        bool admitted_;
    };

    // Closes the gate for good. Called on a Python thread holding the interpreter lock; the lock
    // is released while waiting for the entries in progress and held again on return.
    static void close();

    static bool closed() noexcept { return closing_.load(std::memory_order_acquire); }

  private:
    static std::atomic<bool> closing_;
    static std::atomic<long> inside_;
};

// The Python thread state of one native thread, created on first use and kept until finish().
// Not thread-safe: only the thread it belongs to may use it, and never while that thread already
// holds the interpreter lock (delivery threads take it only through here).
class PythonThread {
  public:
    PythonThread() = default;
    PythonThread(const PythonThread&) = delete;
    PythonThread& operator=(const PythonThread&) = delete;
    // A thread state that was not finished is left to the interpreter (it frees it at
    // finalization); destroying it here could run on the wrong thread or after the gate closed.
    ~PythonThread() = default;

    // Takes the interpreter lock for the calling thread. Must be inside an admitted gate entry.
    void acquire();
    // Drops the interpreter lock taken by acquire(), keeping the thread state.
    void release() noexcept;
    // With the interpreter lock held (taken by acquire()), deletes the thread state and drops the
    // lock. Only on the thread that created it.
    void finish() noexcept;

  private:
    PyThreadState* state_ = nullptr;
};

// Holds the interpreter lock of a PythonThread for one scope.
class PythonLock {
  public:
    explicit PythonLock(PythonThread& thread) : thread_(&thread) { thread_->acquire(); }
    ~PythonLock() { unlock(); }
    PythonLock(const PythonLock&) = delete;
    PythonLock& operator=(const PythonLock&) = delete;

    void unlock() noexcept {
        if (thread_ != nullptr) {
            thread_->release();
            thread_ = nullptr;
        }
    }

  private:
    PythonThread* thread_;
};

}  // namespace pyvorn
