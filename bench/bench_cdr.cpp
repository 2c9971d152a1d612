// CDR throughput: marshal and unmarshal of octet sequences (64 KiB, 1 MiB),
// of a struct of 1000 mixed primitives and of an array of 100 structs of ten
// mixed members, each against memcpy of the same bytes.
//
// Each figure alternates repeats of the operation and of its memcpy baseline
// (at least 0.5 s each) and keeps the best of five of each, so that both see
// the same machine state. Throughput in MB/s; ratio = operation time over
// memcpy time (how many times slower than memcpy).
#include "bench_util.h"
#include "corba_env.h"
#include "corba_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using bench::Clock;

constexpr double kRepeatSeconds = 0.5;
constexpr int kRepeats = 5;

volatile unsigned char g_sink;

// Seconds taken by n calls of fn.
template <class F> double run(F &fn, long n)
{
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i)
        fn();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Calls of fn that fill one repeat.
template <class F> long calls_per_repeat(F &fn)
{
    long n = 1;
    double t = run(fn, n);
    while (t < 0.02) {
        n *= 4;
        t = run(fn, n);
    }
    return std::max(1L, static_cast<long>(n * kRepeatSeconds / t) + 1);
}

// Best seconds per call of the operation and of the baseline, their repeats
// interleaved.
template <class Op, class Base> std::pair<double, double> measure(Op &op, Base &base)
{
    long no = calls_per_repeat(op), nb = calls_per_repeat(base);
    double bo = 1e30, bb = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        bo = std::min(bo, run(op, no) / no);
        bb = std::min(bb, run(base, nb) / nb);
    }
    return {bo, bb};
}

template <class Op, class Base> void figure(const char *name, size_t bytes, Op &op, Base &base)
{
    auto [t, tb] = measure(op, base);
    double mbs = bytes / t / 1e6;
    double base_mbs = bytes / tb / 1e6;
    bench::figure(name, mbs, "MB/s", base_mbs, t / tb, {1, 1, 3});
}

// Source and destination of the baseline copy. The destination sits 1 KiB
// into its buffer so that the two never share their low address bits (4 KiB
// aliasing would slow the baseline down, not the stream).
struct CopyBuffers {
    explicit CopyBuffers(size_t n) : src(n + 8), dst_buf(n + 8 + 1024), bytes(n)
    {
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<unsigned char>(i * 7);
    }
    void operator()()
    {
        std::memcpy(dst_buf.data() + 1024, src.data(), bytes);
        g_sink = dst_buf[1024 + bytes / 2];
    }
    std::vector<unsigned char> src, dst_buf;
    size_t bytes;
};

// A buffer of n bytes placed 1 KiB past `other` modulo 4 KiB, as the
// baseline's buffers are.
struct Placed {
    Placed(size_t n, const unsigned char *other) : buf(n + 4096)
    {
        uintptr_t want = (reinterpret_cast<uintptr_t>(other) + 1024) & 4095;
        uintptr_t have = reinterpret_cast<uintptr_t>(buf.data()) & 4095;
        p = buf.data() + ((want - have) & 4095);
    }
    std::vector<unsigned char> buf;
    unsigned char *p;
};

void octet_sequence(size_t n, const char *mname, const char *uname)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CopyBuffers copy(n + 4); // count and octets
    CORBA::Stream out(env);
    // The octets go to the head block behind the count.
    Placed src(n, out.head()->data + 4), dst(n, out.head()->data + 4);
    for (size_t i = 0; i < n; ++i)
        src.p[i] = static_cast<unsigned char>(i * 7);

    auto marshal = [&] {
        out.reclaim();
        out << static_cast<unsigned int>(n);
        out.write_array_1(src.p, static_cast<uint32_t>(n));
    };
    figure(mname, n + 4, marshal, copy);

    marshal();
    auto unmarshal = [&] {
        CORBA::Stream in(out, env, true);
        uint32_t len = 0;
        if (in.read_count(len, 1))
            in.read_array_1(dst.p, len);
        g_sink = dst.p[n / 2];
    };
    figure(uname, n + 4, unmarshal, copy);
    if (env.pending() || std::memcmp(dst.p, src.p, n) != 0)
        std::printf("error: octet sequence did not round-trip\n");
}

// A struct of 1000 members cycling through short, long, double, octet,
// unsigned long long, float, boolean and unsigned short.
struct Mixed {
    short s[125];
    int l[125];
    double d[125];
    unsigned char o[125];
    unsigned long long u[125];
    float f[125];
    bool b[125];
    unsigned short w[125];
};

void write_mixed(CORBA::Stream &s, const Mixed &m)
{
    for (int i = 0; i < 125; ++i) {
        s << m.s[i] << m.l[i] << m.d[i] << m.o[i] << m.u[i] << m.f[i]
          << CORBA::Stream::from_boolean(m.b[i]) << m.w[i];
    }
}

void read_mixed(CORBA::Stream &s, Mixed &m)
{
    for (int i = 0; i < 125; ++i) {
        s.read_2(&m.s[i]);
        s.read_4(&m.l[i]);
        s.read_8(&m.d[i]);
        m.o[i] = s.read_octet();
        s.read_8(&m.u[i]);
        s.read_4(&m.f[i]);
        m.b[i] = s.read_octet() != 0;
        s.read_2(&m.w[i]);
    }
}

// The array of structs: {octet, short, long, long long, double, boolean,
// unsigned short, unsigned long, float, char} x 100 (3997 bytes).
struct Rec {
    unsigned char o;
    short s;
    int l;
    long long ll;
    double d;
    bool b;
    unsigned short us;
    unsigned int ul;
    float f;
    char c;
};

void write_recs(CORBA::Stream &s, const Rec *r, int n)
{
    for (int i = 0; i < n; ++i) {
        s << r[i].o << r[i].s << r[i].l << r[i].ll << r[i].d << CORBA::Stream::from_boolean(r[i].b)
          << r[i].us << r[i].ul << r[i].f << CORBA::Stream::from_char(r[i].c);
    }
}

void read_recs(CORBA::Stream &s, Rec *r, int n)
{
    for (int i = 0; i < n; ++i) {
        r[i].o = s.read_octet();
        s.read_2(&r[i].s);
        s.read_4(&r[i].l);
        s.read_8(&r[i].ll);
        s.read_8(&r[i].d);
        r[i].b = s.read_octet() != 0;
        s.read_2(&r[i].us);
        s.read_4(&r[i].ul);
        s.read_4(&r[i].f);
        r[i].c = static_cast<char>(s.read_octet());
    }
}

// Marshal and unmarshal figures of one pattern: `write` fills a stream,
// `read` empties a view of it.
template <class W, class R>
void pattern(const char *mname, const char *uname, W write, R read)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Stream out(env);
    write(out);
    const size_t bytes = out.size_written();
    CopyBuffers copy(bytes);
    auto marshal = [&] {
        out.reclaim();
        write(out);
    };
    figure(mname, bytes, marshal, copy);
    auto unmarshal = [&] {
        CORBA::Stream in(out, env, true);
        read(in);
    };
    figure(uname, bytes, unmarshal, copy);
    if (env.pending())
        std::printf("error: stream failed\n");
}

void mixed_struct()
{
    static Mixed m{}, r{};
    for (int i = 0; i < 125; ++i) {
        m.s[i] = static_cast<short>(i);
        m.l[i] = i * 1000;
        m.d[i] = i * 0.5;
        m.o[i] = static_cast<unsigned char>(i);
        m.u[i] = 0x100000000ULL * i;
        m.f[i] = i * 0.25f;
        m.b[i] = i & 1;
        m.w[i] = static_cast<unsigned short>(i * 3);
    }
    pattern("cdr_marshal_struct_1000_mixed", "cdr_unmarshal_struct_1000_mixed",
            [](CORBA::Stream &s) { write_mixed(s, m); },
            [](CORBA::Stream &s) {
                read_mixed(s, r);
                g_sink = r.o[7];
            });
    if (std::memcmp(r.l, m.l, sizeof m.l) != 0 || std::memcmp(r.u, m.u, sizeof m.u) != 0)
        std::printf("error: struct did not round-trip\n");
}

void array_of_structs()
{
    static Rec m[100], r[100];
    for (int i = 0; i < 100; ++i)
        m[i] = Rec{static_cast<unsigned char>(i), static_cast<short>(-i), i * 1000, i * 100000000LL,
                   i * 0.5, (i & 1) != 0, static_cast<unsigned short>(i * 3),
                   static_cast<unsigned int>(i * 7), i * 0.25f, static_cast<char>('a' + i % 26)};
    pattern("cdr_marshal_struct_array_100x10", "cdr_unmarshal_struct_array_100x10",
            [](CORBA::Stream &s) { write_recs(s, m, 100); },
            [](CORBA::Stream &s) {
                read_recs(s, r, 100);
                g_sink = r[7].o;
            });
    for (int i = 0; i < 100; ++i)
        if (r[i].ll != m[i].ll || r[i].d != m[i].d || r[i].c != m[i].c || r[i].ul != m[i].ul)
            std::printf("error: array of structs did not round-trip\n");
}

} // namespace

int main()
{
    octet_sequence(64 * 1024, "cdr_marshal_octet_seq_64KiB", "cdr_unmarshal_octet_seq_64KiB");
    octet_sequence(1024 * 1024, "cdr_marshal_octet_seq_1MiB", "cdr_unmarshal_octet_seq_1MiB");
    mixed_struct();
    array_of_structs();
    return 0;
}
