// Symbol visibility for libqorvane. The library is built with hidden
// visibility; only declarations marked QORVANE_API are exported.
#pragma once

#if defined(QORVANE_STATIC_DEFINE)
#  define QORVANE_API
#elif defined(QORVANE_BUILDING_LIBRARY)
#  define QORVANE_API __attribute__((visibility("default")))
#else
#  define QORVANE_API
#endif
