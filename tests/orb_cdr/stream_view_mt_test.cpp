// Read-only views of a stream read by other threads: a view keeps the blocks
// it reads while its owner goes on, and a deeply nested TypeCode is read in
// place, in memory proportional to its size.
#include "cdr_util.h"
#include "corba_typecode.h"
#include "orb/test_alloc.h"
#include "orb/test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using CORBA::Stream;
using CORBA::TypeCode;

namespace {

// A thread's private environment for its own stream.
struct ThreadEnv {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    ~ThreadEnv() { w.clear(); }
};

} // namespace

// What the owner does while another thread reads its view: end, start over,
// or take another stream's data; then the recycled blocks are scribbled on.
TEST(OrbCdrStreamViewMt, ViewOutlivesWhatItsOwnerDoes)
{
    constexpr uint32_t kWords = 3000; // about three 4096-byte blocks
    for (int action = 0; action < 3; ++action) {
        ThreadEnv oe;
        auto *owner = new Stream(4096, oe.w);
        for (uint32_t i = 0; i < kWords; ++i)
            *owner << i;
        ThreadEnv ve;
        Stream view(*owner, ve.w, true);
        std::atomic<bool> go{false};
        uint32_t bad = 0;
        std::thread reader([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int pass = 0; pass < 20; ++pass) {
                Stream v(view, ve.w, true);
                for (uint32_t i = 0; i < kWords; ++i) {
                    uint32_t x = 0;
                    v.read_4(&x);
                    bad += x != i;
                }
            }
        });
        go = true;
        ThreadEnv other;
        Stream donor(4096, other.w);
        donor << 0xABCDEFu;
        if (action == 0) {
            delete owner;
            owner = nullptr;
        } else if (action == 1) {
            owner->reclaim();
        } else {
            owner->copy(donor);
        }
        for (int round = 0; round < 20; ++round) {
            Stream scribble(4096, other.w);
            for (uint32_t i = 0; i < kWords; ++i)
                scribble << 0xEEEEEEEEu;
            if (owner)
                *owner << 0xDDDDDDDDu;
        }
        reader.join();
        EXPECT_EQ(bad, 0u) << "action " << action;
        EXPECT_FALSE(ve.w.pending());
        delete owner;
    }
}

// A 4 MB enum under 60 levels of sequence, read by two threads at once from
// views of one stream: each read holds about the TypeCode it builds, never a
// copy of every enclosing encapsulation.
TEST(OrbCdrStreamViewMt, NestedTypeCodeReadInBoundedMemory)
{
    constexpr unsigned kNames = 256, kLen = 16000, kDepth = 60;
    std::vector<std::string> names(kNames);
    std::vector<char const *> ptrs(kNames);
    for (unsigned i = 0; i < kNames; ++i) {
        names[i] = std::string(kLen, static_cast<char>('a' + i % 26)) + std::to_string(i);
        ptrs[i] = names[i].c_str();
    }
    TypeCode *tc = new TypeCode(CORBA::tk_enum, "IDL:E:1.0", "E", kNames, ptrs.data(), false);
    for (unsigned d = 0; d < kDepth; ++d) {
        TypeCode *n = new TypeCode(CORBA::tk_sequence, 0u, tc, false);
        CORBA::release(tc);
        tc = n;
    }
    ThreadEnv we;
    Stream wire(we.w);
    wire << *tc;
    ASSERT_FALSE(we.w.pending());
    const long size = wire.size_written();
    ASSERT_GT(size, 4000000);

    const long before = test_alloc::live.load();
    test_alloc::reset_peak();
    TypeCode *got[2] = {nullptr, nullptr};
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t) {
        ts.emplace_back([&, t] {
            ThreadEnv e;
            Stream v(wire, e.w, true);
            v >> got[t];
            EXPECT_FALSE(e.w.pending());
        });
    }
    for (auto &th : ts)
        th.join();
    const long used = test_alloc::peak.load() - before;
    // Two results of about `size` each, with room for the allocator's
    // rounding; a copy per level would be 60 times that.
    EXPECT_LT(used, 3 * size) << "peak " << used << " bytes for a " << size << "-byte TypeCode";
    const std::vector<uint8_t> bytes = written(wire);
    for (TypeCode *g : got) {
        ASSERT_NE(g, nullptr);
        Stream again(we.w);
        again << *g; // names and all: the same bytes
        EXPECT_TRUE(written(again) == bytes);
        CORBA::release(g);
    }
    CORBA::release(tc);
}
