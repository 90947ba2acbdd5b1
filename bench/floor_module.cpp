// vorn_bench_floor: the floor of bench/stream_throughput.py, what handing a chunk to a Python
// callable costs at the least. A native thread keeps one thread state and calls the callable as
// callable(memoryview, None), with a fresh memoryview over one buffer (64 bytes unless told) per
// call, taking the interpreter lock once per 256 calls. Built for the benchmarks only
// (VORN_BUILD_BENCH).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t calls_per_lock = 256;

// calls(callable, n, size=64) -> seconds per call, from the start of the thread to its last
// call's return. An exception raised by the callable is reported as unraisable; the calls go on.
PyObject* calls(PyObject*, PyObject* args) {
    PyObject* callable = nullptr;
    unsigned long long n = 0;
    Py_ssize_t size = 64;
    if (!PyArg_ParseTuple(args, "OK|n", &callable, &n, &size)) {
        return nullptr;
    }
    if (n == 0 || size < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be at least 1 and size not negative");
        return nullptr;
    }
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    double seconds = 0;
    Py_BEGIN_ALLOW_THREADS;
    std::thread caller([&] {
        PyThreadState* state = PyThreadState_New(interpreter);
        std::vector<char> buffer(static_cast<std::size_t>(size));
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t done = 0; done < n;) {
            PyEval_RestoreThread(state);
            for (std::uint64_t k = 0; k < calls_per_lock && done < n; ++k, ++done) {
                PyObject* view = PyMemoryView_FromMemory(buffer.data(), size, PyBUF_WRITE);
                PyObject* call_args[2] = {view, Py_None};
                PyObject* result = view != nullptr
                                       ? PyObject_Vectorcall(callable, call_args, 2, nullptr)
                                       : nullptr;
                Py_XDECREF(view);
                if (result == nullptr) {
                    PyErr_WriteUnraisable(callable);
                }
                Py_XDECREF(result);
            }
            PyEval_SaveThread();
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    });
    caller.join();
    Py_END_ALLOW_THREADS;
    return PyFloat_FromDouble(seconds / static_cast<double>(n));
}

PyMethodDef methods[] = {
    {"calls", calls, METH_VARARGS,
     "calls(callable, n, size=64) -> seconds per call of callable(memoryview, None) from one "
     "native thread"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT,
                      "vorn_bench_floor",
                      "The floor of the stream benchmark: native calls of a Python callable",
                      -1,
                      methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vorn_bench_floor() {
    return PyModule_Create(&module);
}
