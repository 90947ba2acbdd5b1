// A plugin whose factory returns no manager (a null pointer).
#include <vorn/vorn.hpp>
#include "counters.hpp"

namespace {

vorn::DeviceManager* make_manager() {
    vorn_test_counter_add("null_factory.calls", 1);
    return nullptr;
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
