// Named counters for the tests: a mutex-guarded map from name to value. Safe across fork(): the
// mutex is held over the fork, so the child gets a consistent map and an unlocked mutex (plugin
// threads of the parent may be counting at that moment).
#include "counters.hpp"

#include <pthread.h>

#include <map>
#include <mutex>
#include <string>

namespace {

struct Counters {
    std::mutex mutex;
    std::map<std::string, long long, std::less<>> values;
};

Counters& counters();

Counters* make_counters() {
    auto* made = new Counters();
    pthread_atfork([] { counters().mutex.lock(); }, [] { counters().mutex.unlock(); },
                   [] { counters().mutex.unlock(); });
    return made;
}

// Never destroyed: plugins may still count while the process exits.
Counters& counters() {
    static Counters* instance = make_counters();
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
