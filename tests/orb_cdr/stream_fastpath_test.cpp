// The stream's inlined primitive paths against its block-by-block ones: a
// caller's buffer at any address, block ends, reading what was just written,
// and both byte orders give the same bytes and values.
#include "cdr_util.h"

#include <gtest/gtest.h>

#include <cstring>

using B = std::vector<uint8_t>;
using CORBA::Stream;

namespace {

void write_items(Stream &s, int from, int to)
{
    for (int i = from; i < to; ++i) {
        s << static_cast<unsigned char>(i) << static_cast<short>(-i) << i * 1000
          << static_cast<long long>(i) * 0x100000001LL << i * 0.5
          << Stream::from_boolean(i & 1) << static_cast<unsigned short>(i * 3) << i * 0.25f
          << Stream::from_char(static_cast<char>('a' + i % 26));
    }
}

// Reads back what write_items wrote; false at the first difference.
bool read_items(Stream &s, int from, int to)
{
    for (int i = from; i < to; ++i) {
        short sh = 0;
        int l = 0;
        long long ll = 0;
        double d = 0;
        unsigned short us = 0;
        float f = 0;
        if (s.read_octet() != static_cast<unsigned char>(i))
            return false;
        s.read_2(&sh);
        s.read_4(&l);
        s.read_8(&ll);
        s.read_8(&d);
        bool b = s.read_octet() != 0;
        s.read_2(&us);
        s.read_4(&f);
        char c = static_cast<char>(s.read_octet());
        if (sh != -i || l != i * 1000 || ll != static_cast<long long>(i) * 0x100000001LL || d != i * 0.5 ||
            b != ((i & 1) != 0) || us != i * 3 || f != i * 0.25f || c != 'a' + i % 26)
            return false;
    }
    return !s.pending();
}

} // namespace

TEST(OrbCdrStreamFastPath, SameBytesWhereverTheBufferLies)
{
    constexpr int kRounds = 300; // about 12 KB: several small blocks
    for (int native = 1; native >= 0; --native) {
        CORBA::Stream::_use_native_endian = native != 0;
        PrivEnv e;
        Stream ref(4096, e.w);
        write_items(ref, 0, kRounds);
        const B want = written(ref);
        alignas(8) unsigned char buf[136];
        for (int shift = 0; shift < 8; ++shift) {
            // A caller's buffer at every address modulo 8, and one of the
            // stream's own blocks, each grown by chained blocks.
            Stream wrapped(buf + shift, 128, 0, e.w);
            write_items(wrapped, 0, kRounds);
            EXPECT_EQ(written(wrapped), want) << "shift " << shift;
            wrapped.byte_order(static_cast<uint8_t>(native));
            EXPECT_TRUE(read_items(wrapped, 0, kRounds)) << "shift " << shift;
        }
        // Reading right behind the writer on one stream, across block ends.
        Stream s(4096, e.w);
        s.byte_order(static_cast<uint8_t>(native));
        for (int i = 0; i < kRounds; ++i) {
            write_items(s, i, i + 1);
            EXPECT_TRUE(read_items(s, i, i + 1)) << "round " << i;
        }
        EXPECT_EQ(written(s), want);
        s.read_octet();
        EXPECT_TRUE(e.is_marshal()); // nothing more to read
        CORBA::Stream::_use_native_endian = true;
    }
}
