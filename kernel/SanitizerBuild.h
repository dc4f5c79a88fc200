// ZELK_SANITIZER_BUILD is defined in a build with a sanitizer that replaces the allocation
// operators (address, thread, memory): the allocation tracker then steps aside.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELK_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ZELK_SANITIZER_BUILD 1
#endif
#endif
