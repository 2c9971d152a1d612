// GIOP 1.0 wire formats: message, request, reply and locate-reply headers.
// Readers work on a received message (the stream holds exactly the message)
// with bounded reads; a length that runs past the message raises MARSHAL.
#include "wq_circuit.h"

#include "wq_memblock.h"

#include <cstring>

const wq_GIOP::Version wq_GIOP::wq_GIOP_version_1_0 = {1, 0};

namespace {

uint32_t read_ulong(CORBA::Stream &s)
{
    uint32_t v = 0;
    s.read_4(&v);
    return v;
}

} // namespace

void wq_read_message_header(CORBA::Stream &s, wq_GIOP::MessageHeader &h)
{
    std::memset(&h, 0, sizeof h);
    wq_MemoryBlock *b = s.head();
    uint32_t have = b ? (b == s.write_block() ? static_cast<uint32_t>(s.write_position() - b->data) : b->used) : 0;
    if (have < 12) {
        s.read_error();
        return;
    }
    std::memcpy(&h, b->data, 8);
    s.byte_order(CORBA::Stream::order_for_flag(h.flags & 1));
    uint32_t size;
    std::memcpy(&size, b->data + 8, 4);
    if (!s.byte_order())
        size = __builtin_bswap32(size);
    h.size = size;
    if (s.read_offset() < 12)
        s.skip_read(12 - s.read_offset());
}

CORBA::Stream &operator>>(CORBA::Stream &s, wq_GIOP::MessageHeader &h)
{
    wq_read_message_header(s, h);
    return s;
}

void wq_read_service_contexts(CORBA::Stream &s, wq_GIOP::RequestHeader *req, uint16_t *priority)
{
    uint32_t count = 0;
    // Each context holds at least its id and its length.
    if (!s.read_count(count, 8))
        return;
    for (uint32_t i = 0; i < count && !s.pending(); ++i) {
        uint32_t id = read_ulong(s);
        uint32_t len = 0;
        if (!s.read_count(len, 1))
            return;
        if (id == wq_GIOP::RTCorbaPriority && len == 4) {
            uint8_t bo = s.read_octet();
            s.read_octet();
            uint16_t p;
            uint8_t saved = s.byte_order();
            s.byte_order(CORBA::Stream::order_for_flag(bo & 1));
            s.read_2(&p);
            s.byte_order(saved);
            if (priority)
                *priority = p;
            if (req)
                req->priority = static_cast<int16_t>(p);
        } else if (id == wq_GIOP::RTCorbaPriorityRange && len == 6 && req) {
            uint8_t bo = s.read_octet();
            s.read_octet();
            uint8_t saved = s.byte_order();
            s.byte_order(CORBA::Stream::order_for_flag(bo & 1));
            s.read_2(&req->range_low);
            s.read_2(&req->range_high);
            s.byte_order(saved);
            req->has_range = true;
        } else {
            if (id == wq_GIOP::SyncScopeServer && req)
                req->sync_server = true;
            s.skip_read(len);
        }
    }
}

void wq_read_reply(CORBA::Stream &s, wq_GIOP::ReplyHeader &h, const CORBA::EnvironmentWrapper &)
{
    wq_read_service_contexts(s, nullptr, &h.priority);
    h.request_id = read_ulong(s);
    h.reply_status = read_ulong(s);
}

CORBA::Stream &operator>>(CORBA::Stream &s, wq_GIOP::LocateReplyHeader &h)
{
    h.request_id = read_ulong(s);
    h.locate_status = read_ulong(s);
    return s;
}

void wq_read_request(CORBA::Stream &s, wq_GIOP::RequestHeader &h)
{
    h.priority = -1;
    h.sync_server = h.has_range = false;
    h.range_low = h.range_high = 0;
    h.key_length = 0;
    h.operation[0] = '\0';
    wq_read_service_contexts(s, &h, nullptr);
    h.request_id = read_ulong(s);
    h.response_expected = s.read_octet();
    uint32_t kl = 0;
    if (!s.read_count(kl, 1))
        return;
    if (kl > sizeof h.key) {
        s.fail(new CORBA::MARSHAL(1, CORBA::COMPLETED_NO, "object key too long"));
        return;
    }
    s.read_array_1(h.key, kl);
    h.key_length = kl;
    uint32_t ol = 0;
    if (!s.read_count(ol, 1))
        return;
    if (ol == 0 || ol > sizeof h.operation) {
        s.fail(new CORBA::MARSHAL(1, CORBA::COMPLETED_NO, "bad operation name"));
        return;
    }
    s.read_array_1(h.operation, ol);
    if (s.pending() || h.operation[ol - 1] != '\0') {
        if (!s.pending())
            s.fail(new CORBA::MARSHAL(1, CORBA::COMPLETED_NO, "bad operation name"));
        h.operation[0] = '\0';
        return;
    }
    uint32_t pl = 0;
    if (s.read_count(pl, 1))
        s.skip_read(pl);
}

void wq_write_giop_header(CORBA::Stream &s, uint8_t type)
{
    s << static_cast<unsigned char>('G') << static_cast<unsigned char>('I')
      << static_cast<unsigned char>('O') << static_cast<unsigned char>('P')
      << static_cast<unsigned char>(1) << static_cast<unsigned char>(0) << CORBA::Stream::write_flag()
      << type << 0u;
}

unsigned char *wq_write_request_header(CORBA::Stream &s, const wq_RequestContexts &ctx,
                                       uint8_t response_expected, const unsigned char *key,
                                       uint32_t key_length, char const *operation)
{
    wq_write_giop_header(s, wq_GIOP::Request);
    uint32_t n = (ctx.sync_server ? 1u : 0u) + (ctx.priority >= 0 ? 1u : 0u) + (ctx.has_range ? 1u : 0u);
    s << n;
    if (ctx.sync_server)
        s << wq_GIOP::SyncScopeServer << 0u;
    if (ctx.priority >= 0)
        s << wq_GIOP::RTCorbaPriority << 4u << CORBA::Stream::write_flag() << static_cast<unsigned char>(0)
          << static_cast<short>(ctx.priority);
    if (ctx.has_range)
        s << wq_GIOP::RTCorbaPriorityRange << 6u << CORBA::Stream::write_flag()
          << static_cast<unsigned char>(0) << static_cast<short>(ctx.low) << static_cast<short>(ctx.high);
    s << 0u; // request id, filled in by send
    if (s.pending())
        return nullptr;
    unsigned char *id_at = s.write_position() - 4;
    s << response_expected << key_length;
    s.write_array_1(key, key_length);
    uint32_t ol = static_cast<uint32_t>(std::strlen(operation)) + 1;
    s << ol;
    s.write_array_1(operation, ol);
    // The principal pads the header so that the arguments begin at a
    // multiple of 8: four octets when its length word lands on one.
    uint32_t at = (s.write_offset() + 3) & ~3u;
    if (at % 8 == 0)
        s << 4u << 0u;
    else
        s << 0u;
    return s.pending() ? nullptr : id_at;
}
