// The plugin loader at the native level: in which order the manager handle releases the manager
// and its library, and what the handle holds after the factory returned null.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <boost/dll/shared_library.hpp>

#include "counters.hpp"
#include "test_plugin.hpp"
#include "vorn/host/loader.hpp"

namespace {

// Whether the library at `path` is loaded, without loading it.
bool is_loaded(const char* path) {
    void* handle = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// Notes, when it is destroyed, whether its library reference was still held.
class WatchingManager final : public vorn_test::QuietManager {
  public:
    WatchingManager(std::weak_ptr<boost::dll::shared_library> library, bool& held)
        : library_(std::move(library)), held_(held) {}
    ~WatchingManager() override { held_ = !library_.expired(); }

  private:
    std::weak_ptr<boost::dll::shared_library> library_;
    bool& held_;
};

TEST(ManagerDeleter, DeletesTheManagerFirstAndReleasesTheLibraryWithTheControlBlock) {
    auto library = std::make_shared<boost::dll::shared_library>();
    std::weak_ptr<boost::dll::shared_library> library_alive = library;
    bool held_when_destroyed = false;
    std::shared_ptr<vorn::DeviceManager> handle(
        new WatchingManager(library_alive, held_when_destroyed),
        vorn::manager_deleter{std::move(library)});
    std::weak_ptr<vorn::DeviceManager> weak = handle;

    handle.reset();
    EXPECT_TRUE(held_when_destroyed);
    EXPECT_FALSE(library_alive.expired()) << "a weak reference keeps the control block";
    weak.reset();
    EXPECT_TRUE(library_alive.expired());
}

TEST(Loader, UnloadsAPluginOnlyAfterItsManagerAndLastWeakReference) {
    vorn_test_counter_reset();
    auto handle = vorn::get_device_manager(VORN_TEST_SPY);
    EXPECT_EQ(handle.use_count(), 1);
    auto self = handle->shared_from_this();
    EXPECT_FALSE(handle.owner_before(self) || self.owner_before(handle))
        << "the self-reference shares the loader's control block";
    self.reset();

    std::weak_ptr<vorn::DeviceManager> weak = handle;
    handle.reset();
    EXPECT_EQ(vorn_test_counter_get("spy.managers"), 0);
    EXPECT_TRUE(is_loaded(VORN_TEST_SPY));
    weak.reset();
    EXPECT_FALSE(is_loaded(VORN_TEST_SPY));
}

TEST(Loader, ANullFactoryResultLeavesTheLibraryInTheHandle) {
    auto handle = vorn::get_device_manager(VORN_TEST_NULL_FACTORY);
    EXPECT_EQ(handle.get(), nullptr);
    EXPECT_EQ(handle.use_count(), 1);
    const auto* deleter = std::get_deleter<vorn::manager_deleter>(handle);
    ASSERT_NE(deleter, nullptr);
    ASSERT_NE(deleter->library, nullptr);
    EXPECT_TRUE(deleter->library->is_loaded());
    handle.reset();
    EXPECT_FALSE(is_loaded(VORN_TEST_NULL_FACTORY));
}

TEST(Loader, AFactoryExceptionBecomesARuntimeErrorAndUnloadsTheLibrary) {
    try {
        vorn::get_device_manager(VORN_TEST_THROWING_FACTORY);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(),
                  std::string("Failed to create manager: ") + VORN_TEST_THROWING_FACTORY + " boom");
    }
    EXPECT_FALSE(is_loaded(VORN_TEST_THROWING_FACTORY));
}

}  // namespace
