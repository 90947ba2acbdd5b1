// A plugin whose factory throws something that is not a std::exception. The exception's type
// information lives in this library, which is why the loader never unloads it afterwards.
#include <vorn/vorn.hpp>

namespace {

struct NotAStandardException {
    int code;
};

vorn::DeviceManager* make_manager() {
    throw NotAStandardException{42};
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
