// The ctypes peers of the stream benchmarks: native threads that hand freshly allocated chunks to a
// C function pointer (a ctypes callback, as a naive binding does), one call per chunk, either as
// fast as possible (bench/stream_throughput.py) or paced (bench/paced_streams.py).
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "paced_producer.hpp"

#define VORN_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

using ChunkCallback = void (*)(std::uint8_t* data, std::uint64_t size);

// Calls `callback` `count` times from a new thread, each time with a new chunk of `size` bytes
// (filled, then freed after the call). Returns the seconds from the start to the last return.
VORN_BENCH_EXPORT double vorn_bench_native_calls(ChunkCallback callback, std::uint64_t count,
                                                 std::uint64_t size) {
    const auto start = std::chrono::steady_clock::now();
    std::thread caller([=] {
        for (std::uint64_t i = 0; i < count; ++i) {
            auto* chunk = new std::uint8_t[size];
            std::memset(chunk, static_cast<int>(i), size);
            callback(chunk, size);
            delete[] chunk;
        }
    });
    caller.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Calls `callback` from a new thread with `count` time-stamped chunks of `size` bytes, `rate` a
// second (the paced producer of the benchmark plugin; each chunk is freed after the call). Returns
// the seconds from the start to the last return.
VORN_BENCH_EXPORT double vorn_bench_paced_calls(ChunkCallback callback, double rate,
                                                std::uint64_t size, std::uint64_t count) {
    const auto start = std::chrono::steady_clock::now();
    std::jthread caller([=](std::stop_token stop) {
        vorn_bench::produce_paced(stop, rate, size, count,
                                  [callback](std::uint8_t* chunk, std::uint64_t bytes) {
                                      callback(chunk, bytes);
                                      delete[] chunk;
                                  });
    });
    caller.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
