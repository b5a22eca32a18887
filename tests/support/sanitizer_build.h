#pragma once

// Which sanitizer this build runs under, for tests whose figures depend on
// it: NUVRA_TEST_ASAN or NUVRA_TEST_TSAN, or neither. g++ and clang say so
// differently.
#if defined(__SANITIZE_ADDRESS__)
#define NUVRA_TEST_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define NUVRA_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVRA_TEST_ASAN 1
#elif __has_feature(thread_sanitizer)
#define NUVRA_TEST_TSAN 1
#endif
#endif
