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

#endif
