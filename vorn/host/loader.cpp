// The plugin loader: checks the path, loads the library, runs the factory, owns the result.
#include "vorn/host/loader.hpp"

#include <dlfcn.h>
#include <link.h>

#include <stdexcept>
#include <string>

#include <boost/dll/import.hpp>
#include <boost/dll/shared_library.hpp>

namespace vorn {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* prefix, const fs::path& path) {
    throw std::runtime_error(prefix + path.native());
}

// The symbol table entry of the dynamic symbol at `address`, or null when nothing is known of it.
const ElfW(Sym) * symbol_entry(const void* address) {
    Dl_info info;
    void* entry = nullptr;
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr ||
        info.dli_saddr != address) {
        return nullptr;
    }
    return static_cast<const ElfW(Sym)*>(entry);
}

// Whether the symbol is a function (machine code), not data. The symbol's type is in the low bits
// of st_info (ELF64_ST_TYPE is ELF32_ST_TYPE).
bool is_function(const ElfW(Sym) & symbol) {
    const auto type = ELF64_ST_TYPE(symbol.st_info);
    return type == STT_FUNC || type == STT_GNU_IFUNC;
}

// Libraries whose factory threw something that is not a std::exception: the exception object and
// its type information may live in the library, so it must never be unloaded. The reference is
// leaked on purpose; leaking it (rather than keeping it in a shared list) needs no lock, so
// concurrent callers of the loader are safe.
void keep_loaded_forever(std::shared_ptr<boost::dll::shared_library> library) {
    new std::shared_ptr<boost::dll::shared_library>(std::move(library));  // NOLINT: never freed
}

}  // namespace

std::shared_ptr<DeviceManager> get_device_manager(const fs::path& path) {
    // Status queries follow symbolic links; a failure other than "nothing there" throws
    // filesystem_error unchanged.
    if (!fs::exists(fs::status(path))) {
        fail("Device Manager not found: ", path);
    }
    if (!fs::is_regular_file(fs::status(fs::canonical(path)))) {
        fail("Not a regular file: ", path);
    }

    // Load from the path as given. The default mode binds lazily, keeps symbols local and opens a
    // bare file name as ./name, so the system's library search path is never consulted.
    auto library = std::make_shared<boost::dll::shared_library>(path);
    if (!library->has("create_manager")) {
        fail("Device Manager does not have create_manager function: ", path);
    }
    // A function named create_manager would be read as an address and its code called as one.
    // Throwing here releases `library`, the only handle on it, so the library is unloaded again.
    const void* const symbol = &library->get<const unsigned char>("create_manager");
    const ElfW(Sym)* entry = symbol_entry(symbol);
    if (entry != nullptr && is_function(*entry)) {
        fail(
            "Device Manager exports create_manager as a function; export the factory's address "
            "with VORN_EXPORT_MANAGER_FACTORY instead: ",
            path);
    }
    // Nor may a null address be called, nor an object smaller than an address be read as one.
    if ((entry != nullptr && entry->st_size < sizeof(void*)) ||
        *static_cast<const void* const*>(symbol) == nullptr) {
        fail("Device Manager create_manager holds no factory address: ", path);
    }
    // create_manager is an alias: a data symbol holding the factory's address. Importing it takes
    // a second handle on the library, released when this function returns.
    auto factory = boost::dll::import_alias<ManagerFactory>(*library, "create_manager");

    try {
        // If building the handle throws, the shared_ptr constructor deletes the manager first.
        return std::shared_ptr<DeviceManager>(factory(), manager_deleter{library});
    } catch (const std::exception& error) {
        // The caught exception is destroyed before `library` is released below.
        throw std::runtime_error("Failed to create manager: " + path.native() + " " + error.what());
    } catch (...) {
        keep_loaded_forever(library);
        throw;
    }
}

}  // namespace vorn
