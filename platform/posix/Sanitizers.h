// Which sanitizer a unit is built with, for gcc (__SANITIZE_*__) and clang
// (__has_feature) alike: the fiber code must tell either one about stacks.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define GREEN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GREEN_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define GREEN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GREEN_TSAN 1
#endif
#endif
