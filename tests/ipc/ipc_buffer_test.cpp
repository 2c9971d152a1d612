// Rings, descriptor FIFOs, frames and channel flag words.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_buffer.h"
#include "ipc/yw_ipc_fifo.h"
#include "ipc/yw_ipc_frame.h"

namespace {

struct Ring {
    std::vector<YW_uint8_t> data;
    YW_ipc_buffer_t *b;
    explicit Ring(YW_uint64_t size) : data(size)
    {
        b = YW_ipc_buffer_init(nullptr, data.data(), size, nullptr);
    }
    ~Ring() { YW_ipc_buffer_release(b); }
};

TEST(IpcRing, AllocationsWrapOnlyWhenTheTailIsTooShort)
{
    Ring r(100);
    ASSERT_NE(r.b, nullptr);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 60), 0);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 30), 60);
    // 10 bytes left at the end and nothing freed at the start
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 20), YW_ERR_BUFFER_NO_SPACE);
    EXPECT_EQ(r.b->fail, 1u);
    EXPECT_EQ(r.b->inp, 90);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 0, 60), 60);
    // the piece starts again at 0; the tail is skipped
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 20), 0);
    EXPECT_EQ(r.b->wrap, 1);
    EXPECT_EQ(r.b->inp, 20);
    // wrapped: only outp - inp = 40 bytes are free
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 41), YW_ERR_BUFFER_NO_SPACE);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 40), 20);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 1), YW_ERR_BUFFER_NO_SPACE); // full
    // frees in allocation order unwrap the ring again
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 60, 30), 90);
    EXPECT_EQ(r.b->wrap, 1);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 0, 20), 20);
    EXPECT_EQ(r.b->wrap, 0);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 20, 40), 60);
    EXPECT_EQ(r.b->outp, r.b->inp);
    EXPECT_EQ(r.b->alloc, r.b->free + 0u);
    EXPECT_EQ(r.b->wrap_underrun + r.b->wrap_overrun + r.b->outp_oor, 0u);
}

TEST(IpcRing, ExactFillAndWholeRing)
{
    Ring r(64);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 64), 0);
    EXPECT_EQ(r.b->inp, 0);
    EXPECT_EQ(r.b->wrap, 1);
    EXPECT_EQ(YW_ipc_buffer_get_freespace(r.b, 1), YW_ERR_BUFFER_NO_SPACE);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 0, 64), 0);
    EXPECT_EQ(r.b->wrap, 0);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 65), YW_ERR_BUFFER_NO_SPACE);
    // a zero-byte piece changes nothing
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 0), 0);
    EXPECT_EQ(r.b->wrap, 0);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, -1), YW_ERR_INVD_ARGS);
}

TEST(IpcRing, FreeOutsideTheAllocatedRegionIsRefused)
{
    Ring r(100);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 30), 0);
    // starts in free space
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 40, 10), YW_ERR_BUFFER_INDEX_OOR);
    // runs past the allocated end
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 20, 20), YW_ERR_BUFFER_INDEX_OOR);
    // past the storage
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 90, 20), YW_ERR_BUFFER_INDEX_OOR);
    EXPECT_EQ(r.b->outp_oor, 3u);
    EXPECT_EQ(r.b->outp, 0);
    EXPECT_EQ(r.b->inp, 30);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, 0, 0), 0); // nothing to free
}

TEST(IpcRing, RestoreUndoesExactlyTheLastAllocation)
{
    Ring r(100);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 60), 0);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 30), 60);
    ASSERT_EQ(YW_ipc_buffer_free(r.b, 0, 60), 60);
    // this piece skips the tail and wraps: restore brings inp back to 90,
    // not to 0, and the ring is unwrapped again
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 50), 0);
    ASSERT_EQ(r.b->wrap, 1);
    EXPECT_EQ(YW_ipc_buffer_restore(r.b, 50), 90);
    EXPECT_EQ(r.b->wrap, 0);
    EXPECT_EQ(r.b->alloc, 90u);
    // a second restore has nothing to take back
    EXPECT_EQ(YW_ipc_buffer_restore(r.b, 50), 90);
    EXPECT_EQ(r.b->restore_err, 1u);
    // a size that is not the last allocation's is refused
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 10), 90);
    EXPECT_EQ(YW_ipc_buffer_restore(r.b, 5), 0);
    EXPECT_EQ(r.b->restore_err, 2u);
    // an allocation that ends exactly at the end of the storage
    EXPECT_EQ(YW_ipc_buffer_restore(r.b, 10), 90);
    EXPECT_EQ(r.b->wrap, 0);
    ASSERT_EQ(YW_ipc_buffer_free(r.b, 60, 30), 90);
    EXPECT_EQ(r.b->inp, r.b->outp);
}

TEST(IpcRing, AdjustClaimsOnlyFreeSpace)
{
    Ring r(100);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 40), 0);
    EXPECT_EQ(YW_ipc_buffer_adjust(r.b, 20, 10), YW_ERR_BUFFER_INDEX_OOR);
    EXPECT_EQ(r.b->inp_oor, 1u);
    EXPECT_EQ(YW_ipc_buffer_adjust(r.b, 40, 60), 0);
    EXPECT_EQ(r.b->inp, 0);
    EXPECT_EQ(r.b->wrap, 1);
    EXPECT_EQ(YW_ipc_buffer_adjust(r.b, 50, 0), 0);
}

TEST(IpcRing, EmptyRingStartsAgainWhenAPieceFitsNowhereElse)
{
    Ring r(100);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 50), 0);
    ASSERT_EQ(YW_ipc_buffer_free(r.b, 0, 50), 50);
    // empty, positions at 50: a piece that fits at 50 stays there
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 40), 50);
    ASSERT_EQ(YW_ipc_buffer_free(r.b, 50, 40), 90);
    // empty, 10 bytes up to the end and 90 before the positions: 95 bytes
    // fit only from 0, and no free would ever make room for them
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 95), 0);
    EXPECT_EQ(r.b->inp, 95);
    EXPECT_EQ(r.b->wrap, 0);
    EXPECT_EQ(YW_ipc_buffer_restore(r.b, 95), 0); // the exact undo
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 101), YW_ERR_BUFFER_NO_SPACE);
    // a ring that is not empty is never moved
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 60), 0);
    ASSERT_EQ(YW_ipc_buffer_alloc(r.b, 20), 60);
    ASSERT_EQ(YW_ipc_buffer_free(r.b, 0, 60), 60);
    EXPECT_EQ(YW_ipc_buffer_alloc(r.b, 70), YW_ERR_BUFFER_NO_SPACE);
    EXPECT_EQ(r.b->outp, 60);
    EXPECT_EQ(r.b->inp, 80);
    EXPECT_EQ(r.b->wrap_underrun + r.b->wrap_overrun + r.b->outp_oor, 0u);
}

TEST(IpcRing, SingleSlotRingRestartsWhenDrained)
{
    Ring r(100);
    YW_ipc_buffer_descriptor_t list[1];
    YW_ipc_fifo_t *f = YW_ipc_fifo_init(nullptr, list, 1);
    ASSERT_NE(f, nullptr);
    YW_ipc_buffer_setfifo(r.b, f);
    EXPECT_TRUE(r.b->flags & YW_IPC_BUFFER_FLAGS_SINGLE);
    YW_ipc_buffer_descriptor_t *bd = YW_ipc_buffer_allocWithFifo(r.b, 70);
    ASSERT_NE(bd, nullptr);
    EXPECT_EQ(YW_ipc_buffer_allocWithFifo(r.b, 10), nullptr); // no slot left
    EXPECT_EQ(r.b->fail, 0u);
    YW_ipc_buffer_publish(r.b, bd);
    YW_pos_t off = -1;
    YW_size_t sz = -1;
    ASSERT_GE(YW_ipc_buffer_pop(r.b, &off, &sz), 0);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(sz, 70);
    EXPECT_EQ(YW_ipc_buffer_free(r.b, off, sz), 0); // drained: back to 0
    EXPECT_EQ(r.b->inp, 0);
    bd = YW_ipc_buffer_allocWithFifo(r.b, 90);
    ASSERT_NE(bd, nullptr);
    EXPECT_EQ(bd->offset, 0u);
    free(f);
}

TEST(IpcFifo, FullEmptyAndShortPop)
{
    EXPECT_EQ(YW_ipc_fifo_init(nullptr, nullptr, 0), nullptr);
    YW_ipc_fifo_t own{};
    EXPECT_EQ(YW_ipc_fifo_init(&own, nullptr, 0), nullptr);
    EXPECT_EQ(own.flags, 0);

    YW_ipc_buffer_descriptor_t list[4];
    YW_ipc_fifo_t *f = YW_ipc_fifo_init(nullptr, list, 4);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->count, 4u);
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, nullptr), YW_ERR_FIFO_EMPTY);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(YW_ipc_fifo_push(f, 10 * i, (10 + i) | YW_IPC_BD_BUSY_FLAG), (i + 1) % 4);
    EXPECT_EQ(YW_ipc_fifo_push(f, 99, 1 | YW_IPC_BD_BUSY_FLAG), YW_ERR_FIFO_NULL);
    EXPECT_EQ(f->fullerr, 1);

    YW_ipc_buffer_descriptor_t out{};
    EXPECT_EQ(YW_ipc_fifo_pop(f, 9, &out), YW_ERR_RX_BUFFER_SHORT); // slot kept
    EXPECT_EQ(YW_ipc_fifo_pop(f, 10, &out), 1);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_TRUE(YW_IPC_BD_IS_FILLED(out.length));
    EXPECT_EQ(YW_IPC_BD_LENGTH(out.length), 10u);
    ASSERT_NE(YW_ipc_fifo_peek(f), nullptr);
    EXPECT_EQ(YW_ipc_fifo_peek(f)->offset, 10u);
    EXPECT_EQ(YW_ipc_fifo_advance(f), 2);
    // a claimed slot that is not finished is not given out
    EXPECT_EQ(YW_ipc_fifo_push(f, 40, 5), 1); // no BUSY
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, &out), 3);
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, &out), 0);
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, &out), YW_ERR_FIFO_EMPTY);
    // advance drops only a filled slot: the slot at pop (offset 40) is
    // claimed and its producer still writes, so nothing changes
    EXPECT_EQ(YW_ipc_fifo_advance(f), YW_ERR_FIFO_EMPTY);
    EXPECT_EQ(f->pop, 0);
    f->list[0].length |= YW_IPC_BD_BUSY_FLAG; // the producer finishes
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, &out), 1);
    EXPECT_EQ(out.offset, 40u);
    EXPECT_EQ(YW_IPC_BD_LENGTH(out.length), 5u);
    // nor on an empty FIFO: the next message is still delivered
    EXPECT_EQ(YW_ipc_fifo_advance(f), YW_ERR_FIFO_EMPTY);
    EXPECT_EQ(f->pop, 1);
    EXPECT_EQ(YW_ipc_fifo_push(f, 70, 7 | YW_IPC_BD_BUSY_FLAG), 2);
    EXPECT_EQ(YW_ipc_fifo_pop(f, 100, &out), 2);
    EXPECT_EQ(out.offset, 70u);
    EXPECT_EQ(YW_ipc_fifo_release(f), YW_FAIL);
    EXPECT_EQ(YW_ipc_fifo_pop(nullptr, 1, nullptr), YW_ERR_FIFO_NULL);
    free(f);
}

struct FramedChannel {
    YW_ipc_cfg_t cfg{};
    YW_ipc_t ipc{};
    std::vector<YW_uint8_t> store;
    YW_ipc_buffer_t *buf;
    explicit FramedChannel(YW_uint64_t size = 256) : store(size)
    {
        cfg.name = const_cast<char *>("framed");
        cfg.flags = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_FRAMED;
        cfg.tx.frame_size = 128;
        ipc.cfg = &cfg;
        buf = YW_ipc_buffer_init(nullptr, store.data(), size, nullptr);
        ipc.tx.buffer = buf;
    }
    ~FramedChannel() { YW_ipc_buffer_release(buf); }
};

TEST(IpcFrame, HeaderBytesOnTheWire)
{
    FramedChannel c(200);
    c.ipc.tx.seqno = 0x01020304;
    std::memset(c.store.data(), 0xEE, c.store.size());
    YW_uint8_t payload[100];
    for (int i = 0; i < 100; i++)
        payload[i] = (YW_uint8_t)i;
    YW_pos_t off = -1;
    EXPECT_EQ(YW_ipc_send_preprocess(&c.ipc, payload, 100, 1, &off), 112);
    EXPECT_EQ(off, 0);
    const YW_uint8_t *w = c.store.data();
    const YW_uint8_t head[8] = {0x04, 0x03, 0x02, 0x01, 110, 0, 0, 0}; // little-endian target
    EXPECT_EQ(std::memcmp(w, head, 8), 0);
    EXPECT_EQ(std::memcmp(w + 8, payload, 100), 0);
    for (int i = 108; i < 112; i++) // trailer and padding
        EXPECT_EQ(w[i], 0) << i;
    EXPECT_EQ(w[112], 0xEE);
    EXPECT_EQ(c.buf->inp, 112);

    // unframed: the bare bytes
    EXPECT_EQ(YW_ipc_send_preprocess(&c.ipc, payload, 5, 0, &off), 5);
    EXPECT_EQ(off, 112);
    // above the frame size of the transmit side
    EXPECT_EQ(YW_ipc_send_preprocess(&c.ipc, payload, 119, 1, &off), YW_ERR_IPC_TOO_LONG);
    // no room left
    EXPECT_EQ(YW_ipc_send_preprocess(&c.ipc, payload, 100, 1, &off), YW_ERR_IPC_NO_TX_BD);
    EXPECT_EQ(off, YW_ERR_BUFFER_NO_SPACE);
    EXPECT_EQ(YW_ipc_send_preprocess(&c.ipc, payload, -1, 1, &off), YW_ERR_INVD_ARGS);
}

TEST(IpcFrame, SequenceErrorsAreCountedAndResynchronised)
{
    FramedChannel c;
    YW_uint8_t frame[32] = {};
    YW_uint8_t out[16];
    c.ipc.rx.seqno = 5;
    auto put = [&](YW_uint32_t seq, const char *text) {
        YW_size_t n = (YW_size_t)std::strlen(text);
        YW_ipc_frame_setHeader(frame, seq, (YW_uint32_t)YW_IPC_FrameLength(n));
        std::memcpy(frame + 8, text, (size_t)n);
        return YW_IPC_FrameLength(n);
    };
    YW_size_t l = put(7, "abc");
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, l, 1, out, sizeof(out)), 3);
    EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
    EXPECT_EQ(c.ipc.rx.seqerr, 1u);
    EXPECT_EQ(c.ipc.rx.seqno, 8u);
    l = put(8, "defg");
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, l, 1, out, sizeof(out)), 4);
    EXPECT_EQ(c.ipc.rx.seqerr, 1u);
    EXPECT_EQ(c.ipc.rx.seqno, 9u);
    // the copy is bounded by the caller's buffer
    l = put(9, "hijklmn");
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, l, 1, out, 2), 2);
}

TEST(IpcFrame, SequenceNumbersWrapWithoutError)
{
    FramedChannel c;
    YW_uint8_t frame[16] = {};
    YW_uint8_t out[8];
    c.ipc.rx.seqno = 0xFFFFFFFFu;
    YW_ipc_frame_setHeader(frame, 0xFFFFFFFFu, 11);
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, 11, 1, out, sizeof(out)), 1);
    EXPECT_EQ(c.ipc.rx.seqno, 0u);
    YW_ipc_frame_setHeader(frame, 0, 11);
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, 11, 1, out, sizeof(out)), 1);
    EXPECT_EQ(c.ipc.rx.seqno, 1u);
    EXPECT_EQ(c.ipc.rx.seqerr, 0u);
    // a jump back across the wrap is one error and resynchronises
    YW_ipc_frame_setHeader(frame, 0xFFFFFFFEu, 11);
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, 11, 1, out, sizeof(out)), 1);
    EXPECT_EQ(c.ipc.rx.seqerr, 1u);
    EXPECT_EQ(c.ipc.rx.seqno, 0xFFFFFFFFu);
    // the sender's number is the channel's transmit seqno, wrapped the same way
    c.ipc.tx.seqno = 0xFFFFFFFFu;
    YW_uint8_t pay = 7;
    YW_pos_t off = -1;
    ASSERT_EQ(YW_ipc_send_preprocess(&c.ipc, &pay, 1, 1, &off), 16);
    YW_uint32_t seq = 0, len = 0;
    YW_ipc_frame_getHeader(c.store.data() + off, &seq, &len);
    EXPECT_EQ(seq, 0xFFFFFFFFu);
    EXPECT_EQ(len, 11u);
}

TEST(IpcFrame, MalformedLengthsAreDroppedWithoutCopy)
{
    FramedChannel c;
    YW_uint8_t frame[64] = {};
    YW_uint8_t out[64];
    std::memset(out, 0x55, sizeof(out));
    // length field larger than what was received
    YW_ipc_frame_setHeader(frame, 0, 60);
    EXPECT_LT(YW_ipc_recv_postprocess(&c.ipc, frame, 20, 1, out, sizeof(out)), 0);
    // length field below the header and trailer
    YW_ipc_frame_setHeader(frame, 0, 3);
    EXPECT_LT(YW_ipc_recv_postprocess(&c.ipc, frame, 20, 1, out, sizeof(out)), 0);
    YW_ipc_frame_setHeader(frame, 0, 0xFFFFFFFF);
    EXPECT_LT(YW_ipc_recv_postprocess(&c.ipc, frame, 20, 1, out, sizeof(out)), 0);
    // fewer bytes than a header
    EXPECT_LT(YW_ipc_recv_postprocess(&c.ipc, frame, 5, 1, out, sizeof(out)), 0);
    EXPECT_EQ(c.ipc.rx.lenerr, 4u);
    EXPECT_EQ(c.ipc.rx.seqerr, 0u);
    EXPECT_EQ(c.ipc.rx.seqno, 0u);
    for (unsigned char b : out)
        ASSERT_EQ(b, 0x55);
    // an empty frame is fine
    YW_ipc_frame_setHeader(frame, 0, 10);
    EXPECT_EQ(YW_ipc_recv_postprocess(&c.ipc, frame, 10, 1, out, sizeof(out)), 0);
}

TEST(IpcCfg, FlagWords)
{
    EXPECT_EQ(YW_ipc_cfg_parseFlags("TX_BUFFER FRAMED"), 0x51u);
    EXPECT_EQ(YW_ipc_cfg_parseFlags("CRC FRAMED"), 0x401u);
    EXPECT_EQ(YW_ipc_cfg_parseFlags("CRC"), 0u);
    EXPECT_EQ(YW_ipc_cfg_parseFlags("TX RX"), 0x30u);
    EXPECT_EQ(YW_ipc_cfg_parseFlags("RX_BUFFER nTX"), (YW_uint32_t)(YW_IPC_FLAGS_RX | YW_IPC_FLAGS_RX_BUFFERED));
    EXPECT_EQ(YW_ipc_cfg_parseFlags("nTX_BUFFER"), 0u);
    EXPECT_EQ(YW_ipc_cfg_parseFlags("LOCAL FLOWCTRL DIRECT DLOG MASTER"), 0x0B0Au);
}

} // namespace
