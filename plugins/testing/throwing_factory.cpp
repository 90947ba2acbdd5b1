// A plugin whose factory throws a std::exception: std::runtime_error("boom").
#include <stdexcept>

#include <vorn/vorn.hpp>

namespace {

vorn::DeviceManager* make_manager() {
    throw std::runtime_error("boom");
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
