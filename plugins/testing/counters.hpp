// Named counters shared by the test plugins and the tests (libvorn_test_counters.so).
//
// Test plugins link this library; Python reads it with ctypes and C++ tests link it. It stays
// loaded while a plugin is unloaded, so a test can check after `del` what a plugin's destructors
// did. All functions are thread-safe; a counter that was never touched reads 0.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VORN_TEST_COUNTERS_API __attribute__((visibility("default")))
#else
#define VORN_TEST_COUNTERS_API
#endif

extern "C" {
// Adds `delta` to the counter `name` and returns the new value.
VORN_TEST_COUNTERS_API long long vorn_test_counter_add(const char* name, long long delta);
VORN_TEST_COUNTERS_API long long vorn_test_counter_get(const char* name);
// Sets every counter back to 0.
VORN_TEST_COUNTERS_API void vorn_test_counter_reset(void);
}

namespace vorn_test {

// Counts live objects: +1 under `name` while the member exists. Make it a member of the class
// whose instances are to be counted.
class LiveCount {
  public:
    explicit LiveCount(const char* name) : name_(name) { vorn_test_counter_add(name_, 1); }
    ~LiveCount() { vorn_test_counter_add(name_, -1); }
    LiveCount(const LiveCount&) = delete;
    LiveCount& operator=(const LiveCount&) = delete;

  private:
    const char* name_;
};

}  // namespace vorn_test
