// Fuzz target for the server's request reader: the input is one whole GIOP
// 1.0 message (its size field is taken from the input's length) handed to the
// dispatcher of a POA with one active servant. Every message must end in one
// of: a protocol error, a close, or a hand-back followed by exactly the
// replies that are due, each a well-formed GIOP message.
#include "portable_server.h"
#include "wq_dispatch.h"
#include "wq_skeleton.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

constexpr char const *kId = "IDL:Fuzz/Calc:1.0";

struct Calc : PortableServer::ServantBase {
    Calc() { wq_init_nia(this, kId); }
};

void skel_add(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    int32_t a = 0, b = 0;
    req.in.read_4(&a);
    req.in.read_4(&b);
    CORBA::String_var s;
    req.in >> s;
    if (!env.pending())
        req.out << static_cast<int>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void skel_fail(wq_ServerRequest &, void *, const CORBA::EnvironmentWrapper &env)
{
    env.exception(new PortableServer::POA::WrongPolicy);
}

struct Sink : wq_DispatchSink {
    int hand_backs = 0, replies = 0;
    bool due = false, protocol = false, closed = false;
    void hand_back(bool d) override
    {
        ++hand_backs;
        due = d;
    }
    void send(CORBA::Stream &reply, uint32_t, bool) override
    {
        ++replies;
        check(!reply.pending());
        check(reply.size_written() >= 16);
        wq_MemoryBlock *h = reply.head();
        check(std::memcmp(h->data, "GIOP", 4) == 0 && (h->data[7] == 1 || h->data[7] == 4));
    }
    void protocol_error() override { protocol = true; }
    void close() override { closed = true; }
};

struct Setup {
    Setup()
    {
        wq_max_reader_threads = 0; // band requests start no threads here
        wq_PrivateEnv pe;
        CORBA::release(wq_init_root_poa(pe.env));
        wq_global_poa_manager->activate();
        wq_SkeletonMap::add(kId, "add", &skel_add);
        wq_SkeletonMap::add(kId, "fail", &skel_fail);
        wq_root_poa->_id_assignment = PortableServer::USER_ID;
        servant = new Calc;
        wq_root_poa->activate_object_with_id(PortableServer::ObjectId("calc", 4), servant, pe.env);
        pe.env.clear();
    }
    Calc *servant;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    if (size < 12 || size > (1u << 20))
        return 0;
    static std::unique_ptr<wq_ReaderState> st(new wq_ReaderState);
    st->in.reclaim();
    st->out.reclaim();
    st->env.clear();
    st->in.write_array_1(data, static_cast<uint32_t>(size));
    uint8_t flags = data[6] & 1;
    st->in.byte_order(CORBA::Stream::order_for_flag(flags));
    st->in.skip_read(12);
    Sink sink;
    wq_dispatch_message(*st, data[7], sink);
    check(!st->env.pending());
    if (sink.protocol || sink.closed) {
        check(sink.replies == 0);
        return 0;
    }
    check(sink.hand_backs == 1);
    if (data[7] == 0 || data[7] == 3)
        check(sink.replies == (sink.due ? 1 : 0));
    else
        check(sink.replies == 0);
    return 0;
}
