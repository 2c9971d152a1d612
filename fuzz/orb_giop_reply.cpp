// Fuzz target for what a GIOP client reads from a peer: messages received
// through a circuit (header checks, reply, locate-reply and request headers,
// exceptions and forward references in reply bodies) and IORs (read into a
// reference, written back, and the result must read back the same).
//
// Input: one control byte (bit 0: 0 messages, 1 an IOR; bit 1: IOR in
// swapped byte order), then the bytes the peer sends or the IOR.
#include "corba_env.h"
#include "corba_except.h"
#include "corba_object.h"
#include "corba_stream.h"
#include "wq_circuit.h"
#include "wq_target.h"

#include "fuzz_orb.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Env = FuzzEnv;
constexpr auto check = fuzz_check;

// A transport that serves the input in small reads, then ends.
class InputCircuit : public wq_NetCircuit {
public:
    InputCircuit(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    long read(void *buffer, unsigned long length) override
    {
        if (pos_ >= n_)
            return 0;
        size_t t = n_ - pos_;
        if (t > length)
            t = length;
        if (t > 61)
            t = 61;
        std::memcpy(buffer, d_ + pos_, t);
        pos_ += t;
        return static_cast<long>(t);
    }
    long write(const void *, unsigned long length) override { return static_cast<long>(length); }
    void shutdown(bool) override { pos_ = n_; }
    wq_NetCircuitReleasor get_releasor() override
    {
        return [](wq_NetCircuit *c) { delete c; };
    }

private:
    const uint8_t *d_;
    size_t n_;
    size_t pos_ = 0;
};

void fuzz_messages(const uint8_t *d, size_t n)
{
    auto *c = new wq_MsgCircuit(new InputCircuit(d, n));
    Env e;
    CORBA::Stream s(e.w);
    for (int i = 0; i < 4; ++i) {
        wq_GIOP::MessageHeader h{};
        if (c->receive(s, h, e.w) < 1)
            break;
        check(s.message_length() == 12 + uint64_t(h.size));
        if (h.type == wq_GIOP::Reply) {
            wq_GIOP::ReplyHeader rh{};
            wq_read_reply(s, rh, e.w);
            if (rh.reply_status == wq_GIOP::USER_EXCEPTION || rh.reply_status == wq_GIOP::SYSTEM_EXCEPTION) {
                CORBA::Exception *x = nullptr;
                s >> x;
                delete x;
            } else if (rh.reply_status == wq_GIOP::LOCATION_FORWARD) {
                CORBA::release(s.read_object("IDL:omg.org/CORBA/Object:1.0"));
            }
        } else if (h.type == wq_GIOP::LocateReply) {
            wq_GIOP::LocateReplyHeader lh{};
            s >> lh;
        } else if (h.type == wq_GIOP::Request) {
            wq_GIOP::RequestHeader rq{};
            wq_read_request(s, rq);
            check(rq.key_length <= sizeof rq.key);
        }
        e.w.clear();
    }
    c->_remove_ref();
}

std::vector<uint8_t> bytes_of(CORBA::Stream &s)
{
    Env e;
    CORBA::Stream view(s, e.w, true);
    std::vector<uint8_t> out(view.bytes_remaining());
    view.read_array_1(out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

void fuzz_ior(const uint8_t *d, size_t n, bool swapped)
{
    Env e;
    CORBA::Stream s(e.w);
    s.write_array_1(d, static_cast<uint32_t>(n));
    s.byte_order(swapped ? 0 : 1);
    CORBA::Object *obj = s.read_object("IDL:Fuzz/T:1.0");
    if (!obj)
        return;
    CORBA::Stream out(e.w);
    out.write_object(obj);
    std::vector<uint8_t> first = bytes_of(out);
    CORBA::Object *again = out.read_object("IDL:Fuzz/T:1.0");
    check(again != nullptr);
    CORBA::Stream out2(e.w);
    out2.write_object(again);
    check(bytes_of(out2) == first);
    CORBA::release(again);
    CORBA::release(obj);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    if (data[0] & 1)
        fuzz_ior(data + 1, size - 1, (data[0] & 2) != 0);
    else
        fuzz_messages(data + 1, size - 1);
    return 0;
}
