// A plugin that exports create_manager as a function instead of a data symbol holding the
// factory's address: the form plugin authors try first.
#include <vorn/vorn.hpp>
#include "counters.hpp"
#include "test_plugin.hpp"

extern "C" VORN_API vorn::DeviceManager* create_manager() {
    vorn_test_counter_add("function_factory.calls", 1);
    return new vorn_test::QuietManager();
}
