// Named counters for the tests: a mutex-guarded map from name to value.
#include "counters.hpp"

#include <map>
#include <mutex>
#include <string>

namespace {

struct Counters {
    std::mutex mutex;
    std::map<std::string, long long, std::less<>> values;
};

// Never destroyed: plugins may still count while the process exits.
Counters& counters() {
    static auto* instance = new Counters();
    return *instance;
}

}  // namespace

long long vorn_test_counter_add(const char* name, long long delta) {
    Counters& c = counters();
    std::lock_guard lock(c.mutex);
    return c.values[name] += delta;
}

long long vorn_test_counter_get(const char* name) {
    Counters& c = counters();
    std::lock_guard lock(c.mutex);
    const auto found = c.values.find(name);
    return found == c.values.end() ? 0 : found->second;
}

void vorn_test_counter_reset(void) {
    Counters& c = counters();
    std::lock_guard lock(c.mutex);
    c.values.clear();
}
