// Broker string helpers.
#include "corba_string.h"

#include <cstring>
#include <new>

namespace CORBA {

char *string_alloc(unsigned int n)
{
    return new (std::nothrow) char[static_cast<size_t>(n) + 1];
}

char *string_dup(char const *s)
{
    if (!s)
        return nullptr;
    size_t n = std::strlen(s);
    char *r = new (std::nothrow) char[n + 1];
    if (r)
        std::memcpy(r, s, n + 1);
    return r;
}

char *string_dup(char const *s, unsigned int n)
{
    char *r = new (std::nothrow) char[static_cast<size_t>(n) + 1];
    if (!r)
        return nullptr;
    if (s && n)
        std::memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

void string_free(char *&s)
{
    delete[] s;
    s = nullptr;
}

void string_free(char const *&s)
{
    delete[] s;
    s = nullptr;
}

unsigned int string_len(char const *s)
{
    return s ? static_cast<unsigned int>(std::strlen(s)) : 0u;
}

bool string_equal(char const *a, char const *b, char stop)
{
    if (a == b)
        return true;
    if (!a)
        return *b == '\0';
    if (!b)
        return *a == '\0';
    for (;; ++a, ++b) {
        bool ea = *a == '\0' || *a == stop;
        bool eb = *b == '\0' || *b == stop;
        if (ea || eb)
            return ea && eb;
        if (*a != *b)
            return false;
    }
}

unsigned int get_hash(char const *s)
{
    if (!s || !*s)
        return 0;
    uint32_t h = 0;
    for (const char *p = s + 1;; ++p) {
        h = (h << 5) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        if (*p == '\0')
            break;
    }
    return h;
}

} // namespace CORBA
