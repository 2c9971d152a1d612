// Helpers of the broker client tests: hand-built little-endian CDR bytes.
#pragma once

#include "orb_cdr/cdr_util.h"

#include <cstring>
#include <string>
#include <vector>

// Little-endian CDR writer with alignment counted from its own start.
struct LE {
    std::vector<uint8_t> b;
    LE &align(size_t k)
    {
        while (b.size() % k)
            b.push_back(0);
        return *this;
    }
    LE &o(uint8_t v)
    {
        b.push_back(v);
        return *this;
    }
    LE &s(uint16_t v)
    {
        align(2);
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
        return *this;
    }
    LE &u(uint32_t v)
    {
        align(4);
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    LE &raw(const std::vector<uint8_t> &v)
    {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    LE &raw(const char *t, size_t n)
    {
        b.insert(b.end(), t, t + n);
        return *this;
    }
    LE &str(const std::string &t)
    {
        u(uint32_t(t.size() + 1));
        raw(t.c_str(), t.size() + 1);
        return *this;
    }
    LE &seq(const std::vector<uint8_t> &v)
    {
        u(uint32_t(v.size()));
        return raw(v);
    }
};

inline std::vector<uint8_t> bytes(const char *t) { return std::vector<uint8_t>(t, t + std::strlen(t)); }

// The body of a priority-band profile for bands (low, high) pairs.
inline std::vector<uint8_t> band_profile(const std::vector<std::pair<int16_t, int16_t>> &bands)
{
    LE data;
    data.u(uint32_t(bands.size()));
    for (auto &b : bands)
        data.s(uint16_t(b.first)).s(uint16_t(b.second));
    LE list;
    list.u(1).u(45).u(uint32_t(data.b.size())).raw(data.b);
    LE body;
    body.o(1).o(1).o(0).u(1).u(2).u(uint32_t(list.b.size())).raw(list.b);
    return body.b;
}
