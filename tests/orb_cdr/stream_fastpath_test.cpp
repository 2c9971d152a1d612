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

// Reads back item i of write_items after its first member; false when it
// differs.
bool read_rest(Stream &s, int i)
{
    short sh = 0;
    int l = 0;
    long long ll = 0;
    double d = 0;
    unsigned short us = 0;
    float f = 0;
    s.read_2(&sh);
    s.read_4(&l);
    s.read_8(&ll);
    s.read_8(&d);
    bool b = s.read_octet() != 0;
    s.read_2(&us);
    s.read_4(&f);
    char c = static_cast<char>(s.read_octet());
    return sh == -i && l == i * 1000 && ll == static_cast<long long>(i) * 0x100000001LL && d == i * 0.5 &&
           b == ((i & 1) != 0) && us == i * 3 && f == i * 0.25f && c == 'a' + i % 26;
}

// Reads back what write_items wrote; false at the first difference.
bool read_items(Stream &s, int from, int to)
{
    for (int i = from; i < to; ++i) {
        if (s.read_octet() != static_cast<unsigned char>(i) || !read_rest(s, i))
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

// An exception put into the environment by anyone stops every item at once,
// on a stream at any point of its fast path; once it is cleared the stream
// goes on from where it was.
TEST(OrbCdrStreamFastPath, PendingExceptionStopsItemsAndLeavesPositions)
{
    PrivEnv e, other;
    Stream s(4096, e.w);
    write_items(s, 0, 3);
    const B before = written(s);
    other.w.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, nullptr)); // not ours
    s << static_cast<unsigned char>(7);
    other.w.clear();
    e.w.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, nullptr));
    write_items(s, 3, 50);
    unsigned int ul = 5;
    s.read_4(&ul);
    EXPECT_EQ(ul, 5u);
    EXPECT_EQ(s.read_octet(), 0xBD);
    e.w.clear();
    B want = before;
    want.push_back(7);
    EXPECT_EQ(written(s), want);
    // Writing and reading go on at the true positions.
    s << 0x01020304u;
    Stream ref(4096, e.w);
    write_items(ref, 0, 3);
    ref << static_cast<unsigned char>(7) << 0x01020304u;
    EXPECT_EQ(written(s), written(ref));
    EXPECT_TRUE(read_items(s, 0, 3));
    EXPECT_EQ(s.read_octet(), 7);
    s.read_4(&ul);
    EXPECT_EQ(ul, 0x01020304u);
}

// Padding stays zero when a back-patch stored bytes past the write position,
// and the order of a stream's items is the one in force when it started.
TEST(OrbCdrStreamFastPath, PaddingAndOrderAfterBackPatching)
{
    PrivEnv e;
    Stream s(4096, e.w);
    s << static_cast<unsigned char>(1) << 2u;
    unsigned char *ahead = s.write_position();
    s.write_ulong_at(ahead, 0xFFFFFFFFu); // past the written data
    s.write_ulong_at(ahead + 4, 0xFFFFFFFFu);
    {
        BigEndianWrites be; // changed mid-stream: the stream keeps its order
        s << static_cast<unsigned char>(3) << 4.0;
    }
    B want{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    double d = 4.0;
    want.resize(want.size() + 8);
    std::memcpy(want.data() + 16, &d, 8);
    EXPECT_EQ(written(s), want);
    EXPECT_FALSE(e.pending());
}

namespace {

// Items, octet arrays of odd lengths, strings and skipped bytes in turn, so
// that the inlined writers start right behind every out-of-line writer.
void write_mixture(Stream &s)
{
    static const unsigned char odd[7] = {1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 40; ++i) {
        s << static_cast<unsigned char>(i) << 7.5 << static_cast<short>(i);
        s.write_array_1(odd, 1 + i % 7);
        s << static_cast<unsigned int>(i) << Stream::from_string("abc");
        s << static_cast<unsigned long long>(i);
        s.skip_write(i % 3);
        s << 0.5f << Stream::from_boolean(true);
    }
}

} // namespace

// Padding is zero whatever the memory held before: a caller's buffer full of
// 0xAA and recycled blocks full of 0xFF give the bytes a zeroed buffer gives.
TEST(OrbCdrStreamFastPath, PaddingIsZeroOverDirtyMemory)
{
    for (int native = 1; native >= 0; --native) {
        CORBA::Stream::_use_native_endian = native != 0;
        PrivEnv e;
        alignas(8) unsigned char clean[256] = {};
        Stream ref(clean, sizeof clean, 0, e.w);
        write_mixture(ref);
        const B want = written(ref);
        {
            // Blocks given back full of 0xFF come back to the next streams.
            Stream dirt(e.w);
            std::vector<unsigned char> ff(3 * 65536, 0xFF);
            dirt.write_array_1(ff.data(), static_cast<uint32_t>(ff.size()));
        }
        alignas(8) unsigned char buf[256];
        std::memset(buf, 0xAA, sizeof buf);
        Stream s(buf, sizeof buf, 0, e.w);
        write_mixture(s);
        EXPECT_EQ(written(s), want) << "native " << native;
        CORBA::Stream::_use_native_endian = true;
    }
}

// The fast paths watch the stream's own environment: an error raised by
// another stream that shares it stops this one at once, an exception in an
// unrelated environment does not, and an environment that ends before its
// stream leaves nothing behind.
TEST(OrbCdrStreamFastPath, WatchesItsOwnEnvironment)
{
    PrivEnv e, other;
    Stream a(4096, e.w), b(4096, e.w), c(4096, other.w);
    write_items(a, 0, 2);
    const B before = written(a);
    c.read_octet(); // nothing written: MARSHAL in `other` only
    ASSERT_TRUE(other.is_marshal());
    a << static_cast<unsigned char>(9);
    B want = before;
    want.push_back(9);
    EXPECT_EQ(written(a), want);
    b.read_octet(); // nothing written: MARSHAL in `e`, shared with a
    ASSERT_TRUE(e.is_marshal());
    write_items(a, 2, 20);
    short sh = 5;
    a.read_2(&sh);
    EXPECT_EQ(sh, 5);
    e.w.clear();
    EXPECT_EQ(written(a), want);

    // A stream whose environment ends first.
    auto *w = new CORBA::EnvironmentWrapper(new CORBA::EnvironmentInfo(0));
    auto *s = new Stream(4096, *w);
    write_items(*s, 0, 3);
    delete w;
    delete s;
}

// Reads skipped while an exception is pending leave the read position where
// it was, whatever padding they would have skipped, on a view made while
// the exception was there or one stopped in the middle of its items; once
// the exception is cleared the view reads on from there, through inlined
// and out-of-line reads alike.
TEST(OrbCdrStreamFastPath, SkippedReadsKeepTheirPlace)
{
    PrivEnv e;
    Stream s(4096, e.w);
    write_items(s, 0, 10);
    const int kFromStart = -1;
    for (int stop : {kFromStart, 0, 3, 9}) {
        if (stop == kFromStart)
            e.w.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, nullptr));
        Stream v(s, e.w, true);
        if (stop != kFromStart) {
            ASSERT_TRUE(read_items(v, 0, stop));
            ASSERT_EQ(v.read_octet(), stop); // the first member of the next item
            e.w.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, nullptr));
        }
        short sh = 1;
        int l = 2;
        long long ll = 3;
        double d = 4;
        v.read_2(&sh);
        v.read_8(&ll);
        EXPECT_EQ(v.read_octet(), 0xBD);
        v.read_4(&l);
        v.read_8(&d);
        EXPECT_TRUE(sh == 1 && l == 2 && ll == 3 && d == 4) << stop;
        e.w.clear();
        if (stop == kFromStart) {
            // Out of line to the short of item 2, then inlined on.
            Stream two(4096, e.w);
            write_items(two, 0, 2);
            v.skip_read(two.size_written() + 1);
            EXPECT_TRUE(read_rest(v, 2) && read_items(v, 3, 10));
        } else
            EXPECT_TRUE(read_rest(v, stop) && read_items(v, stop + 1, 10)) << stop;
    }
}

// Items at block ends: written into a chain with a short first block after
// any number of octets, they give the bytes of one long block and read
// back; read through encapsulations that start at any place of a chain, the
// padding of some items runs from one block into the next and every item
// reads back.
TEST(OrbCdrStreamFastPath, ItemsAtBlockEnds)
{
    for (int prefix = 0; prefix < 8; ++prefix) {
        PrivEnv e;
        const int n = 4100; // past the end of the second block
        Stream chained(64, e.w), flat(1 << 18, e.w);
        for (int i = 0; i < prefix; ++i) {
            chained << static_cast<unsigned char>(i);
            flat << static_cast<unsigned char>(i);
        }
        write_items(chained, 0, n);
        write_items(flat, 0, n);
        EXPECT_EQ(written(chained), written(flat)) << "prefix " << prefix;
        chained.skip_read(prefix);
        EXPECT_TRUE(read_items(chained, 0, n)) << "prefix " << prefix;
    }

    PrivEnv e;
    Stream inner(4096, e.w);
    write_items(inner, 0, 8);
    const B bytes = written(inner);
    const unsigned char zeros[8] = {};
    for (uint32_t prefix = 1; prefix < 8; ++prefix) {
        alignas(8) unsigned char buf[64];
        Stream outer(buf, sizeof buf, 0, e.w);
        outer.write_array_1(zeros, prefix);
        outer.write_array_1(bytes.data(), static_cast<uint32_t>(bytes.size()));
        ASSERT_NE(outer.head(), outer.write_block());
        outer.skip_read(prefix);
        Stream view(outer, static_cast<uint32_t>(bytes.size()), e.w);
        EXPECT_TRUE(read_items(view, 0, 8)) << "prefix " << prefix;
    }
}
