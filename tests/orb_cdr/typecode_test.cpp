// TypeCodes: wire bytes, recursion through indirections, copies, equivalence,
// accessors with BadKind and Bounds, member labels, the reader's checks and
// the value copy.
#include "cdr_util.h"

#include "corba_any.h"
#include "corba_typecode.h"

#include <gtest/gtest.h>

#include <cstring>

using B = std::vector<uint8_t>;
using CORBA::Stream;
using CORBA::TypeCode;
using namespace CORBA;

namespace {

// struct S { sequence<S> next; }, built the two-phase way.
TypeCode *make_recursive_struct()
{
    TypeCode *s = new TypeCode(tk_struct, "IDL:S:1.0", nullptr);
    TypeCode *seq = new TypeCode(tk_sequence, nullptr, s);
    seq->init(0, s);
    char const *names[] = {"next"};
    TypeCode *types[] = {seq};
    s->init("S", 1, names, types);
    return s;
}

B encode(const TypeCode &tc)
{
    PrivEnv e;
    Stream s(e.w);
    s << tc;
    EXPECT_FALSE(e.pending());
    return written(s);
}

TypeCode *decode(const B &bytes, PrivEnv &e)
{
    Stream s(e.w);
    fill(s, bytes);
    TypeCode *tc = nullptr;
    s >> tc;
    return tc;
}

const B kRecursiveS = {
    0x0F, 0, 0, 0,                                     // tk_struct
    68, 0, 0, 0,                                       // encapsulation length
    1, 0, 0, 0,                                        // byte order, pad
    10, 0, 0, 0, 'I', 'D', 'L', ':', 'S', ':', '1', '.', '0', 0, 0, 0, // id
    2, 0, 0, 0, 'S', 0, 0, 0,                          // name
    1, 0, 0, 0,                                        // member count
    5, 0, 0, 0, 'n', 'e', 'x', 't', 0, 0, 0, 0,        // member name
    0x13, 0, 0, 0,                                     // tk_sequence
    16, 0, 0, 0,                                       // its encapsulation length
    1, 0, 0, 0,                                        // byte order, pad
    0xFF, 0xFF, 0xFF, 0xFF,                            // indirection
    0xBC, 0xFF, 0xFF, 0xFF,                            // -68: back to S's kind word
    0, 0, 0, 0,                                        // unbounded
};

} // namespace

TEST(OrbCdrTypeCode, UnboundedSequenceOfLongBytes)
{
    TypeCode seq(tk_sequence, 0u, wq_tc_long(), false);
    EXPECT_EQ(encode(seq), (B{0x13, 0, 0, 0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
    BigEndianWrites be;
    EXPECT_EQ(encode(seq), (B{0, 0, 0, 0x13, 0, 0, 0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0}));
}

TEST(OrbCdrTypeCode, BigEndianEncapsulationReadBack)
{
    B be = {0, 0, 0, 0x13, 0, 0, 0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 7};
    PrivEnv e;
    Stream s(e.w);
    fill(s, be, 0);
    TypeCode *tc = nullptr;
    s >> tc;
    ASSERT_NE(tc, nullptr);
    EXPECT_EQ(tc->kind(), tk_sequence);
    EXPECT_EQ(tc->length(), 7u);
    TypeCode *c = tc->content_type();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->kind(), tk_long);
    release(c);
    release(tc);
}

TEST(OrbCdrTypeCode, RecursiveStructThroughSequence)
{
    TypeCode *s = make_recursive_struct();
    EXPECT_EQ(encode(*s), kRecursiveS);

    PrivEnv e;
    TypeCode *r = decode(kRecursiveS, e);
    ASSERT_NE(r, nullptr) << e.text();
    EXPECT_STREQ(r->id(), "IDL:S:1.0");
    EXPECT_STREQ(r->member_name(0), "next");
    // Written again it yields the same indirection: the content is S itself.
    EXPECT_EQ(encode(*r), kRecursiveS);
    EXPECT_TRUE(r->equivalent(s));
    EXPECT_TRUE(s->equivalent(r));

    // A member of a recursive type copies with its recursion: the copy is a
    // sequence holding S, whose own member leads back to that S.
    TypeCode *m = r->member_type(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kind(), tk_sequence);
    B mb = encode(*m);
    ASSERT_EQ(mb.size(), 12u + kRecursiveS.size() + 4);
    EXPECT_EQ(B(mb.begin() + 12, mb.begin() + 12 + 4), (B{0x0F, 0, 0, 0}));
    TypeCode *inner = m->content_type();
    EXPECT_TRUE(inner->equivalent(s));
    release(inner);
    release(m);

    TypeCode copy(*r);
    EXPECT_EQ(encode(copy), kRecursiveS);
    TypeCode *compact = r->get_compact_typecode();
    EXPECT_EQ(compact->name(), nullptr);
    EXPECT_EQ(compact->member_name(0), nullptr);
    EXPECT_STREQ(compact->id(), "IDL:S:1.0");
    EXPECT_TRUE(compact->equivalent(r));
    release(compact);
    release(r);
    release(s);
}

TEST(OrbCdrTypeCode, EncapsulationHasItsOwnAlignment)
{
    // union switch (long long) { case 5: long a; }, written behind an octet so
    // the encapsulation starts at stream offset 12: its 8-byte label is
    // aligned from the encapsulation's first byte, not from the stream.
    int labels[] = {5};
    char const *names[] = {"a"};
    TypeCode *types[] = {wq_tc_long()};
    TypeCode u(tk_union, "", "", wq_tc_longlong(), -1, 1, labels, names, types, false);
    PrivEnv e;
    Stream s(e.w);
    s << static_cast<unsigned char>(0xEE) << u;
    const B expect = {
        0xEE, 0, 0, 0, 0x10, 0, 0, 0, 52, 0, 0, 0,         // octet, tk_union, length
        1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,                // order; id ""
        1, 0, 0, 0, 0, 0, 0, 0,                            // name ""
        0x17, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, // longlong; default -1; count
        5, 0, 0, 0, 0, 0, 0, 0,                            // label at encapsulation offset 32
        2, 0, 0, 0, 'a', 0, 0, 0, 3, 0, 0, 0,              // name "a", type long
    };
    EXPECT_EQ(written(s), expect);
    EXPECT_EQ(s.read_octet(), 0xEE);
    TypeCode *r = nullptr;
    s >> r;
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->equivalent(&u));
    Any *l = r->member_label(0);
    long long v = 0;
    EXPECT_TRUE(*l >>= v);
    EXPECT_EQ(v, 5);
    delete l;
    release(r);
}

TEST(OrbCdrTypeCode, SimpleKindsAndSingletons)
{
    TypeCode ws(tk_wstring, 12u, false);
    EXPECT_EQ(encode(ws), (B{27, 0, 0, 0, 12, 0, 0, 0}));
    PrivEnv e;
    TypeCode *r = decode({27, 0, 0, 0, 12, 0, 0, 0}, e);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->kind(), tk_wstring);
    EXPECT_TRUE(r->equivalent(&ws));
    release(r);
    EXPECT_EQ(wq_tc_long(), wq_tc_long());
    EXPECT_EQ(wq_tc_long()->deep_copy(nullptr), wq_tc_long());
    release(wq_tc_long()); // a static TypeCode is left alone
    EXPECT_EQ(wq_tc_long()->kind(), tk_long);
    EXPECT_STREQ(wq_tc_object()->id(), "IDL:omg.org/CORBA/Object:1.0");
    EXPECT_STREQ(wq_tc_object()->name(), "CORBA::Object");
    TypeCode fx(tk_fixed, (10u << 16) | 2u, false);
    EXPECT_EQ(fx.fixed_digits(), 10);
    EXPECT_EQ(fx.fixed_scale(), 2);
}

TEST(OrbCdrTypeCode, Equivalence)
{
    char const *n2[] = {"a", "b"};
    char const *m2[] = {"x", "y"};
    TypeCode *t2[] = {wq_tc_long(), wq_tc_string()};
    TypeCode s1(tk_struct, "IDL:A:1.0", "A", 2, n2, t2, false);
    TypeCode s2(tk_struct, "IDL:B:1.0", "B", 2, m2, t2, false);
    EXPECT_TRUE(s1.equivalent(&s2));
    TypeCode *t3[] = {wq_tc_long(), wq_tc_short()};
    TypeCode s3(tk_struct, "IDL:A:1.0", "A", 2, n2, t3, false);
    EXPECT_FALSE(s1.equivalent(&s3));

    int labels[] = {1, 2};
    TypeCode *ut1[] = {wq_tc_long(), wq_tc_long()};
    TypeCode *ut2[] = {wq_tc_string(), wq_tc_double()};
    TypeCode u1(tk_union, "IDL:U:1.0", "U", wq_tc_long(), -1, 2, labels, n2, ut1, false);
    TypeCode u2(tk_union, "IDL:V:1.0", "V", wq_tc_long(), -1, 2, labels, n2, ut2, false);
    EXPECT_TRUE(u1.equivalent(&u2));
    int labels2[] = {1, 3};
    TypeCode u3(tk_union, "IDL:U:1.0", "U", wq_tc_long(), -1, 2, labels2, n2, ut1, false);
    EXPECT_FALSE(u1.equivalent(&u3));
    TypeCode u4(tk_union, "IDL:U:1.0", "U", wq_tc_long(), 1, 2, labels2, n2, ut1, false);
    TypeCode u5(tk_union, "IDL:U:1.0", "U", wq_tc_long(), 1, 2, labels, n2, ut1, false);
    EXPECT_TRUE(u4.equivalent(&u5)); // the default member's label is not compared

    TypeCode al(tk_alias, "IDL:L:1.0", "L", wq_tc_long(), false);
    EXPECT_TRUE(al.equivalent(wq_tc_long()));
    EXPECT_TRUE(wq_tc_long()->equivalent(&al));
    EXPECT_FALSE(al.equivalent(wq_tc_short()));

    TypeCode sq1(tk_sequence, 0u, wq_tc_long(), false);
    TypeCode sq2(tk_sequence, 4u, wq_tc_long(), false);
    TypeCode sq3(tk_sequence, 0u, &al, false);
    EXPECT_FALSE(sq1.equivalent(&sq2));
    EXPECT_TRUE(sq1.equivalent(&sq3));

    TypeCode o1(tk_objref, "IDL:x/Y:1.0", "Y", false);
    TypeCode o2(tk_objref, "IDL:x/Y:1.3", "Y", false);
    TypeCode o3(tk_objref, "IDL:x/Z:1.0", "Z", false);
    EXPECT_TRUE(o1.equivalent(&o2));
    EXPECT_FALSE(o1.equivalent(&o3));

    TypeCode ld(tk_longdouble, false);
    TypeCode ld2(tk_longdouble, false);
    EXPECT_TRUE(ld.equivalent(&ld));
    EXPECT_FALSE(ld.equivalent(&ld2));

    // Two recursive types with the same shape, and one a level deeper.
    TypeCode *r1 = make_recursive_struct();
    TypeCode *r2 = make_recursive_struct();
    EXPECT_TRUE(r1->equivalent(r2));
    TypeCode *unrolled = r1->member_type(0);
    TypeCode *un2 = r2->member_type(0);
    EXPECT_TRUE(unrolled->equivalent(un2));
    release(un2);
    release(unrolled);
    EXPECT_FALSE(r1->equivalent(&s1));
    release(r1);
    release(r2);

    PrivEnv e;
    EXPECT_FALSE(s1.equivalent(nullptr, e.w));
    EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/BadKind:1.0");
}

TEST(OrbCdrTypeCode, BadKindAndBounds)
{
    char const *n3[] = {"a", "b", "c"};
    TypeCode *t3[] = {wq_tc_long(), wq_tc_long(), wq_tc_long()};
    TypeCode st(tk_struct, "IDL:T:1.0", "T", 3, n3, t3, false);
    {
        PrivEnv e;
        EXPECT_EQ(static_cast<unsigned>(st.default_index(e.w)), 0xFFFFFFFFu);
        ASSERT_TRUE(e.pending());
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/BadKind:1.0");
        EXPECT_NE(e.w.exception()->wq_find_ptr("IDL:omg.org/CORBA/TypeCode/BadKind:1.0"), nullptr);
    }
    {
        PrivEnv e;
        EXPECT_EQ(st.member_type(3, e.w), nullptr);
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/Bounds:1.0");
    }
    {
        PrivEnv e;
        EXPECT_EQ(st.member_name(3, e.w), nullptr);
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/Bounds:1.0");
    }
    {
        PrivEnv e;
        EXPECT_EQ(wq_tc_long()->member_count(e.w), 0u);
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/BadKind:1.0");
    }
    {
        PrivEnv e;
        EXPECT_EQ(st.content_type(e.w), nullptr);
        EXPECT_EQ(st.length(e.w), 0u);
        EXPECT_EQ(st.discriminator_type(e.w), nullptr);
        EXPECT_EQ(st.member_label(0, e.w), nullptr);
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/TypeCode/BadKind:1.0");
    }
    // With the default (temporary) wrapper the exception is thrown when the
    // wrapper ends.
    EXPECT_THROW(st.default_index(), TypeCode::BadKind);
    EXPECT_THROW(st.member_type(7), TypeCode::Bounds);
    EXPECT_THROW(st.fixed_digits(), CORBA::UserException);
    TypeCode *m = st.member_type(1);
    EXPECT_EQ(m, wq_tc_long());
}

TEST(OrbCdrTypeCode, MemberLabels)
{
    struct Case {
        TypeCode *disc;
        int label;
        TCKind kind;
    };
    char const *en[] = {"R", "G", "B"};
    TypeCode color(tk_enum, "IDL:Color:1.0", "Color", 3, en, false);
    const Case cases[] = {
        {wq_tc_short(), -3, tk_short},     {wq_tc_ushort(), 0x12345, tk_ushort},
        {wq_tc_long(), -7, tk_long},       {wq_tc_ulong(), 9, tk_ulong},
        {wq_tc_boolean(), 4, tk_boolean},  {wq_tc_char(), 'q', tk_char},
        {wq_tc_octet(), 0x1FF, tk_octet},  {&color, 2, tk_enum},
        {wq_tc_longlong(), -5, tk_longlong}, {wq_tc_ulonglong(), -1, tk_ulonglong},
    };
    for (const auto &c : cases) {
        int labels[] = {c.label};
        char const *names[] = {"m"};
        TypeCode *types[] = {wq_tc_long()};
        TypeCode u(tk_union, "IDL:U:1.0", "U", c.disc, -1, 1, labels, names, types, false);
        Any *a = u.member_label(0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->wq_type()->kind(), c.kind);
        switch (c.kind) {
        case tk_short: {
            short v = 0;
            EXPECT_TRUE(*a >>= v);
            EXPECT_EQ(v, -3);
            break;
        }
        case tk_ushort: {
            unsigned short v = 0;
            EXPECT_TRUE(*a >>= v);
            EXPECT_EQ(v, 0x2345);
            break;
        }
        case tk_boolean: {
            bool v = false;
            EXPECT_TRUE(*a >>= Any::to_boolean(v));
            EXPECT_TRUE(v);
            break;
        }
        case tk_octet: {
            unsigned char v = 0;
            EXPECT_TRUE(*a >>= Any::to_octet(v));
            EXPECT_EQ(v, 0xFF);
            break;
        }
        case tk_enum: {
            unsigned int v = 0;
            EXPECT_TRUE(*a >>= v);
            EXPECT_EQ(v, 2u);
            EXPECT_STREQ(a->wq_type()->id(), "IDL:Color:1.0");
            break;
        }
        case tk_ulonglong: {
            unsigned long long v = 0;
            EXPECT_TRUE(*a >>= v);
            EXPECT_EQ(v, 0xFFFFFFFFFFFFFFFFULL);
            break;
        }
        default:
            break;
        }
        Any copy(*a);
        EXPECT_EQ(copy.wq_type()->kind(), c.kind);
        delete a;
    }
}

TEST(OrbCdrTypeCode, EdgeRecordsAreBuiltAndRefusedWhereUsed)
{
    char const *names[] = {"a"};
    TypeCode *types[] = {wq_tc_long()};
    TypeCode *none[] = {nullptr};
    int labels[] = {0};
    TypeCode ps(tk_struct, "IDL:P:1.0", nullptr);
    ps.init("P", 1, names, none);
    TypeCode pu(tk_union, "IDL:PU:1.0", nullptr);
    pu.init("PU", wq_tc_double(), -1, 1, labels, names, types);
    TypeCode two(tk_sequence, nullptr, nullptr);
    two.init(0, nullptr);
    struct Row {
        char const *what;
        TypeCode tc;
        uint32_t count;     // member_count (0: not asked)
        bool has_content;   // content_type gives a TypeCode
        char const *write;  // text the encoder raises ("": none)
        char const *copy;   // text the value copy raises ("": none)
    };
    char const *missing = "TypeCode cannot be encoded: missing member or content type.";
    char const *unusable = "TypeCode cannot be used: missing member, content or discriminator type.";
    char const *bad_disc = "Union TypeCode discriminate is invalid.";
    Row rows[] = {
        {"union without discriminator: no members",
         TypeCode(tk_union, "IDL:U:1.0", "U", nullptr, -1, 1, labels, names, types, false), 1, false,
         "TypeCode cannot be encoded: missing members.", unusable},
        {"sequence without content", TypeCode(tk_sequence, 0u, nullptr, false), 0, false, missing, unusable},
        {"array without content: both fields clear", TypeCode(tk_array, 4u, nullptr, false), 0, false, missing,
         ""},
        {"array of length 0: both fields clear", TypeCode(tk_array, 0u, wq_tc_long(), false), 0, false, missing,
         ""},
        {"sequence by its kind alone", TypeCode(tk_sequence, false), 0, false, missing, unusable},
        {"union with default out of range",
         TypeCode(tk_union, "IDL:U:1.0", "U", wq_tc_long(), 1, 1, labels, names, types, false), 1, false, "",
         "Union TypeCode has default out of range."},
        {"union with a discriminator without labels",
         TypeCode(tk_union, "IDL:U:1.0", "U", wq_tc_string(), -1, 1, labels, names, types, false), 1, false,
         bad_disc, ""},
        {"struct member without type", TypeCode(tk_struct, "IDL:S:1.0", "S", 1, names, none, false), 1, false,
         missing, unusable},
        {"except without types", TypeCode(tk_except, "IDL:E:1.0", "E", 1, names, nullptr, false), 1, false,
         missing, unusable},
        {"union member without type",
         TypeCode(tk_union, "IDL:U:1.0", "U", wq_tc_long(), -1, 1, labels, names, none, false), 1, false, missing,
         unusable},
        {"alias without content", TypeCode(tk_alias, "IDL:A:1.0", "A", nullptr, false), 0, false, missing,
         unusable},
        {"enum: no member types", TypeCode(tk_enum, "IDL:N:1.0", "N", 1, names, false), 1, false, "", ""},
    };
    for (Row &r : rows) {
        SCOPED_TRACE(r.what);
        PrivEnv e;
        if (r.count)
            EXPECT_EQ(r.tc.member_count(e.w), r.count);
        TypeCode *content = r.tc.content_type(e.w);
        EXPECT_EQ(content != nullptr, r.has_content);
        release(content);
        e.w.clear();
        Stream w(e.w);
        w << r.tc;
        EXPECT_STREQ(e.text(), r.write);
        e.w.clear();
        // The value copy of a zero label (with room for any member).
        Stream in(e.w), out(e.w);
        fill(in, B(16, 0));
        int last = 0;
        r.tc.marshal(in, out, false, last);
        EXPECT_EQ(take_thread_marshal(), r.copy);
        EXPECT_EQ(*r.copy != 0, in.pending());
    }
    // The two-phase forms keep what they were given, and refuse where used.
    for (TypeCode *t : {&ps, &pu, &two}) {
        PrivEnv e;
        Stream w(e.w);
        w << *t;
        EXPECT_STREQ(e.text(), t == &pu ? bad_disc : missing);
    }
}

namespace {

// A { sequence< S2 { sequence<A> m; } > m; }: a cycle of two structs.
TypeCode *make_two_level_cycle()
{
    char const *n[] = {"m"};
    TypeCode *a = new TypeCode(tk_struct, "IDL:A:1.0", nullptr);
    TypeCode *sa = new TypeCode(tk_sequence, nullptr, a);
    TypeCode *s2 = new TypeCode(tk_struct, "IDL:S2:1.0", sa);
    TypeCode *ss2 = new TypeCode(tk_sequence, nullptr, s2);
    ss2->init(0, a);
    TypeCode *t2[] = {ss2};
    s2->init("S2", 1, n, t2);
    sa->init(0, s2);
    TypeCode *ta[] = {sa};
    a->init("A", 1, n, ta);
    return a;
}

// B { sequence< C { sequence< D { sequence<C, inner_bound> m; } > m; } > m; }:
// after one level, a cycle of two structs entered one level lower.
TypeCode *make_offset_cycle(unsigned inner_bound)
{
    char const *n[] = {"m"};
    TypeCode *b = new TypeCode(tk_struct, "IDL:B:1.0", nullptr);
    TypeCode *sb = new TypeCode(tk_sequence, nullptr, b);
    TypeCode *c = new TypeCode(tk_struct, "IDL:C:1.0", sb);
    TypeCode *sc = new TypeCode(tk_sequence, nullptr, c);
    TypeCode *d = new TypeCode(tk_struct, "IDL:D:1.0", sc);
    TypeCode *sd = new TypeCode(tk_sequence, nullptr, d);
    sd->init(inner_bound, c);
    TypeCode *td[] = {sd};
    d->init("D", 1, n, td);
    sc->init(0, d);
    TypeCode *tc[] = {sc};
    c->init("C", 1, n, tc);
    sb->init(0, c);
    TypeCode *tb[] = {sb};
    b->init("B", 1, n, tb);
    return b;
}

} // namespace

TEST(OrbCdrTypeCode, RecursiveTypesWhoseBackReferencesNeverMeetCompare)
{
    // Unrolled, both are struct{sequence<struct{sequence<...>}>} forever, but
    // their back-references fall on alternate levels, so the comparison never
    // meets two at once. It must still end, with the right answer, also for
    // TypeCodes read from the wire.
    TypeCode *a = make_two_level_cycle();
    TypeCode *b = make_offset_cycle(0);
    TypeCode *b5 = make_offset_cycle(5);
    PrivEnv e;
    TypeCode *ra = decode(encode(*a), e);
    TypeCode *rb = decode(encode(*b), e);
    TypeCode *rb5 = decode(encode(*b5), e);
    ASSERT_NE(ra, nullptr) << e.text();
    ASSERT_NE(rb, nullptr) << e.text();
    ASSERT_NE(rb5, nullptr) << e.text();
    EXPECT_TRUE(ra->equivalent(rb));
    EXPECT_TRUE(rb->equivalent(ra));
    EXPECT_TRUE(a->equivalent(b));
    // A difference deep inside the cycle is still found.
    EXPECT_FALSE(ra->equivalent(rb5));
    EXPECT_FALSE(rb5->equivalent(ra));
    EXPECT_FALSE(rb->equivalent(rb5));
    for (TypeCode *t : {a, b, b5, ra, rb, rb5})
        release(t);
}

TEST(OrbCdrTypeCode, PruneLeavesStaticNames)
{
    static char const *snames[] = {"sa"};
    static TypeCode *stypes[] = {wq_tc_long()};
    static TypeCode st(tk_struct, "IDL:St:1.0", "St", 1, snames, stypes, true);
    char const *names[] = {"inner"};
    TypeCode *types[] = {&st};
    TypeCode outer(tk_struct, "IDL:O:1.0", "O", 1, names, types, false);
    TypeCode *c = outer.get_compact_typecode();
    EXPECT_EQ(c->name(), nullptr);
    EXPECT_STREQ(st.name(), "St");
    EXPECT_STREQ(st.member_name(0), "sa");
    EXPECT_EQ(st.get_compact_typecode(), &st);
    EXPECT_STREQ(st.name(), "St");
    release(c);
    release(&st);
    EXPECT_STREQ(st.id(), "IDL:St:1.0");
}

TEST(OrbCdrTypeCode, ReaderChecks)
{
    struct Case {
        const char *what;
        B bytes;
        const char *text;
    };
    const Case cases[] = {
        {"indirection at top level", {0xFF, 0xFF, 0xFF, 0xFF, 0xF8, 0xFF, 0xFF, 0xFF}, "illegal TCKind recursion"},
        {"kind 25", {25, 0, 0, 0}, "illegal TCKind value (25) in typecode"},
        {"kind 99", {99, 0, 0, 0}, "illegal TCKind value (99) in typecode"},
        // struct whose member is an indirection straight to the struct.
        {"recursion not through a sequence",
         {0x0F, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
          1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xD4, 0xFF, 0xFF, 0xFF},
         "illegal TCKind recursion"},
        // union switch(long) with default index 1 of 1 member.
        {"default index out of range",
         {0x10, 0, 0, 0, 48, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
          3, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0},
         "Union TypeCode has default out of range."},
        {"union with a string discriminator",
         {0x10, 0, 0, 0, 28, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
          18, 0, 0, 0, 0, 0, 0, 0},
         "Union TypeCode discriminate is invalid."},
        {"array of length 0",
         {0x14, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}, "array TypeCode of length 0"},
        {"encapsulation longer than the message", {0x13, 0, 0, 0, 0x40, 0, 0, 0, 1, 0, 0, 0},
         "read exceeded message size"},
        {"member count that cannot fit",
         {0x0F, 0, 0, 0, 24, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
          0xFF, 0xFF, 0, 0},
         "read exceeded message size"},
    };
    for (const auto &c : cases) {
        PrivEnv e;
        TypeCode *r = decode(c.bytes, e);
        // A record begun is returned as far as it was read; a kind that is
        // refused at once gives none.
        uint32_t kind = c.bytes[0] | c.bytes[1] << 8;
        if (kind >= tk_objref && kind <= tk_except) {
            ASSERT_NE(r, nullptr) << c.what;
            EXPECT_EQ(r->kind(), static_cast<TCKind>(kind)) << c.what;
            release(r);
        } else {
            EXPECT_EQ(r, nullptr) << c.what;
        }
        EXPECT_TRUE(e.is_marshal()) << c.what;
        EXPECT_EQ(e.minor(), 0x51570101u) << c.what;
        EXPECT_STREQ(e.text(), c.text) << c.what;
    }
}

TEST(OrbCdrTypeCode, NestingDepthIsBounded)
{
    TypeCode *t = wq_tc_long();
    for (int i = 0; i < 70; ++i) {
        TypeCode *n = new TypeCode(tk_sequence, 0u, t, false);
        release(t);
        t = n;
    }
    B bytes = encode(*t);
    release(t);
    PrivEnv e;
    TypeCode *partial = decode(bytes, e);
    EXPECT_STREQ(e.text(), "TypeCode nested too deeply.");
    ASSERT_NE(partial, nullptr); // the sequences read so far, the innermost without content
    release(partial);
}

TEST(OrbCdrTypeCode, TrailingEncapsulationBytesSkipped)
{
    // sequence<long> whose encapsulation holds 4 extra bytes, then an octet.
    B bytes = {0x13, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 9, 9, 9, 9, 0x77};
    PrivEnv e;
    Stream s(e.w);
    fill(s, bytes);
    TypeCode *r = nullptr;
    s >> r;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->length(), 5u);
    EXPECT_EQ(s.read_octet(), 0x77);
    release(r);
}

TEST(OrbCdrTypeCode, ValueCopy)
{
    // struct { short s; double d; string str; sequence<long> l; boolean b;
    //          union switch(long) { case 1: char c; case 2: ulonglong u; } un; any a; }
    int labels[] = {1, 2};
    char const *un[] = {"c", "u"};
    TypeCode *ut[] = {wq_tc_char(), wq_tc_ulonglong()};
    TypeCode uni(tk_union, "IDL:U:1.0", "U", wq_tc_long(), -1, 2, labels, un, ut, false);
    TypeCode seql(tk_sequence, 0u, wq_tc_long(), false);
    char const *names[] = {"s", "d", "str", "l", "b", "un", "a"};
    TypeCode *types[] = {wq_tc_short(), wq_tc_double(), wq_tc_string(), &seql,
                         wq_tc_boolean(), &uni, wq_tc_any()};
    TypeCode st(tk_struct, "IDL:V:1.0", "V", 7, names, types, false);

    PrivEnv e;
    Stream in(e.w);
    in << static_cast<short>(-5) << 2.5 << Stream::from_string("text") << 3u << 10 << 20 << 30
       << static_cast<unsigned char>(7) << 2 << 0x1122334455667788ULL;
    in << *wq_tc_ushort() << static_cast<unsigned short>(0xBEEF);
    B native = written(in);

    // Copied into a big-endian output, then back: the bytes return.
    Stream out(e.w);
    int last = 0;
    {
        BigEndianWrites be;
        st.marshal(out, in, true, last);
    }
    EXPECT_FALSE(e.pending()) << e.text();
    EXPECT_EQ(in.bytes_remaining(), 0u);
    out.byte_order(0);
    Stream back(e.w);
    st.marshal(out, back, false, last);
    EXPECT_FALSE(e.pending()) << e.text();
    B round = written(back);
    native[44] = 1; // booleans copy as 0 or 1
    EXPECT_EQ(round, native);
}

TEST(OrbCdrTypeCode, ValueCopyRejectsHostileCounts)
{
    TypeCode seql(tk_sequence, 0u, wq_tc_long(), false);
    PrivEnv e;
    Stream in(e.w), out(e.w);
    fill(in, {0xFF, 0xFF, 0xFF, 0x0F, 1, 2, 3, 4});
    int last = 0;
    seql.marshal(in, out, false, last);
    EXPECT_TRUE(e.is_marshal());
    EXPECT_EQ(out.size_written(), 0u);

    // A sequence of an empty struct: any count copies without looping.
    TypeCode empty(tk_struct, "IDL:E:1.0", "E", 0u, nullptr, nullptr, false);
    TypeCode seqe(tk_sequence, 0u, &empty, false);
    PrivEnv e2;
    Stream in2(e2.w), out2(e2.w);
    fill(in2, {0xFF, 0xFF, 0xFF, 0xFF});
    seqe.marshal(in2, out2, false, last);
    EXPECT_FALSE(e2.pending());
    EXPECT_EQ(out2.size_written(), 4u);

    // A kind without a value encoding is refused.
    TypeCode ld(tk_longdouble, false);
    PrivEnv e3;
    Stream in3(e3.w), out3(e3.w);
    fill(in3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    ld.marshal(in3, out3, false, last);
    EXPECT_EQ(take_thread_marshal(), "illegal TCKind value (25) in typecode");
    EXPECT_TRUE(in3.pending() && out3.pending());

    // Elements of such a kind in a sequence or an array are refused as well,
    // not passed over as if they held no data.
    TypeCode seqw(tk_sequence, 0u, wq_tc_wchar(), false);
    PrivEnv e4;
    Stream in4(e4.w), out4(e4.w);
    fill(in4, {2, 0, 0, 0, 0x41, 0, 0x42, 0});
    seqw.marshal(in4, out4, false, last);
    EXPECT_EQ(take_thread_marshal(), "illegal TCKind value (26) in typecode");
    TypeCode arrw(tk_array, 3u, wq_tc_wstring(), false);
    PrivEnv e5;
    Stream in5(e5.w), out5(e5.w);
    fill(in5, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
    arrw.marshal(in5, out5, false, last);
    EXPECT_EQ(take_thread_marshal(), "illegal TCKind value (27) in typecode");
}

TEST(OrbCdrTypeCode, UnionValueCopyBranches)
{
    // union switch (short) { case 1: long a; default: octet d; case 3: double c; }
    int labels[] = {1, 0, 3};
    char const *names[] = {"a", "d", "c"};
    TypeCode *types[] = {wq_tc_long(), wq_tc_octet(), wq_tc_double()};
    TypeCode u(tk_union, "IDL:U:1.0", "U", wq_tc_short(), 1, 3, labels, names, types, false);
    struct Case {
        B in;
        B out;
    };
    const Case cases[] = {
        {{1, 0, 0, 0, 7, 0, 0, 0}, {1, 0, 0, 0, 7, 0, 0, 0}},                  // case 1
        {{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
         {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},              // case 3
        {{0, 0, 9}, {0, 0, 9}},    // label 0 is not a case: the default member
        {{9, 0, 8}, {9, 0, 8}},    // no case: the default member
    };
    for (const auto &c : cases) {
        PrivEnv e;
        Stream in(e.w), out(e.w);
        fill(in, c.in);
        int last = -1;
        u.marshal(in, out, false, last);
        EXPECT_FALSE(e.pending()) << e.text();
        EXPECT_EQ(written(out), c.out);
    }
    // Without a default, an unmatched discriminator copies nothing more.
    int l2[] = {1};
    char const *n2[] = {"a"};
    TypeCode *t2[] = {wq_tc_long()};
    TypeCode nd(tk_union, "IDL:N:1.0", "N", wq_tc_long(), -1, 1, l2, n2, t2, false);
    PrivEnv e;
    Stream in(e.w), out(e.w);
    fill(in, {5, 0, 0, 0, 1, 2, 3, 4});
    int last = 0;
    nd.marshal(in, out, false, last);
    EXPECT_EQ(written(out), (B{5, 0, 0, 0}));
    EXPECT_EQ(in.bytes_remaining(), 4u);
}

TEST(OrbCdrTypeCode, UnionLabelsKeptAsTheWireCarriesThem)
{
    // union switch (char) { case '\xE9': long a; default: octet d; } with the
    // label given as a (negative) char, and a short label beyond 16 bits.
    int labels[] = {static_cast<char>(0xE9), 0};
    char const *names[] = {"a", "d"};
    TypeCode *types[] = {wq_tc_long(), wq_tc_octet()};
    TypeCode u(tk_union, "IDL:C:1.0", "C", wq_tc_char(), 1, 2, labels, names, types, false);
    PrivEnv e;
    Stream in(e.w), out(e.w);
    fill(in, {0xE9, 0, 0, 0, 7, 0, 0, 0});
    int last = 0;
    u.marshal(in, out, false, last);
    EXPECT_FALSE(e.pending());
    EXPECT_EQ(written(out), (B{0xE9, 0, 0, 0, 7, 0, 0, 0})); // member a, not the default

    // What is written reads back as an equivalent TypeCode.
    PrivEnv e2;
    TypeCode *back = decode(encode(u), e2);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(u.equivalent(back, e2.w));
    release(back);

    int sl[] = {0x12345, 1};
    TypeCode s(tk_union, "IDL:S:1.0", "S", wq_tc_short(), -1, 2, sl, names, types, false);
    PrivEnv e3;
    back = decode(encode(s), e3);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(s.equivalent(back, e3.w));
    release(back);
    Stream in4(e3.w), out4(e3.w);
    fill(in4, {0x45, 0x23, 0, 0, 9, 0, 0, 0});
    s.marshal(in4, out4, false, last);
    EXPECT_EQ(written(out4), (B{0x45, 0x23, 0, 0, 9, 0, 0, 0}));
}

TEST(OrbCdrTypeCode, ExceptRoundTripAndLookup)
{
    char const *names[] = {"code", "why"};
    TypeCode *types[] = {wq_tc_long(), wq_tc_string()};
    TypeCode ex(tk_except, "IDL:M/Failed:1.0", "Failed", 2, names, types, false);
    B b = encode(ex);
    PrivEnv e;
    TypeCode *r = decode(b, e);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->kind(), tk_except);
    EXPECT_STREQ(r->name(), "Failed");
    EXPECT_STREQ(r->member_name(1), "why");
    EXPECT_TRUE(r->equivalent(&ex));
    EXPECT_EQ(encode(*r), b);
    release(r);

    TypeCode *s = make_recursive_struct();
    // The sequence inside S finds S by id.
    PrivEnv e2;
    Stream st(e2.w);
    st << *s;
    TypeCode *rs = nullptr;
    st >> rs;
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(TypeCode::lookup(rs, "IDL:S:1.0"), rs);
    EXPECT_EQ(TypeCode::lookup(rs, "IDL:T:1.0"), nullptr);
    release(rs);
    release(s);
}

TEST(OrbCdrTypeCode, AnyCopyAndAssign)
{
    Any a;
    EXPECT_EQ(a.wq_type()->kind(), tk_null);
    a <<= 42;
    Any b(a);
    int v = 0;
    EXPECT_TRUE(b >>= v);
    EXPECT_EQ(v, 42);
    short sv = 0;
    EXPECT_FALSE(b >>= sv);
    Any c;
    c <<= static_cast<unsigned long long>(7);
    c = b;
    EXPECT_TRUE(c >>= v);
    EXPECT_EQ(v, 42);
    c <<= Any::from_char('k');
    char ch = 0;
    EXPECT_TRUE(c >>= Any::to_char(ch));
    EXPECT_EQ(ch, 'k');
}

TEST(OrbCdrTypeCode, ReadingStopsWhilePending)
{
    PrivEnv e;
    Stream s(e.w);
    s << TypeCode(tk_sequence, 0u, wq_tc_long(), false);
    e.w.exception(new CORBA::BAD_PARAM(1, CORBA::COMPLETED_NO, nullptr));
    TypeCode *r = reinterpret_cast<TypeCode *>(1);
    s >> r;
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(s.read_offset(), 0u);
}

TEST(OrbCdrTypeCode, ErrorInsideAnEncapsulationFailsTheOuterStream)
{
    // sequence whose content is kind 99, then a ulong that must stay unread
    // even after the environment is cleared.
    const B bytes = {0x13, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 99, 0, 0, 0, 7, 0, 0, 0};
    PrivEnv e;
    Stream s(e.w);
    fill(s, bytes);
    TypeCode *tc = nullptr;
    s >> tc;
    // The sequence is returned as far as it was read: no content.
    ASSERT_NE(tc, nullptr);
    EXPECT_EQ(tc->kind(), tk_sequence);
    EXPECT_EQ(tc->content_type(e.w), nullptr);
    release(tc);
    EXPECT_STREQ(e.text(), "illegal TCKind value (99) in typecode");
    e.w.clear();
    EXPECT_TRUE(s.pending());
    uint32_t v = 0xABCD;
    s.read_4(&v);
    EXPECT_EQ(v, 0xABCDu);
}
