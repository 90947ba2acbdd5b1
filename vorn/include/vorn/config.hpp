// Symbol visibility for the plugin interface.
//
// Plugins are built with hidden visibility; the interface classes keep default visibility so that
// their type information is the same object on both sides of the library boundary.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif
