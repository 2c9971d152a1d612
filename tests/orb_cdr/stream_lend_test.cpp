// CDR stream: large octet arrays chained in by reference. The bytes are
// those a copy would give, whatever the alignment around them; the buffer is
// handed back exactly once, and only when the chain lets it go.
#include "cdr_util.h"
#include "wq_memblock.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <thread>

using B = std::vector<uint8_t>;
using CORBA::Stream;

namespace {

struct Lender {
    int given_back = 0;
};

void give_back(void *l) { ++static_cast<Lender *>(l)->given_back; }

// True when a block of the chain is the caller's buffer itself.
bool chained_in_place(Stream &s, const void *p)
{
    for (wq_MemoryBlock *b = s.head(); b; b = b->next)
        if (b->data == p)
            return true;
    return false;
}

void write_around(Stream &s, uint32_t prefix, const B &data, bool lend, Lender *l)
{
    for (uint32_t i = 0; i < prefix; ++i)
        s << static_cast<unsigned char>(0x40 + i);
    s << static_cast<unsigned int>(data.size());
    if (lend)
        s.lend_array_1(data.data(), static_cast<uint32_t>(data.size()), &give_back, l);
    else
        s.write_array_1(data.data(), static_cast<uint32_t>(data.size()));
    // Items after the array keep their alignment.
    s << static_cast<unsigned char>(0xEE) << 0x01020304u << 0x1122334455667788ULL;
}

} // namespace

TEST(OrbCdrStream, LentArraysGiveTheBytesOfACopy)
{
    struct Row {
        uint32_t prefix; // octets before the length (alignment of the array)
        uint32_t size;
        bool in_place;
    } const rows[] = {
        {0, 0, false},        {3, 100, false},     {1, 32767, false},   {0, 32768, true},
        {1, 32769, true},     {2, 40001, true},    {5, 65536, true},    {7, 65537, true},
        {6, 70000, true},     {4, 131075, true},   {65530, 100000, true}, {65535, 1 << 20, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "prefix " << r.prefix << " size " << r.size);
        B data(r.size);
        std::iota(data.begin(), data.end(), uint8_t(r.size));
        PrivEnv e;
        Lender l;
        B want, got;
        {
            Stream copy(e.w);
            write_around(copy, r.prefix, data, false, nullptr);
            want = written(copy);
        }
        {
            Stream s(e.w);
            write_around(s, r.prefix, data, true, &l);
            EXPECT_EQ(chained_in_place(s, data.data()), r.in_place);
            EXPECT_EQ(l.given_back, r.in_place ? 0 : 1);
            EXPECT_EQ(s.size_written(), want.size());
            got = written(s);
            // Read back item by item through the lent block.
            for (uint32_t i = 0; i < r.prefix; ++i)
                s.read_octet();
            uint32_t n = 0;
            ASSERT_TRUE(s.read_count(n, 1));
            B back(n);
            s.read_array_1(back.data(), n);
            EXPECT_EQ(back, data);
            EXPECT_EQ(s.read_octet(), 0xEE);
            uint32_t u4 = 0;
            uint64_t u8 = 0;
            s.read_4(&u4);
            s.read_8(&u8);
            EXPECT_EQ(u4, 0x01020304u);
            EXPECT_EQ(u8, 0x1122334455667788ULL);
            EXPECT_EQ(s.bytes_remaining(), 0u);
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(l.given_back, 1);
        EXPECT_FALSE(e.pending());
    }
}

TEST(OrbCdrStream, LentBufferGoesBackOnceWhenTheChainLetsGo)
{
    B data(200000, 0x5A);
    enum How { Reclaim, ViewOutlives, ViewInOtherThread, Swapped, FailedStream, ReadOnlyView };
    for (How how : {Reclaim, ViewOutlives, ViewInOtherThread, Swapped, FailedStream, ReadOnlyView}) {
        SCOPED_TRACE(how);
        PrivEnv e;
        Lender l;
        auto s = std::make_unique<Stream>(e.w);
        *s << 1u;
        switch (how) {
        case Reclaim:
            s->lend_array_1(data.data(), 200000, &give_back, &l);
            EXPECT_EQ(l.given_back, 0);
            s->reclaim();
            EXPECT_EQ(l.given_back, 1);
            // The stream writes on in fresh blocks of its own.
            s->write_array_1(data.data(), 70000);
            EXPECT_FALSE(chained_in_place(*s, data.data()));
            break;
        case ViewOutlives:
        case ViewInOtherThread: {
            s->lend_array_1(data.data(), 200000, &give_back, &l);
            auto view = std::make_unique<Stream>(*s, e.w, true);
            s.reset();
            EXPECT_EQ(l.given_back, 0);
            view->skip_read(4);
            B back(200000);
            view->read_array_1(back.data(), 200000);
            EXPECT_EQ(back, data);
            if (how == ViewInOtherThread)
                std::thread([&] { view.reset(); }).join();
            else
                view.reset();
            EXPECT_EQ(l.given_back, 1);
            break;
        }
        case Swapped: {
            Stream other(e.w);
            s->lend_array_1(data.data(), 200000, &give_back, &l);
            other.swap(*s);
            s.reset();
            EXPECT_EQ(l.given_back, 0);
            EXPECT_EQ(other.size_written(), 200004u);
            break;
        }
        case FailedStream:
            s->read_error();
            s->lend_array_1(data.data(), 200000, &give_back, &l);
            EXPECT_EQ(l.given_back, 1);
            e.w.clear();
            break;
        case ReadOnlyView: {
            Stream view(*s, e.w, true);
            view.lend_array_1(data.data(), 200000, &give_back, &l);
            EXPECT_EQ(l.given_back, 1);
            EXPECT_TRUE(e.is_marshal());
            e.w.clear();
            break;
        }
        }
        s.reset();
        EXPECT_EQ(l.given_back, 1);
    }
}
