// Every prefix of a valid encoding must end in a clean MARSHAL: nothing
// returned, nothing leaked, the stream's own environment holding the error.
#include "cdr_util.h"

#include "corba_typecode.h"

#include <gtest/gtest.h>

#include <functional>

using B = std::vector<uint8_t>;
using CORBA::Stream;
using namespace CORBA;

namespace {

struct Encoding {
    const char *what;
    B bytes;
    // Reads one item; returns true when it produced a result.
    std::function<bool(Stream &)> read;
    // A shorter length that is itself a whole encoding (0: none).
    size_t also_whole = 0;
};

B bytes_of(const std::function<void(Stream &)> &write)
{
    PrivEnv e;
    Stream s(e.w);
    write(s);
    EXPECT_FALSE(e.pending());
    return written(s);
}

bool read_tc(Stream &s)
{
    TypeCode *tc = nullptr;
    s >> tc;
    bool ok = tc != nullptr && !s.pending(); // a failed read may return a partial record
    release(tc);
    return ok;
}

TypeCode *recursive_struct()
{
    TypeCode *s = new TypeCode(tk_struct, "IDL:S:1.0", nullptr);
    TypeCode *seq = new TypeCode(tk_sequence, nullptr, s);
    seq->init(0, s);
    char const *names[] = {"next"};
    TypeCode *types[] = {seq};
    s->init("S", 1, names, types);
    return s;
}

std::vector<Encoding> encodings()
{
    std::vector<Encoding> v;
    static TypeCode *rec = recursive_struct();
    int labels[] = {1, 2};
    char const *un[] = {"c", "u"};
    TypeCode *ut[] = {wq_tc_char(), rec};
    static TypeCode uni(tk_union, "IDL:U:1.0", "U", wq_tc_longlong(), 0, 2, labels, un, ut, false);
    char const *en[] = {"R", "G"};
    static TypeCode color(tk_enum, "IDL:C:1.0", "C", 2, en, false);
    static TypeCode al(tk_alias, "IDL:A:1.0", "A", &color, false);
    static TypeCode obj(tk_objref, "IDL:O:1.0", "O", false);
    static TypeCode arr(tk_array, 3u, wq_tc_double(), false);
    char const *sn[] = {"a", "b", "c", "d", "e", "f"};
    TypeCode *stt[] = {&uni, &al, &obj, &arr, wq_tc_string(), wq_tc_any()};
    static TypeCode st(tk_except, "IDL:X:1.0", "X", 6, sn, stt, false);

    v.push_back({"recursive struct TypeCode", bytes_of([](Stream &s) { s << *rec; }), read_tc});
    v.push_back({"union/enum/alias/objref/array TypeCode", bytes_of([](Stream &s) { s << st; }), read_tc});
    v.push_back({"string",
                 bytes_of([](Stream &s) { s << Stream::from_string("hello"); }),
                 [](Stream &s) {
                     char *p = nullptr;
                     s >> Stream::to_string(p);
                     bool ok = p != nullptr;
                     string_free(p);
                     return ok;
                 }});
    v.push_back({"bounded string",
                 bytes_of([](Stream &s) { s << Stream::from_string("hello world"); }),
                 [](Stream &s) {
                     char *p = nullptr;
                     s >> Stream::to_string(p, 4);
                     bool ok = p != nullptr;
                     string_free(p);
                     return ok && s.bytes_remaining() == 0;
                 }});
    v.push_back({"system exception",
                 bytes_of([](Stream &s) {
                     CORBA::MARSHAL m(1, CORBA::COMPLETED_MAYBE, "some text");
                     s << m;
                 }),
                 [](Stream &s) {
                     CORBA::Exception *x = nullptr;
                     s >> x;
                     bool ok = x != nullptr;
                     delete x;
                     return ok;
                 },
                 // Ended after the completion status (the id's 4 + 30 bytes
                 // padded to 36, minor, completed): the plain body, no text.
                 36 + 4 + 4});
    v.push_back({"value of a union holding a recursive struct",
                 bytes_of([](Stream &s) {
                     s << 2LL << 2u << 0u << 1u << 0u;
                 }),
                 [](Stream &s) {
                     PrivEnv oe;
                     Stream out(oe.w);
                     int last = 0;
                     uni.marshal(s, out, false, last);
                     return !s.pending() && !oe.pending();
                 }});
    v.push_back({"any holding an array",
                 bytes_of([](Stream &s) {
                     s << arr;
                     double d[3] = {1, 2, 3};
                     s.write_array_8(d, 3);
                 }),
                 [](Stream &s) {
                     PrivEnv oe;
                     Stream out(oe.w);
                     int last = 0;
                     wq_tc_any()->marshal(s, out, false, last);
                     return !s.pending() && !oe.pending();
                 }});
    return v;
}

} // namespace

TEST(OrbCdrTruncation, EveryPrefixEndsInMarshal)
{
    for (const auto &enc : encodings()) {
        {
            PrivEnv e;
            Stream s(e.w);
            fill(s, enc.bytes);
            EXPECT_TRUE(enc.read(s)) << enc.what << ": " << e.text();
            EXPECT_FALSE(e.pending()) << enc.what;
        }
        for (size_t n = 0; n < enc.bytes.size(); ++n) {
            if (n == enc.also_whole && n)
                continue;
            PrivEnv e;
            Stream s(e.w);
            fill(s, B(enc.bytes.begin(), enc.bytes.begin() + static_cast<long>(n)));
            EXPECT_FALSE(enc.read(s)) << enc.what << " prefix " << n;
            EXPECT_TRUE(e.is_marshal()) << enc.what << " prefix " << n;
            EXPECT_EQ(e.minor(), 0x51570101u) << enc.what << " prefix " << n;
            EXPECT_EQ(s.read_octet(), 0xBD) << enc.what << " prefix " << n;
        }
    }
}

TEST(OrbCdrTruncation, BigEndianPrefixes)
{
    B full;
    {
        BigEndianWrites be;
        TypeCode *rec = recursive_struct();
        full = bytes_of([&](Stream &s) { s << *rec; });
        release(rec);
    }
    for (size_t n = 0; n <= full.size(); ++n) {
        PrivEnv e;
        Stream s(e.w);
        fill(s, B(full.begin(), full.begin() + static_cast<long>(n)), 0);
        bool ok = read_tc(s);
        EXPECT_EQ(ok, n == full.size()) << n;
        EXPECT_EQ(e.pending(), n != full.size()) << n;
    }
}
