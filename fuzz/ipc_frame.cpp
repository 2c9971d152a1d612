// Received IPC frames: whatever the bytes and the header's length field say,
// the receive path copies only from what was received and never more than the
// caller's buffer holds. The same bytes are also read as a channel flag text.
//
// Input: byte 0 = size of the caller's buffer, byte 1 bit 0 = framed channel,
// the rest = the bytes received.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    YW_size_t dstLen = data[0];
    int framed = data[1] & 1;
    size -= 2;
    data += 2;

    // exact-size copies, so that any read or write beyond them is caught
    uint8_t *in = size ? new uint8_t[size] : nullptr;
    if (size)
        std::memcpy(in, data, size);
    uint8_t *dst = new uint8_t[dstLen ? dstLen : 1];

    YW_ipc_cfg_t cfg{};
    cfg.name = const_cast<char *>("fuzz");
    cfg.flags = YW_IPC_FLAGS_RX | (framed ? YW_IPC_FLAGS_FRAMED : 0);
    YW_ipc_t ipc{};
    ipc.cfg = &cfg;
    ipc.rx.seqno = 1;
    YW_size_t n = YW_ipc_recv_postprocess(&ipc, in, (YW_size_t)size, framed, dst, dstLen);
    if (n > dstLen || n > (YW_size_t)size)
        std::abort();
    if (n < 0 && ipc.rx.lenerr == 0)
        std::abort();

    std::string text(reinterpret_cast<const char *>(data), size);
    YW_uint32_t flags = YW_ipc_cfg_parseFlags(text.c_str());
    if ((flags & YW_IPC_FLAGS_CRC) && !(flags & YW_IPC_FLAGS_FRAMED))
        std::abort();

    delete[] in;
    delete[] dst;
    return 0;
}
