// Plugins whose create_manager is a data symbol but holds no factory's address: a null address
// (built with VORN_TEST_NULL_ADDRESS), or an object smaller than a pointer.
#include <vorn/vorn.hpp>

extern "C" {
#ifdef VORN_TEST_NULL_ADDRESS
VORN_API extern const void* const create_manager;
const void* const create_manager = nullptr;
#else
VORN_API extern const int create_manager;
const int create_manager = 1;
#endif
}
