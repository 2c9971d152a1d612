// CDR throughput: marshal and unmarshal of octet sequences (64 KiB, 1 MiB)
// and of a struct of 1000 mixed primitives, each against memcpy of the same
// bytes in the same run. Throughput in MB/s; ratio = baseline / value (how
// many times slower than memcpy).
#include "bench_util.h"
#include "corba_env.h"
#include "corba_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using bench::Clock;

// Best time of several rounds of `iters` calls, in seconds per call.
double best_time(const std::function<void()> &fn, int iters)
{
    double best = 1e30;
    for (int round = 0; round < 7; ++round) {
        auto t0 = Clock::now();
        for (int i = 0; i < iters; ++i)
            fn();
        double s = std::chrono::duration<double>(Clock::now() - t0).count() / iters;
        best = std::min(best, s);
    }
    return best;
}

int iterations_for(size_t bytes)
{
    size_t target = size_t(256) << 20; // about 256 MB per round
    size_t n = target / (bytes ? bytes : 1);
    return static_cast<int>(std::clamp<size_t>(n, 10, 200000));
}

void figure(const char *name, size_t bytes, double t, double tbase)
{
    double mbs = bytes / t / 1e6;
    double base = bytes / tbase / 1e6;
    bench::figure(name, mbs, "MB/s", base, base / mbs, {1, 1, 3});
}

volatile unsigned char g_sink;

void octet_sequence(size_t n, const char *mname, const char *uname)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    // The baseline copies the encoded bytes (count and octets) as one block.
    // The destination sits 1 KiB into its buffer so that source and
    // destination never share their low address bits (4 KiB aliasing would
    // slow the baseline down, not the stream).
    std::vector<unsigned char> src(n + 8), dst_buf(n + 8 + 1024);
    unsigned char *dst = dst_buf.data() + 1024;
    for (size_t i = 0; i < n + 8; ++i)
        src[i] = static_cast<unsigned char>(i * 7);
    const int iters = iterations_for(n);

    CORBA::Stream out(env);
    auto marshal = [&] {
        out.reclaim();
        out << static_cast<unsigned int>(n);
        out.write_array_1(src.data(), static_cast<uint32_t>(n));
    };
    auto copy_in = [&] {
        std::memcpy(dst, src.data(), n + 4);
        g_sink = dst[n / 2];
    };
    double tm = best_time(marshal, iters);
    double tb = best_time(copy_in, iters);
    figure(mname, n + 4, tm, tb);

    marshal();
    auto unmarshal = [&] {
        CORBA::Stream in(out, env, true);
        uint32_t len = 0;
        if (in.read_count(len, 1))
            in.read_array_1(dst, len);
        g_sink = dst[n / 2];
    };
    auto copy_out = [&] {
        std::memcpy(dst, src.data(), n + 4);
        g_sink = dst[n / 2];
    };
    double tu = best_time(unmarshal, iters);
    double tb2 = best_time(copy_out, iters);
    figure(uname, n + 4, tu, tb2);
    if (env.pending())
        std::printf("error: stream failed\n");
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

void mixed_struct()
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    Mixed m{}, r{};
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
    CORBA::Stream out(env);
    write_mixed(out, m);
    const size_t bytes = out.size_written();
    std::vector<unsigned char> src(bytes), dst(bytes);
    const int iters = iterations_for(bytes) / 4;

    auto marshal = [&] {
        out.reclaim();
        write_mixed(out, m);
    };
    auto copy = [&] {
        std::memcpy(dst.data(), src.data(), bytes);
        g_sink = dst[bytes / 2];
    };
    double tm = best_time(marshal, iters);
    double tb = best_time(copy, iters);
    figure("cdr_marshal_struct_1000_mixed", bytes, tm, tb);

    auto unmarshal = [&] {
        CORBA::Stream in(out, env, true);
        read_mixed(in, r);
        g_sink = r.o[7];
    };
    double tu = best_time(unmarshal, iters);
    figure("cdr_unmarshal_struct_1000_mixed", bytes, tu, tb);
    if (env.pending() || std::memcmp(r.l, m.l, sizeof m.l) != 0)
        std::printf("error: struct did not round-trip\n");
}

} // namespace

int main()
{
    octet_sequence(64 * 1024, "cdr_marshal_octet_seq_64KiB", "cdr_unmarshal_octet_seq_64KiB");
    octet_sequence(1024 * 1024, "cdr_marshal_octet_seq_1MiB", "cdr_unmarshal_octet_seq_1MiB");
    mixed_struct();
    return 0;
}
