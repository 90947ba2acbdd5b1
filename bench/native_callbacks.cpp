// The baseline of bench/stream_throughput.py: a native thread that hands freshly allocated chunks
// to a C function pointer (a ctypes callback, say), one call per chunk.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

using ChunkCallback = void (*)(std::uint8_t* data, std::uint64_t size);

// Calls `callback` `count` times from a new thread, each time with a new chunk of `size` bytes
// (filled, then freed after the call). Returns the seconds from the start to the last return.
extern "C" __attribute__((visibility("default"))) double vorn_bench_native_calls(
    ChunkCallback callback, std::uint64_t count, std::uint64_t size) {
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
