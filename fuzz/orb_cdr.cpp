// Fuzz target for CDR reading: TypeCodes (read, written back and read again),
// value copies driven by a TypeCode read from the input, strings, counted
// arrays and exceptions.
//
// Input: one control byte (bits 0-1: mode: TypeCode, value copy, items, two
// TypeCodes compared; bit 2: data in swapped byte order), then the stream's
// bytes.
#include "corba_env.h"
#include "corba_except.h"
#include "corba_stream.h"
#include "corba_typecode.h"

#include "fuzz_orb.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Env = FuzzEnv;
constexpr auto check = fuzz_check;

void fuzz_typecode(CORBA::Stream &s)
{
    CORBA::TypeCode *tc = nullptr;
    s >> tc;
    if (!tc) {
        check(s.pending());
        return;
    }
    // What was read writes again and reads back as an equivalent TypeCode
    // (a record read only in part, when the read failed, writes again but
    // need not read back the same).
    Env e2;
    CORBA::Stream out(e2.w);
    out << *tc;
    if (!out.pending()) {
        CORBA::TypeCode *again = nullptr;
        out >> again;
        check(again != nullptr);
        check(s.pending() || tc->equivalent(again, e2.w));
        CORBA::release(again);
    }
    // Members and contents copy out with their recursion kept.
    CORBA::TCKind k = tc->kind();
    if (k == CORBA::tk_struct || k == CORBA::tk_union || k == CORBA::tk_except) {
        unsigned n = tc->member_count(e2.w);
        for (unsigned i = 0; i < n && i < 8; ++i) {
            CORBA::TypeCode *m = tc->member_type(i, e2.w);
            if (m) {
                Env e3;
                CORBA::Stream ms(e3.w);
                ms << *m;
                if (!ms.pending()) {
                    CORBA::TypeCode *again = nullptr;
                    ms >> again;
                    check(again != nullptr && m->equivalent(again, e3.w));
                    CORBA::release(again);
                }
            }
            CORBA::release(m);
        }
    }
    if (k == CORBA::tk_sequence || k == CORBA::tk_array || k == CORBA::tk_alias) {
        CORBA::TypeCode *c = tc->content_type(e2.w);
        CORBA::release(c);
    }
    e2.w.clear();
    CORBA::TypeCode *copy = tc->deep_copy(nullptr);
    CORBA::TypeCode *compact = copy->get_compact_typecode(e2.w);
    CORBA::release(compact);
    CORBA::release(copy);
    CORBA::release(tc);
}

// Two TypeCodes compared both ways: the comparison must end, and agree.
void fuzz_compare(CORBA::Stream &s)
{
    CORBA::TypeCode *a = nullptr, *b = nullptr;
    s >> a;
    s >> b;
    if (a && b) {
        Env e2;
        bool ab = a->equivalent(b, e2.w);
        bool ba = b->equivalent(a, e2.w);
        (void)ab;
        (void)ba;
        CORBA::TypeCode *c = a->deep_copy(nullptr);
        check(a->equivalent(c, e2.w) && c->equivalent(a, e2.w));
        CORBA::release(c);
    }
    CORBA::release(a);
    CORBA::release(b);
}

void fuzz_value(CORBA::Stream &s)
{
    CORBA::TypeCode *tc = nullptr;
    s >> tc;
    if (!tc)
        return;
    Env e2;
    CORBA::Stream out(e2.w);
    int last = 0;
    tc->marshal(out, s, true, last);
    if (!out.pending() && !s.pending()) {
        // A value copied without error copies again to the same bytes: no
        // element is passed over while its count is kept.
        Env e3;
        CORBA::Stream again(e3.w);
        tc->marshal(again, out, true, last);
        check(!again.pending() && !out.pending());
        check(out.bytes_remaining() == 0);
        uint32_t n = again.size_written();
        check(n == out.size_written());
        std::vector<unsigned char> a(n), b(n);
        CORBA::Stream va(again, e3.w, true), vb(out, e3.w, true);
        va.read_array_1(a.data(), n);
        vb.read_array_1(b.data(), n);
        check(a == b);
    }
    CORBA::release(tc);
    // A refused value copy raises into the thread's environment: the next
    // input starts without it.
    CORBA::EnvironmentInfo::_current()->clear();
}

void fuzz_items(CORBA::Stream &s)
{
    for (int i = 0; i < 64 && !s.pending(); ++i) {
        switch (s.read_octet() % 6) {
        case 0: {
            char *p = nullptr;
            s >> CORBA::Stream::to_string(p, i % 3 == 0 ? 5 : 0);
            if (p)
                check(std::strlen(p) < (1u << 24));
            CORBA::string_free(p);
            break;
        }
        case 1: {
            CORBA::String_var v;
            s >> v;
            break;
        }
        case 2: {
            uint32_t n = 0;
            if (s.read_count(n, 4)) {
                std::vector<uint32_t> v(n);
                s.read_array_4(v.data(), n);
            }
            break;
        }
        case 3: {
            uint64_t v;
            s.read_8(&v);
            uint16_t w;
            s.read_2(&w);
            break;
        }
        case 4: {
            CORBA::Exception *x = nullptr;
            s >> x;
            delete x;
            break;
        }
        default: {
            uint32_t n = 0;
            s.read_4(&n);
            s.skip_read(n);
            break;
        }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    Env e;
    CORBA::Stream s(e.w);
    s.write_array_1(data + 1, static_cast<uint32_t>(size - 1));
    s.byte_order((data[0] & 4) ? 0 : 1);
    switch (data[0] & 3) {
    case 0:
        fuzz_typecode(s);
        break;
    case 1:
        fuzz_value(s);
        break;
    case 2:
        fuzz_items(s);
        break;
    default:
        fuzz_compare(s);
        break;
    }
    return 0;
}
