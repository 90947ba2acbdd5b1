// The plugin support layer: what every plugin of ours needs beyond the interface, header-only.
//
//   vorn/support/options.hpp        the option words of create_device and their error texts
//   vorn/support/device_base.hpp    a device whose operations answer "not supported" by default
//   vorn/support/producer_thread.hpp  the thread of a read stream: pacing, stop, failures, the end
//   vorn/support/pacer.hpp          pauses until a deadline that stop() cuts short
//   vorn/support/chunk_pool.hpp     recycled chunk memory, so a steady stream allocates nothing
//   vorn/support/forced_unwind.hpp  telling a thread's forced unwinding from an exception
//   vorn/support/library_path.hpp   the file the plugin was loaded from, for location()
//
// Not included by vorn/vorn.hpp, which is the interface alone: include this, or single headers.
// The recording formats a plugin may read are under vorn/recording/.
#pragma once

#include "vorn/support/chunk_pool.hpp"
#include "vorn/support/device_base.hpp"
#include "vorn/support/forced_unwind.hpp"
#include "vorn/support/library_path.hpp"
#include "vorn/support/options.hpp"
#include "vorn/support/pacer.hpp"
#include "vorn/support/producer_thread.hpp"
