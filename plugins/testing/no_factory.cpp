// A shared library that is no plugin: it exports no create_manager.
#include "counters.hpp"

extern "C" __attribute__((visibility("default"))) long long vorn_test_not_a_plugin() {
    return vorn_test_counter_get("no_factory");
}
