// A message read in place into one block, and sequences that own their
// buffer or read one in place.
#include "cdr_util.h"
#include "corba_sequence.h"
#include "wq_memblock.h"

#include <gtest/gtest.h>

#include <numeric>

using CORBA::Stream;

// The written bytes, the bytes a transport stored past the write position,
// and the read position all survive the move into one block; the block
// takes the rest of the message in one piece and the next reclaim gives it
// back. Views and held chains are refused and left as they were.
TEST(OrbCdrStream, ContiguousKeepsBytesAndPositionsAndIsGivenBack)
{
    struct Row {
        uint32_t written; // bytes taken before
        uint32_t loose;   // stored past the write position, not yet taken
        uint32_t total;
        bool ok;
    } const rows[] = {
        {12, 65524, 1u << 20, true},       // a first read that filled the head
        {12, 0, 3u << 20, true},           //
        {200000, 100, 16u << 20, true},    // several blocks chained already
        {12, 0, 12, true},                 // already in one block
        {100, 0, 50, false},               // less than is written
        {12, 200, 100, false},             // loose bytes beyond the total
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.written << "+" << r.loose << " of " << r.total);
        PrivEnv e;
        Stream s(e.w);
        std::vector<uint8_t> all(r.written + r.loose);
        std::iota(all.begin(), all.end(), uint8_t(7));
        s.write_array_1(all.data(), r.written);
        uint32_t room = 0;
        unsigned char *p = s.write_room(room);
        ASSERT_GE(room, r.loose);
        std::copy(all.begin() + r.written, all.end(), p);
        s.skip_read(5);
        wq_MemoryBlock *old_head = s.head();
        ASSERT_EQ(s.contiguous(r.total, r.loose), r.ok);
        EXPECT_EQ(s.read_offset(), 5u);
        EXPECT_EQ(s.write_offset(), r.written);
        if (!r.ok) {
            EXPECT_EQ(s.head(), old_head);
            continue;
        }
        ASSERT_EQ(s.head(), s.write_block());
        EXPECT_EQ(s.head()->next, nullptr);
        EXPECT_GE(s.head()->capacity, r.total);
        // The loose bytes are where a transport left them; the rest of the
        // message fits the room.
        p = s.write_room(room);
        EXPECT_TRUE(std::equal(all.begin() + r.written, all.end(), p));
        EXPECT_EQ(room, s.head()->capacity - r.written);
        s.wrote(r.loose);
        std::vector<uint8_t> back(all.size() - 5);
        s.read_array_1(back.data(), uint32_t(back.size()));
        EXPECT_TRUE(std::equal(back.begin(), back.end(), all.begin() + 5));
        EXPECT_FALSE(e.w.pending());
        s.reclaim();
        EXPECT_EQ(s.head()->capacity, s.block_size());
    }
    // A view, and a chain a view holds.
    PrivEnv e;
    Stream owner(e.w);
    owner << 1u << 2u;
    {
        Stream view(owner, e.w, true);
        EXPECT_FALSE(view.contiguous(1u << 20));
        EXPECT_FALSE(owner.contiguous(1u << 20));
    }
    EXPECT_TRUE(owner.contiguous(1u << 20));
}

// Owned and in-place sequences: copies own their bytes, moves take the
// buffer, growth keeps the elements, clearing empties all four fields.
TEST(CorbaSequence, OwnershipCopiesMovesAndGrowth)
{
    unsigned char outside[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    using Seq = CORBA_Sequence<unsigned char>;
    Seq view(8, 6, outside, false);
    EXPECT_EQ(view.get_buffer(), outside);
    EXPECT_EQ(view.length(), 6u);
    EXPECT_FALSE(view.release());

    Seq copy(view); // an owned copy of the bytes
    EXPECT_NE(copy.get_buffer(), outside);
    EXPECT_TRUE(copy.release());
    EXPECT_TRUE(copy == view);
    outside[0] = 9;
    EXPECT_EQ(copy[0], 1);
    EXPECT_FALSE(copy == view);

    view.length(8); // within the maximum: still in place
    EXPECT_EQ(view.get_buffer(), outside);
    view.length(10); // past it: moved to an owned buffer
    EXPECT_NE(view.get_buffer(), outside);
    EXPECT_TRUE(view.release());
    EXPECT_EQ(view.maximum(), 10u);
    EXPECT_EQ(view[7], 8);

    Seq moved(std::move(copy));
    EXPECT_EQ(copy.get_buffer(), nullptr);
    EXPECT_EQ(moved.size(), 6u);
    copy = moved;
    EXPECT_TRUE(copy == moved);
    copy = Seq(3, 0xAB);
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy[2], 0xAB);
    copy.resize(5);
    EXPECT_EQ(copy[4], 0);
    EXPECT_EQ(copy[1], 0xAB);

    moved.clear();
    EXPECT_EQ(moved.get_buffer(), nullptr);
    EXPECT_EQ(moved.maximum() + moved.length(), 0u);
    EXPECT_FALSE(moved.release());
    EXPECT_TRUE(Seq() == moved);
    Seq owned(4, 4, Seq::allocbuf(4), true); // deleted with the sequence
    EXPECT_TRUE(owned.release());
}
