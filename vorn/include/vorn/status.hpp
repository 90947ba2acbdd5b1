// Result code of device operations (Python: ReturnCode).
#pragma once

namespace vorn {

// Callers test for success by comparing with Success: any other value, also one that is not a
// member, counts as failure.
enum class BasicDeviceStatus : int {
    Success = 0,
    Failure = 1,
};

}  // namespace vorn
