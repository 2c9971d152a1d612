// Bounded parsing of numbers read from configuration text.
#ifndef YW_NUM_H
#define YW_NUM_H

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

// Whole text as a number in [lo, hi] (strtoll rules for base and sign).
// False for empty text, trailing characters, overflow or a value out of
// range; *out is then left unchanged.
inline bool YW_parseRange(const char *s, int base, long long lo, long long hi, long long *out)
{
    if (!s || !*s)
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s, &end, base);
    while (end && (*end == ' ' || *end == '\t'))
        ++end;
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// A size attribute: a decimal in [lo, hi], or a line naming the attribute
// and the range and false. Sizes are never wrapped into another value.
inline bool YW_parseSize(const char *func, const char *what, const char *s, long long lo, long long hi,
                         long long *out)
{
    if (YW_parseRange(s, 10, lo, hi, out))
        return true;
    std::printf("%s: %s \"%s\" refused: not a number from %lld to %lld\n", func, what, s ? s : "", lo, hi);
    return false;
}

#endif /* YW_NUM_H */
