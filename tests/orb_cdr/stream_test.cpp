// CDR stream: wire bytes of every primitive in both byte orders, alignment,
// block chaining, strings, back-patching, read errors and stream ownership.
#include "cdr_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using B = std::vector<uint8_t>;
using CORBA::Stream;

namespace {

struct Golden {
    const char *what;
    void (*write)(Stream &);
    B little;
    B big;
};

const Golden kGolden[] = {
    {"octet", [](Stream &s) { s << static_cast<unsigned char>(0xA5); }, {0xA5}, {0xA5}},
    {"char", [](Stream &s) { s << Stream::from_char('z'); }, {0x7A}, {0x7A}},
    {"boolean", [](Stream &s) { s << Stream::from_boolean(true); }, {0x01}, {0x01}},
    {"short", [](Stream &s) { s << static_cast<short>(-2); }, {0xFE, 0xFF}, {0xFF, 0xFE}},
    {"ushort", [](Stream &s) { s << static_cast<unsigned short>(0x1234); }, {0x34, 0x12}, {0x12, 0x34}},
    {"long", [](Stream &s) { s << -16909061; }, {0xFB, 0xFC, 0xFD, 0xFE}, {0xFE, 0xFD, 0xFC, 0xFB}},
    {"ulong", [](Stream &s) { s << 1u; }, {1, 0, 0, 0}, {0, 0, 0, 1}},
    {"float", [](Stream &s) { s << 1.0f; }, {0x00, 0x00, 0x80, 0x3F}, {0x3F, 0x80, 0x00, 0x00}},
    {"double",
     [](Stream &s) { s << -2.0; },
     {0, 0, 0, 0, 0, 0, 0x00, 0xC0},
     {0xC0, 0x00, 0, 0, 0, 0, 0, 0}},
    {"longlong",
     [](Stream &s) { s << static_cast<long long>(0x0102030405060708LL); },
     {8, 7, 6, 5, 4, 3, 2, 1},
     {1, 2, 3, 4, 5, 6, 7, 8}},
    {"ulonglong",
     [](Stream &s) { s << 0xFFFFFFFF00000001ULL; },
     {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
     {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}},
    {"octet then ulong", [](Stream &s) { s << static_cast<unsigned char>(7) << 2u; },
     {7, 0, 0, 0, 2, 0, 0, 0}, {7, 0, 0, 0, 0, 0, 0, 2}},
    {"octet then double",
     [](Stream &s) { s << static_cast<unsigned char>(1) << 0.0; },
     {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"short then long", [](Stream &s) { s << static_cast<short>(1) << 3; },
     {1, 0, 0, 0, 3, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 3}},
    {"string", [](Stream &s) { s << Stream::from_string("hi"); }, {3, 0, 0, 0, 'h', 'i', 0},
     {0, 0, 0, 3, 'h', 'i', 0}},
    {"null string", [](Stream &s) { s << Stream::from_string(nullptr); }, {1, 0, 0, 0, 0}, {0, 0, 0, 1, 0}},
    {"empty string", [](Stream &s) { s << Stream::from_string(""); }, {1, 0, 0, 0, 0}, {0, 0, 0, 1, 0}},
    {"bounded string", [](Stream &s) { s << Stream::from_string("abcdef", 3); },
     {4, 0, 0, 0, 'a', 'b', 'c', 0}, {0, 0, 0, 4, 'a', 'b', 'c', 0}},
    {"bound not reached", [](Stream &s) { s << Stream::from_string("ab", 5); }, {3, 0, 0, 0, 'a', 'b', 0},
     {0, 0, 0, 3, 'a', 'b', 0}},
    {"String_var", [](Stream &s) { s << CORBA::String_var("xy"); }, {3, 0, 0, 0, 'x', 'y', 0},
     {0, 0, 0, 3, 'x', 'y', 0}},
    {"null String_var", [](Stream &s) { s << CORBA::String_var(); }, {1, 0, 0, 0, 0}, {0, 0, 0, 1, 0}},
    {"array of ushort", [](Stream &s) {
         static const uint16_t v[] = {1, 0x0203};
         s << static_cast<unsigned char>(9);
         s.write_array_2(v, 2);
     },
     {9, 0, 1, 0, 3, 2}, {9, 0, 0, 1, 2, 3}},
    {"array of ulong", [](Stream &s) {
         static const uint32_t v[] = {1, 2};
         s << static_cast<unsigned char>(9);
         s.write_array_4(v, 2);
     },
     {9, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, {9, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2}},
    {"array of ulonglong", [](Stream &s) {
         static const uint64_t v[] = {1};
         s << static_cast<unsigned char>(9);
         s.write_array_8(v, 1);
     },
     {9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    {"empty array writes nothing", [](Stream &s) {
         s << static_cast<unsigned char>(9);
         s.write_array_8(nullptr, 0);
         s << static_cast<unsigned char>(8);
     },
     {9, 8}, {9, 8}},
};

} // namespace

TEST(OrbCdrStream, GoldenBytesBothOrders)
{
    for (const auto &g : kGolden) {
        {
            PrivEnv e;
            Stream s(e.w);
            g.write(s);
            EXPECT_EQ(written(s), g.little) << g.what;
            EXPECT_FALSE(e.pending()) << g.what;
        }
        {
            BigEndianWrites be;
            PrivEnv e;
            Stream s(e.w);
            g.write(s);
            EXPECT_EQ(written(s), g.big) << g.what;
        }
    }
}

TEST(OrbCdrStream, ReadsEachOrder)
{
    // The same values from little-endian data (host order) and big-endian
    // data (byte order field 0).
    const B le = {0xFE, 0xFF, 0, 0, 1, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    const B be = {0xFF, 0xFE, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int order = 1; order >= 0; --order) {
        PrivEnv e;
        Stream s(e.w);
        fill(s, order ? le : be, static_cast<uint8_t>(order));
        int16_t sh = 0;
        uint32_t ul = 0;
        uint64_t ll = 0;
        s.read_2(&sh);
        s.read_4(&ul);
        s.read_8(&ll);
        EXPECT_EQ(sh, -2);
        EXPECT_EQ(ul, 1u);
        EXPECT_EQ(ll, 0x0102030405060708ULL);
        EXPECT_FALSE(e.pending());
        EXPECT_EQ(s.bytes_remaining(), 0u);
    }
}

TEST(OrbCdrStream, ArraysRoundTripAcrossBlocks)
{
    // 70000 octets span two 65536-byte blocks; ulongs and ulonglongs after
    // an odd prefix, read back in both byte orders.
    B big(70000);
    std::iota(big.begin(), big.end(), 0);
    std::vector<uint32_t> u4(20000);
    std::iota(u4.begin(), u4.end(), 0x01020304u);
    std::vector<uint64_t> u8(10000);
    std::iota(u8.begin(), u8.end(), 0x0102030405060708ULL);
    for (int native = 1; native >= 0; --native) {
        CORBA::Stream::_use_native_endian = native != 0;
        PrivEnv e;
        Stream s(e.w);
        s.write_array_1(big.data(), static_cast<uint32_t>(big.size()));
        s << static_cast<unsigned char>(1);
        s.write_array_4(u4.data(), static_cast<uint32_t>(u4.size()));
        s.write_array_8(u8.data(), static_cast<uint32_t>(u8.size()));
        CORBA::Stream::_use_native_endian = true;
        ASSERT_NE(s.head()->next, nullptr);
        EXPECT_EQ(s.head()->used, 65536u);
        EXPECT_EQ(s.head()->next->base, 65536u);
        s.byte_order(static_cast<uint8_t>(native));
        B rb(big.size());
        s.read_array_1(rb.data(), static_cast<uint32_t>(rb.size()));
        EXPECT_EQ(rb, big);
        EXPECT_EQ(s.read_octet(), 1);
        std::vector<uint32_t> r4(u4.size());
        std::vector<uint64_t> r8(u8.size());
        s.read_array_4(r4.data(), static_cast<uint32_t>(r4.size()));
        s.read_array_8(r8.data(), static_cast<uint32_t>(r8.size()));
        EXPECT_EQ(r4, u4);
        EXPECT_EQ(r8, u8);
        EXPECT_FALSE(e.pending());
        EXPECT_EQ(s.bytes_remaining(), 0u);
    }
}

TEST(OrbCdrStream, BlockBoundaries)
{
    PrivEnv e;
    Stream s(e.w);
    B fillb(65532, 0x11);
    s.write_array_1(fillb.data(), 65532);
    s << 0xAABBCCDDu; // fills the block exactly
    EXPECT_EQ(s.write_block(), s.head());
    s << static_cast<unsigned short>(0x0102); // starts the next block at its offset 0
    ASSERT_NE(s.head()->next, nullptr);
    EXPECT_EQ(s.write_block(), s.head()->next);
    EXPECT_EQ(s.write_block()->base, 65536u);
    EXPECT_EQ(s.write_position(), s.write_block()->data + 2);
    EXPECT_EQ(s.size_written(), 65538u);
    s.skip_read(65532);
    uint32_t v = 0;
    uint16_t w = 0;
    s.read_4(&v);
    s.read_2(&w);
    EXPECT_EQ(v, 0xAABBCCDDu);
    EXPECT_EQ(w, 0x0102);
    EXPECT_FALSE(e.pending());
}

TEST(OrbCdrStream, AlignmentFollowsStreamOffsetInWrappedBuffer)
{
    // A caller's buffer at an odd address: alignment still counts from the
    // start of the stream.
    alignas(8) unsigned char raw[40] = {};
    PrivEnv e;
    Stream s(raw + 1, 32, 0, e.w);
    s << static_cast<unsigned char>(5) << 0x01020304u << 1.5;
    EXPECT_EQ(s.size_written(), 16u);
    EXPECT_EQ(raw[1], 5);
    EXPECT_EQ(raw[5], 0x04);
    // Growth beyond the buffer chains a 65536-byte block.
    B more(40, 3);
    s.write_array_1(more.data(), 40);
    ASSERT_NE(s.head()->next, nullptr);
    EXPECT_EQ(s.head()->next->capacity, 65536u);
    EXPECT_EQ(s.size_written(), 56u);
    // A length that is not a multiple of 8 is cut to one.
    Stream t(raw, 13, 0, e.w);
    EXPECT_EQ(t.head()->capacity, 8u);
}

TEST(OrbCdrStream, BackPatching)
{
    PrivEnv e;
    Stream s(e.w);
    s << static_cast<unsigned char>(1);
    wq_MemoryBlock *blk = s.write_block();
    unsigned char *pos = s.write_position();
    s << 0u; // placeholder, aligned to offset 4
    unsigned char *after_blk_pos = s.write_position();
    B body(70000, 0x22);
    s.write_array_1(body.data(), 70000);
    EXPECT_EQ(wq_StreamUtil::size_written_since(s, blk, after_blk_pos), 70000u);
    wq_StreamUtil::write_ulong_at(s, 70000u, blk, pos);
    wq_StreamUtil::write_ulong_at(s, 0xA1A2A3A4u, nullptr, nullptr); // start of the stream
    EXPECT_EQ(s.size_written(), 70008u);
    B w = written(s);
    EXPECT_EQ(B(w.begin(), w.begin() + 8), (B{0xA4, 0xA3, 0xA2, 0xA1, 0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(w.back(), 0x22);

    s.write_short_at(s.head()->data + 6, 0x0707);
    EXPECT_EQ(written(s)[6], 0x07);
    EXPECT_FALSE(e.pending());
    // An address outside the chain is refused.
    unsigned char outside[8];
    s.write_ulong_at(outside, 1);
    EXPECT_TRUE(e.is_marshal());
}

TEST(OrbCdrStream, StringsRead)
{
    PrivEnv e;
    Stream s(e.w);
    s << Stream::from_string("abcdef") << Stream::from_string("xyz") << Stream::from_string(nullptr)
      << Stream::from_string("hello");
    char *a = nullptr, *b = nullptr, *c = nullptr;
    s >> Stream::to_string(a, 3) >> Stream::to_string(b) >> Stream::to_string(c);
    EXPECT_STREQ(a, "abc");
    EXPECT_STREQ(b, "xyz");
    EXPECT_STREQ(c, "");
    CORBA::String_var v("a much longer old string");
    char *old = v.inout();
    s >> v;
    EXPECT_STREQ(v.in(), "hello");
    EXPECT_EQ(v.inout(), old); // read into the existing buffer
    EXPECT_EQ(s.bytes_remaining(), 0u);
    CORBA::string_free(a);
    CORBA::string_free(b);
    CORBA::string_free(c);
    EXPECT_FALSE(e.pending());
}

TEST(OrbCdrStream, StringEndsAtItsNul)
{
    // The sender's last byte must be the string's NUL; one inside the
    // string ends the result there.
    struct Row {
        const char *what;
        B bytes;
        uint32_t bound;
        const char *want; // null: refused with the read error
    };
    const Row rows[] = {
        {"last byte not NUL", {3, 0, 0, 0, 'a', 'b', 'c'}, 0, nullptr},
        {"last byte not NUL, bounded", {5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}, 2, nullptr},
        {"embedded NUL", {4, 0, 0, 0, 'a', 0, 'b', 0}, 0, "a"},
        {"embedded NUL, bounded", {5, 0, 0, 0, 'a', 'b', 0, 'c', 0}, 3, "ab"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        for (bool var : {false, true}) {
            if (var && r.bound)
                continue;
            PrivEnv e;
            Stream s(e.w);
            fill(s, r.bytes);
            char *a = nullptr;
            CORBA::String_var v("old");
            if (var)
                s >> v;
            else
                s >> Stream::to_string(a, r.bound);
            const char *got = var ? v.in() : a;
            if (r.want) {
                EXPECT_FALSE(e.pending());
                EXPECT_STREQ(got, r.want);
                EXPECT_EQ(s.bytes_remaining(), 0u);
            } else {
                ASSERT_TRUE(e.is_marshal());
                EXPECT_EQ(e.minor(), 0x51570101u);
                EXPECT_STREQ(e.text(), "read exceeded message size");
                if (var)
                    EXPECT_EQ(std::strlen(got), r.bytes[0] - 1u); // still a string
                else
                    EXPECT_EQ(got, nullptr);
            }
            CORBA::string_free(a);
        }
    }
}

TEST(OrbCdrStream, BadLengthsRaiseMarshalBeforeAllocating)
{
    struct Case {
        const char *what;
        B bytes;
        void (*read)(Stream &);
    };
    const Case cases[] = {
        {"string length 0", {0, 0, 0, 0, 'x'}, [](Stream &s) {
             char *p = nullptr;
             s >> Stream::to_string(p);
             EXPECT_EQ(p, nullptr);
         }},
        {"string beyond message", {0xFF, 0xFF, 0xFF, 0xFF, 'x'}, [](Stream &s) {
             char *p = nullptr;
             s >> Stream::to_string(p);
             EXPECT_EQ(p, nullptr);
         }},
        {"String_var beyond message", {9, 0, 0, 0, 'x'}, [](Stream &s) {
             CORBA::String_var v;
             s >> v;
             EXPECT_EQ(v.in(), nullptr);
         }},
        {"count whose elements cannot fit", {0, 0, 0, 0x40, 1, 2, 3, 4}, [](Stream &s) {
             uint32_t n = 7;
             EXPECT_FALSE(s.read_count(n, 4));
             EXPECT_EQ(n, 7u);
         }},
        {"count times size overflows 32 bits", {0, 0, 0, 0x40, 1, 2, 3, 4}, [](Stream &s) {
             EXPECT_FALSE(s.check_count(0x40000001u, 8));
         }},
        {"ulong from 3 bytes", {1, 2, 3}, [](Stream &s) {
             uint32_t v = 5;
             s.read_4(&v);
             EXPECT_EQ(v, 5u);
         }},
        {"array beyond", {1, 2, 3, 4}, [](Stream &s) {
             uint32_t v[2] = {9, 9};
             s.read_array_4(v, 2);
         }},
        {"skip beyond", {1, 2}, [](Stream &s) { s.skip_read(3); }},
    };
    for (const auto &c : cases) {
        PrivEnv e;
        Stream s(e.w);
        fill(s, c.bytes);
        c.read(s);
        ASSERT_TRUE(e.is_marshal()) << c.what;
        EXPECT_EQ(e.minor(), 0x51570101u) << c.what;
        // Every later operation does nothing.
        uint32_t before = s.read_offset();
        EXPECT_EQ(s.read_octet(), 0xBD) << c.what;
        s << 1u;
        EXPECT_EQ(s.read_offset(), before) << c.what;
        EXPECT_EQ(s.size_written(), c.bytes.size()) << c.what;
        // The stream stays failed even once the environment is cleared.
        e.w.clear();
        EXPECT_EQ(s.read_octet(), 0xBD) << c.what;
        s.reclaim();
        s << static_cast<unsigned char>(4);
        EXPECT_EQ(s.read_octet(), 4) << c.what;
    }
}

TEST(OrbCdrStream, ReadErrorText)
{
    PrivEnv e;
    Stream s(e.w);
    fill(s, {1, 2, 3});
    uint32_t v;
    s.read_4(&v);
    EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/MARSHAL:1.0");
    EXPECT_STREQ(e.text(), "read exceeded message size");
}

TEST(OrbCdrStream, ErrorGoesToTheStreamsEnvironmentOnly)
{
    PrivEnv a, b;
    Stream s(a.w), t(b.w);
    fill(s, {1});
    uint32_t v;
    s.read_4(&v);
    EXPECT_TRUE(a.pending());
    EXPECT_FALSE(b.pending());
    EXPECT_FALSE(CORBA::EnvironmentInfo::_current()->exception());
}

TEST(OrbCdrStream, CopySwapAndViews)
{
    PrivEnv e1, e2;
    Stream a(e1.w);
    B big(70000, 0x5A);
    a << 7u;
    a.write_array_1(big.data(), 70000);
    uint32_t first = 0;
    a.read_4(&first);

    // A copy has the same bytes and the read position at the same offset.
    Stream c(a, e2.w, false);
    EXPECT_EQ(c.size_written(), a.size_written());
    EXPECT_EQ(c.read_offset(), 4u);
    EXPECT_EQ(written(c), written(a));

    // A read-only view releases nothing and refuses writes.
    {
        PrivEnv e3;
        Stream v(a, e3.w, true);
        EXPECT_EQ(v.read_offset(), 0u);
        EXPECT_EQ(v.bytes_remaining(), 70004u);
        v << 1u;
        EXPECT_TRUE(e3.pending());
    }
    EXPECT_EQ(a.size_written(), 70004u);

    // swap exchanges the chains and how each stream owns them.
    Stream w(a, e2.w, true);
    Stream x(e1.w);
    x << 1u;
    x.swap(w); // x now holds the view, w the owned chain
    EXPECT_EQ(x.bytes_remaining(), 70004u);
    EXPECT_EQ(w.size_written(), 4u);
    // Destroying x (now a view) must not release a's chain; a stays valid.
    EXPECT_EQ(written(a).size(), 70004u);

    // The other stream's pending exception moves with the swap.
    PrivEnv e4, e5;
    Stream p(e4.w), q(e5.w);
    fill(q, {1});
    uint32_t v4;
    q.read_4(&v4);
    ASSERT_TRUE(e5.pending());
    p.swap(q);
    EXPECT_TRUE(e4.is_marshal());
    EXPECT_FALSE(e5.pending());

    // A failure stays with its exception: swapping a failed stream with a
    // clean one leaves the clean one's environment empty and the stream
    // working, not silently dead.
    PrivEnv e6, e7;
    Stream f(e6.w), g(e7.w);
    fill(f, {1});
    f.read_4(&v4);
    ASSERT_TRUE(e6.pending());
    g << 5u;
    f.swap(g);
    EXPECT_TRUE(f.pending());
    EXPECT_FALSE(e7.pending());
    EXPECT_FALSE(g.pending());
    g.reclaim();
    g << 6u;
    uint32_t six = 0;
    g.read_4(&six);
    EXPECT_EQ(six, 6u);
    EXPECT_FALSE(e7.pending());
}

TEST(OrbCdrStream, ReclaimKeepsHeadOnly)
{
    PrivEnv e;
    Stream s(e.w);
    B big(100000, 1);
    s.write_array_1(big.data(), 100000);
    ASSERT_NE(s.head()->next, nullptr);
    s.reclaim();
    EXPECT_EQ(s.head()->next, nullptr);
    EXPECT_EQ(s.size_written(), 0u);
    EXPECT_EQ(s.size_read(), 0u);
}

TEST(OrbCdrStream, WriteReadStream)
{
    PrivEnv e;
    Stream a(e.w), b(e.w);
    B big(70000);
    std::iota(big.begin(), big.end(), 0);
    a.write_array_1(big.data(), 70000);
    a.skip_read(10);
    b.write_stream(a, 69990);
    EXPECT_EQ(a.bytes_remaining(), 0u);
    EXPECT_EQ(written(b), B(big.begin() + 10, big.end()));
    Stream c(e.w);
    b.read_stream(c, 70000); // too few bytes in the source
    EXPECT_TRUE(e.is_marshal());
}

TEST(OrbCdrStream, StringHelpers)
{
    EXPECT_EQ(CORBA::string_len(nullptr), 0u);
    EXPECT_EQ(CORBA::string_len("abc"), 3u);
    EXPECT_TRUE(CORBA::string_equal(nullptr, ""));
    EXPECT_FALSE(CORBA::string_equal(nullptr, "a"));
    EXPECT_TRUE(CORBA::string_equal("ab:c", "ab:d", ':'));
    EXPECT_FALSE(CORBA::string_equal("ab", "abc"));
    EXPECT_EQ(CORBA::get_hash(""), 0u);
    // "ab": h = ('b') << 5 ^ 0 ... over 'b' and the NUL.
    EXPECT_EQ(CORBA::get_hash("ab"), (static_cast<uint32_t>('b') << 5) ^ 0u);
    char *d = CORBA::string_dup("abcdef", 3);
    EXPECT_STREQ(d, "abc");
    CORBA::string_free(d);
    EXPECT_EQ(d, nullptr);
}

TEST(OrbCdrStream, NilReferences)
{
    {
        PrivEnv e;
        Stream s(e.w);
        s.write_object(nullptr);
        EXPECT_EQ(written(s), (B{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        s << static_cast<unsigned char>(0x42);
        EXPECT_EQ(s.read_object("IDL:x/Y:1.0"), nullptr);
        EXPECT_FALSE(e.pending());
        EXPECT_EQ(s.read_octet(), 0x42);
    }
    {
        BigEndianWrites be;
        PrivEnv e;
        Stream s(e.w);
        s.write_object(nullptr);
        EXPECT_EQ(written(s), (B{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
    // An empty type id with a profile is not nil: it is a reference of type
    // Object; this profile's body is not a usable address.
    PrivEnv e;
    Stream s(e.w);
    fill(s, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4});
    EXPECT_EQ(s.read_object(nullptr), nullptr);
    ASSERT_TRUE(e.pending());
    EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/INV_OBJREF:1.0");
    // A profile count that cannot fit is refused before anything else.
    PrivEnv e2;
    Stream t(e2.w);
    fill(t, {1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_EQ(t.read_object(nullptr), nullptr);
    EXPECT_TRUE(e2.is_marshal());
}

TEST(OrbCdrStream, DefaultStreamUsesThreadEnvironment)
{
    CORBA::EnvironmentInfo *te = CORBA::EnvironmentInfo::_current();
    {
        Stream s;
        s << static_cast<unsigned char>(1);
        uint32_t v;
        s.read_4(&v);
        ASSERT_NE(te->exception(), nullptr);
        EXPECT_NE(CORBA::MARSHAL::_downcast(te->exception()), nullptr);
    }
    te->clear();
}

TEST(OrbCdrStream, LengthsAndRemaining)
{
    PrivEnv e;
    Stream s(e.w);
    B big(65536 + 100, 9);
    s.write_array_1(big.data(), static_cast<uint32_t>(big.size()));
    // The message length follows the last change of write block.
    EXPECT_EQ(s.message_length(), 65536u);
    s.message_length(65636);
    s.skip_read(65500);
    EXPECT_EQ(s.linear_block_remaining(), 36u);
    EXPECT_EQ(s.linear_total_remaining(), 136u);
    EXPECT_EQ(s.bytes_remaining(), 136u);
}
