// Broker client registries and small mechanisms: transport factories, the
// message-endpoint registry, band tables, priorities, the built-in operation
// signatures, stored-failure copies and the circuit's read-ahead.
#include "client_util.h"

#include "corba_object.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_interface.h"

#include <gtest/gtest.h>

using B = std::vector<uint8_t>;

namespace {

struct NullFactory : wq_NetCircuitFactory {
    NullFactory() : wq_NetCircuitFactory("tcp") {}
    wq_NetCircuit *initiate_connection(char const *, char const *, int) override { return nullptr; }
};

// Serves fixed bytes, counting the reads asked of it.
class CannedCircuit : public wq_NetCircuit {
public:
    explicit CannedCircuit(B data) : data_(std::move(data)) {}
    long read(void *buffer, unsigned long length) override
    {
        ++reads;
        size_t t = std::min<size_t>(length, data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, t);
        pos_ += t;
        return long(t);
    }
    long write(const void *, unsigned long length) override { return long(length); }
    void shutdown(bool) override {}
    wq_NetCircuitReleasor get_releasor() override
    {
        return [](wq_NetCircuit *c) { delete c; };
    }
    int reads = 0;

private:
    B data_;
    size_t pos_ = 0;
};

} // namespace

TEST(OrbClientRegistry, FactoriesAndEndpoints)
{
    // The built-in factory and validators are there from start-up: a "tcp"
    // factory registered before the process's first look-up still wins.
    {
        NullFactory newer;
        EXPECT_EQ(wq_NetCircuitFactory::lookup("tcp://h:1"), &newer);
        EXPECT_FALSE(wq_Endpoint::is_valid("tcp:h:0"));
    }
    wq_NetCircuitFactory *tcp = wq_NetCircuitFactory::lookup("tcp:h:1");
    ASSERT_NE(tcp, nullptr);
    EXPECT_NE(dynamic_cast<wq_NetCircuitTCPFactory *>(tcp), nullptr);
    EXPECT_NE(wq_NetAcceptorFactory::lookup("tcp:h:1"), nullptr); // the server side's TCP acceptor
    EXPECT_NE(wq_NetCollectorFactory::lookup("messaging-poa:x"), nullptr);

    PrivEnv e;
    wq_MsgEndpointRegistry &r = *wq_msg_endpoint_registry_get();
    wq_MsgEndpoint *a = r.find_or_create("tcp:reg-test:1", e.w);
    wq_MsgEndpoint *b = r.find_or_create("tcp:reg-test:1", e.w);
    wq_MsgEndpoint *c = r.find_or_create("tcp:reg-test:2", e.w);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    a->_remove_ref();
    b->_remove_ref();
    // Still referenced: the same endpoint again.
    wq_MsgEndpoint *d = r.find_or_create("tcp:reg-test:2", e.w);
    EXPECT_EQ(d, c);
    d->_remove_ref();
    c->_remove_ref();
    EXPECT_EQ(r.find_or_create("", e.w), nullptr);
    EXPECT_EQ(e.minor(), 0x5157002Cu);
    // A byte above 0x7F hashes without a negative bucket.
    EXPECT_LT(wq_MsgEndpointRegistry::hash("tcp:\xFF\xFE\xC0:1") % 401u, 401u);
}

TEST(OrbClientRegistry, BandsAndPriorities)
{
    wq_BandManager m(3);
    EXPECT_EQ(m.find_or_create(1, 10), 0);
    EXPECT_EQ(m.find_or_create(11, 20), 1);
    EXPECT_EQ(m.find_or_create(1, 10), 0);
    EXPECT_EQ(m.find_or_create(21, 30), 2);
    EXPECT_EQ(m.find_or_create(31, 40), -1);
    int16_t lo, hi;
    ASSERT_TRUE(m.band(1, lo, hi));
    EXPECT_EQ(lo, 11);
    EXPECT_EQ(hi, 20);
    EXPECT_FALSE(m.band(3, lo, hi));

    RTCORBA::NativePriority n = 0;
    RTCORBA::Priority p = 0;
    EXPECT_TRUE(RTCORBA::the_PriorityMapping->to_native(0, n));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(RTCORBA::the_PriorityMapping->to_native(32767, n));
    EXPECT_EQ(n, 99);
    EXPECT_FALSE(RTCORBA::the_PriorityMapping->to_native(-1, n));
    EXPECT_TRUE(RTCORBA::the_PriorityMapping->to_CORBA(99, p));
    EXPECT_EQ(p, 32767);
    PrivEnv e;
    RTCORBA::Current *cur = RTCORBA::get_current(e.w);
    std::thread([&] {
        PrivEnv te;
        cur->active_priority(1234, te.w);
        EXPECT_EQ(cur->active_priority(te.w), 1234);
        EXPECT_EQ(wq_active_priority(), 1234);
    }).join();
    cur->active_priority(-5, e.w);
    EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/BAD_PARAM:1.0");
    CORBA::release(cur);
}

TEST(OrbClientRegistry, BuiltInSignaturesAndFailureCopies)
{
    wq_Interface *obj = wq_interface_registry_get()->NI_find(CORBA::Object::wq_IR_Name, true);
    ASSERT_NE(obj, nullptr);
    uint32_t n = 0;
    wq_ParameterInfo *pi = obj->get_parameters("_is_a", n, true);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(pi[0].typecode, CORBA::wq_tc_string);
    EXPECT_EQ(pi[0].mode, uint32_t(CORBA::PARAM_IN));
    delete[] pi;
    EXPECT_EQ(obj->get_result("_is_a", true), CORBA::wq_tc_boolean);
    EXPECT_EQ(obj->get_result("_non_existent", true), CORBA::wq_tc_boolean);
    obj->_remove_ref(true);

    CORBA::COMM_FAILURE cf(3, CORBA::COMPLETED_NO, "x");
    CORBA::MARSHAL ma(1, CORBA::COMPLETED_MAYBE, "y");
    CORBA::IMP_LIMIT il(1, CORBA::COMPLETED_YES, "z");
    CORBA::BAD_PARAM bp(1);
    for (CORBA::SystemException *x : std::initializer_list<CORBA::SystemException *>{&cf, &ma, &il}) {
        CORBA::SystemException *d = wq_msgcircuit_duplicate(x);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->wq_ir_name(), x->wq_ir_name());
        EXPECT_EQ(d->minor(), x->minor());
        EXPECT_EQ(d->completed(), x->completed());
        EXPECT_STREQ(d->param(), x->param());
        delete d;
    }
    EXPECT_EQ(wq_msgcircuit_duplicate(&bp), nullptr);
}

TEST(OrbClientRegistry, ReadAheadServesSeveralMessagesFromOneRead)
{
    // A reply and a zero-size message arrive in one read: both come out of
    // the read-ahead, the second without touching the transport.
    LE m;
    m.raw("GIOP", 4).o(1).o(0).o(1).o(1).u(12).u(0).u(5).u(0);
    m.raw("GIOP", 4).o(1).o(0).o(1).o(5).u(0);
    auto *net = new CannedCircuit(m.b);
    auto *c = new wq_MsgCircuit(net);
    PrivEnv e;
    CORBA::Stream s(e.w);
    wq_GIOP::MessageHeader h{};
    ASSERT_EQ(c->receive(s, h, e.w), 1);
    EXPECT_EQ(h.type, 1);
    wq_GIOP::ReplyHeader rh{};
    wq_read_reply(s, rh, e.w);
    EXPECT_EQ(rh.request_id, 5u);
    ASSERT_EQ(c->receive(s, h, e.w), 1);
    EXPECT_EQ(h.type, 5);
    EXPECT_EQ(h.size, 0u);
    EXPECT_EQ(net->reads, 1);
    // The transport then ends: the circuit fails with "return code from read = 0".
    EXPECT_EQ(c->receive(s, h, e.w), 0);
    EXPECT_EQ(e.minor(), 0x51570082u);
    EXPECT_EQ(c->state(), uint32_t(wq_MsgCircuit::Failed));
    c->_remove_ref();
}
