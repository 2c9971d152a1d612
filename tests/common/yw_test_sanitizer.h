// YW_TEST_TSAN is defined when the test is built with ThreadSanitizer (gcc
// and clang spell the check differently).
#ifndef YW_TEST_SANITIZER_H
#define YW_TEST_SANITIZER_H

#if defined(__SANITIZE_THREAD__)
#define YW_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define YW_TEST_TSAN 1
#endif
#endif

// YW_TEST_NO_CANCEL is defined in the builds whose OS layer ends task threads
// at the framework's waits only (AddressSanitizer and ThreadSanitizer cannot
// follow a thread cancelled inside a system call).
#if defined(YW_TEST_TSAN) || defined(__SANITIZE_ADDRESS__)
#define YW_TEST_NO_CANCEL 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define YW_TEST_NO_CANCEL 1
#endif
#endif

#endif
