// Broker client path without a network: GIOP request layouts, object keys,
// IORs written and read back, endpoints, policies and the interface registry.
#include "client_util.h"

#include "corba_object.h"
#include "corba_orb.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_interface.h"
#include "wq_key.h"
#include "wq_mthread.h"
#include "wq_stub.h"
#include "wq_target.h"

#include <gtest/gtest.h>

using B = std::vector<uint8_t>;
using CORBA::Stream;

namespace {

B body_of(Stream &s) { return written(s); }

} // namespace

TEST(OrbClientWire, BindPriorityBandRequestIs80Bytes)
{
    PrivEnv e;
    Stream s(e.w);
    wq_RequestContexts ctx;
    ctx.has_range = true;
    ctx.low = 100;
    ctx.high = 200;
    const unsigned char key = 0;
    unsigned char *id_at = wq_write_request_header(s, ctx, 1, &key, 1, "_bind_priority_band");
    ASSERT_NE(id_at, nullptr);
    s.write_ulong_at(s.head()->data + 8, s.size_written() - 12);
    s.write_ulong_at(id_at, 7);
    LE x;
    x.raw("GIOP", 4).o(1).o(0).o(1).o(0).u(68);
    x.u(1).u(11).u(6).o(1).o(0).s(100).s(200).s(0);
    x.u(7).o(1).o(0).o(0).o(0);
    x.u(1).o(0).o(0).o(0).o(0);
    x.str("_bind_priority_band");
    x.u(4).u(0);
    ASSERT_EQ(x.b.size(), 80u);
    EXPECT_EQ(body_of(s), x.b);
}

TEST(OrbClientWire, PrincipalPadsArgumentsToEight)
{
    // Operation names of every length modulo 8, with and without a
    // priority context: the arguments always begin at a multiple of 8 and
    // the principal is 4 zero octets exactly when its length word lands on one.
    for (int prio : {-1, 5})
        for (size_t len = 1; len <= 9; ++len) {
            PrivEnv e;
            Stream s(e.w);
            wq_RequestContexts ctx;
            ctx.priority = prio;
            const unsigned char key[3] = {1, 2, 3};
            std::string op(len, 'o');
            ASSERT_NE(wq_write_request_header(s, ctx, 1, key, 3, op.c_str()), nullptr);
            uint32_t end = s.write_offset();
            EXPECT_EQ(end % 8, 0u) << op;
            B w = body_of(s);
            uint32_t after_op = 12 + 4 + (prio >= 0 ? 12 : 0) + 4 + 4 + 4 + 3;
            after_op = ((after_op + 3) & ~3u) + 4 + uint32_t(len) + 1;
            uint32_t at = (after_op + 3) & ~3u;
            uint32_t plen = w[at] | w[at + 1] << 8;
            EXPECT_EQ(plen, at % 8 == 0 ? 4u : 0u) << op;
        }
}

TEST(OrbClientWire, ObjectKeys)
{
    unsigned char buf[256];
    uint32_t len = 0;
    const unsigned char id[] = {'x'};
    wq_Key::to_object_key(buf, 256, len, "c", "h_1", "RootPOA", id, 1, 0x24);
    const B want = {0xB5, 0x41, 0x64, 0xB6, 0x63, 0xB5, 0x68, 0x5F, 0x31, 0xB5,
                    'R',  'o',  'o',  't',  'P',  'O',  'A',  0xB5, 0x78};
    ASSERT_EQ(len, 19u);
    EXPECT_EQ(B(buf, buf + len), want);
    wq_Key k(buf, len);
    k.parse();
    EXPECT_EQ(k.class_start, 4u);
    EXPECT_EQ(k.instance_start, 6u);
    EXPECT_EQ(k.poa_start, 10u);
    EXPECT_EQ(k.id_start, 18u);
    EXPECT_EQ(k.id_length, 1u);
    EXPECT_EQ(k.flag, 0x64);
    // An id holding 0xB5 stays whole.
    const unsigned char id2[] = {1, 0xB5, 2};
    wq_Key::to_object_key(buf, 256, len, "c", "i", "P", id2, 3, 0x24);
    wq_Key k2(buf, len);
    k2.parse();
    EXPECT_EQ(k2.id_length, 3u);
    // 250 bytes of names do not fit 256 with the 7 fixed bytes.
    std::string big(240, 'a');
    wq_Key::to_object_key(buf, 256, len, big.c_str(), "i", "P", reinterpret_cast<const unsigned char *>("12345678"),
                          8, 0x24);
    EXPECT_EQ(len, 0u);
    // Not a key of this broker, and too short.
    const unsigned char foreign[] = {1, 2, 3};
    wq_Key f(foreign, 3);
    f.parse();
    EXPECT_EQ(f.class_start + f.id_start + f.id_length, 0u);
}

TEST(OrbClientWire, EndpointsAndValidators)
{
    struct Row {
        const char *text;
        uint32_t index;
        bool valid;
    } rows[] = {
        {"tcp:h:1", 4, true},          {"tcp:/h:1", 5, true},      {"tcp://h:1", 6, true},
        {"tcp", 0, false},             {"a,b:c", 0, false},        {"tcp:h:0", 4, false},
        {"tcp:h:65536", 4, false},     {"tcp:h:65535", 4, true},   {"tcp:h:x1", 4, false},
        {"foo://x", 6, true},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(wq_addr_index(r.text), r.index) << r.text;
        EXPECT_EQ(wq_Endpoint::is_valid(r.text), r.valid) << r.text;
    }
    EXPECT_STREQ(wq_Endpoint::why_not_valid("foo://x"), "[endpoint validation for this transport not loaded]");
    EXPECT_FALSE(wq_Endpoint::is_valid(nullptr));
    EXPECT_STREQ(wq_Endpoint::why_not_valid(nullptr), "endpoint is a null pointer");
    EXPECT_NE(wq_NetCircuitFactory::lookup("tcp://h:1"), nullptr);
    EXPECT_EQ(wq_NetCircuitFactory::lookup("tcpv6://h:1"), nullptr);
}

namespace {

struct IorRow {
    const char *endpoints;
    bool ok;
    uint32_t profiles;
    const char *text;
};

// Reads back the IOR's profile tags and first profile's port or text.
std::vector<uint32_t> tags_of(const B &ior, std::vector<B> *bodies = nullptr)
{
    PrivEnv e;
    Stream s(e.w);
    fill(s, ior);
    CORBA::String_var id;
    s >> id;
    uint32_t n = 0;
    s.read_4(&n);
    std::vector<uint32_t> tags;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t tag, len;
        s.read_4(&tag);
        s.read_4(&len);
        B b(len);
        s.read_array_1(b.data(), len);
        tags.push_back(tag);
        if (bodies)
            bodies->push_back(b);
    }
    return tags;
}

} // namespace

TEST(OrbClientWire, IorWriter)
{
    const unsigned char key[] = {0xB5, 'k'};
    const IorRow rows[] = {
        {"tcp:hostA:2000, tcp://hostB:2001", true, 2, nullptr},
        {"tcp:hostA", false, 0, "tcp:hostA"},
        {"tcp:hostA:0", false, 0, "tcp:hostA:0"},
        {"tcp:h:1,tcp:hostB:99999", false, 0, "tcp:hostB:99999"},
        {"udp:x:1", true, 1, nullptr},
        {"", false, 0, "null endpoint list"},
        {"tcp:a:1,tcp:a:2,tcp:a:3,tcp:a:4,tcp:a:5,tcp:a:6,tcp:a:7,tcp:a:8,tcp:a:9,tcp:a:10,tcp:a:11,tcp:a:12,"
         "tcp:a:13,tcp:a:14,tcp:a:15,tcp:a:16,tcp:a:17",
         false, 0, "more than 16 endpoints"},
    };
    for (const IorRow &r : rows) {
        PrivEnv e;
        Stream s(e.w);
        wq_write_ior(s, key, 2, r.endpoints, "IDL:T:1.0", nullptr, false, e.w);
        EXPECT_EQ(!e.pending(), r.ok) << r.endpoints;
        if (!r.ok) {
            EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/BAD_PARAM:1.0");
            EXPECT_EQ(e.minor(), 0x5157002Cu);
            EXPECT_STREQ(e.text(), r.text);
            continue;
        }
        std::vector<B> bodies;
        auto tags = tags_of(written(s), &bodies);
        ASSERT_EQ(tags.size(), r.profiles);
        if (r.profiles == 2) {
            LE b;
            b.o(1).o(1).o(0).str("hostB").s(2001).seq({0xB5, 'k'});
            EXPECT_EQ(tags[1], 0u);
            EXPECT_EQ(bodies[1], b.b);
        } else {
            LE b;
            b.o(1).o(1).o(0).str("udp:x:1").seq({0xB5, 'k'}).u(0);
            EXPECT_EQ(tags[0], WQ_TAG_OTHER_ENDPOINT);
            EXPECT_EQ(bodies[0], b.b);
        }
    }
    // A banded policy adds one profile.
    RTCORBA::PriorityBand bands[2] = {{1, 10}, {11, 20}};
    wq_PolicyNode node;
    PrivEnv e;
    node.set_policy(new RTCORBA::PriorityBandedConnectionPolicy(bands, 2), e.w);
    Stream s(e.w);
    wq_write_ior(s, key, 2, "tcp:h:1", "IDL:T:1.0", &node, false, e.w);
    std::vector<B> bodies;
    auto tags = tags_of(written(s), &bodies);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1], WQ_TAG_PRIORITY_BANDS);
    EXPECT_EQ(bodies[1], band_profile({{1, 10}, {11, 20}}));
}

TEST(OrbClientWire, IorReadAndRemarshalledUnchanged)
{
    // An IIOP 1.2 profile with two tagged components, an unknown profile, and
    // an IIOP 1.0 profile: read into a reference and written back byte for byte.
    LE p12;
    p12.o(1).o(1).o(2).str("127.0.0.1").s(4321).seq({9, 8, 7});
    p12.u(2).u(0).seq({0, 1, 1, 0}).u(0x51574B01).seq({1, 2, 3, 4, 5});
    LE p10;
    p10.o(1).o(1).o(0).str("hostB").s(10).seq({5});
    LE ior;
    ior.str("IDL:Test/Remarshal:1.0").u(3);
    ior.u(0).u(uint32_t(p12.b.size())).raw(p12.b);
    ior.u(77).u(3).raw({1, 2, 3});
    ior.u(0).u(uint32_t(p10.b.size())).raw(p10.b);
    PrivEnv e;
    Stream in(e.w);
    fill(in, ior.b);
    CORBA::Object *obj = in.read_object("IDL:Test/Remarshal:1.0");
    ASSERT_NE(obj, nullptr) << e.id();
    auto *t = dynamic_cast<wq_TargetIIOP *>(obj->wq_target());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->info().endpoint, "tcp:127.0.0.1:4321");
    EXPECT_EQ(t->info().key, (B{9, 8, 7}));
    EXPECT_EQ(t->info().iiop_minor, 2);
    Stream out(e.w);
    out.write_object(obj);
    EXPECT_EQ(written(out), ior.b);
    CORBA::release(obj);

    // An empty type id (a reference of type Object) is kept as it came.
    LE untyped;
    untyped.u(1).o(0).u(1).u(0).u(uint32_t(p10.b.size())).raw(p10.b);
    Stream in2(e.w);
    fill(in2, untyped.b);
    CORBA::Object *u = in2.read_object(nullptr);
    ASSERT_NE(u, nullptr);
    Stream out2(e.w);
    out2.write_object(u);
    EXPECT_EQ(written(out2), untyped.b);
    CORBA::release(u);

    // Hostile IORs: each raises and gives nil.
    struct Bad {
        const char *what;
        B bytes;
        const char *id;
    };
    LE unknown_only;
    unknown_only.str("IDL:T:1.0").u(1).u(77).u(0);
    LE too_many;
    too_many.str("IDL:T:1.0").u(100000);
    LE long_body;
    long_body.str("IDL:T:1.0").u(1).u(0).u(0x7FFFFFF0);
    LE bad_comp;
    bad_comp.o(1).o(1).o(1).str("h").s(1).seq({1}).u(5).u(1);
    LE comp_ior;
    comp_ior.str("IDL:T:1.0").u(1).u(0).u(uint32_t(bad_comp.b.size())).raw(bad_comp.b);
    LE no_port;
    no_port.o(1).o(1).o(0).str("h").s(0).seq({1});
    LE port_ior;
    port_ior.str("IDL:T:1.0").u(1).u(0).u(uint32_t(no_port.b.size())).raw(no_port.b);
    const Bad bad[] = {
        {"unknown tags only", unknown_only.b, "IDL:omg.org/CORBA/INV_OBJREF:1.0"},
        {"profile count", too_many.b, "IDL:omg.org/CORBA/MARSHAL:1.0"},
        {"profile length", long_body.b, "IDL:omg.org/CORBA/MARSHAL:1.0"},
        {"component count", comp_ior.b, "IDL:omg.org/CORBA/INV_OBJREF:1.0"},
        {"port 0", port_ior.b, "IDL:omg.org/CORBA/INV_OBJREF:1.0"},
    };
    for (const Bad &b : bad) {
        PrivEnv be;
        Stream s(be.w);
        fill(s, b.bytes);
        EXPECT_EQ(s.read_object("IDL:T:1.0"), nullptr) << b.what;
        EXPECT_STREQ(be.id(), b.id) << b.what;
    }
}

TEST(OrbClientWire, HelperBindChecks)
{
    struct Row {
        const char *cls, *inst, *poa, *eps, *repo;
        const char *id;
        uint32_t minor;
    } rows[] = {
        {"c", "i", nullptr, "tcp:h:1", "NOTIDL", "IDL:omg.org/CORBA/BAD_PARAM:1.0", 0x51570021},
        {"c", "i", nullptr, "", "IDL:T:1.0", "IDL:omg.org/CORBA/BAD_PARAM:1.0", 0x51570027},
        {"c", "i", "P", "tcp:h:1", "IDL:T:1.0", "IDL:omg.org/CORBA/BAD_PARAM:1.0", 0x5157002F},
        {"", "", "P", nullptr, "IDL:T:1.0", "IDL:omg.org/CORBA/BAD_PARAM:1.0", 0x5157002F},
        // A local reference needs the servant factory of the object adapter.
        {"", "", nullptr, nullptr, "IDL:T:1.0", "IDL:omg.org/CORBA/MARSHAL:1.0", 0x51570105},
    };
    for (const Row &r : rows) {
        PrivEnv e;
        EXPECT_EQ(CORBA::Object::Helper::bind(r.cls, r.inst, r.poa, nullptr, 0, r.eps, r.repo, false, false, e.w),
                  nullptr);
        EXPECT_STREQ(e.id(), r.id) << r.repo;
        EXPECT_EQ(e.minor(), r.minor) << r.repo;
    }
    PrivEnv e;
    const unsigned char k[1] = {1};
    EXPECT_EQ(CORBA::Object::Helper::foreign_bind(k, 0, "tcp:h:1", "IDL:T:1.0", false, false, e.w), nullptr);
    EXPECT_EQ(e.minor(), 0x51570029u);
    // A remote bind without verification builds an unbound reference.
    PrivEnv e2;
    CORBA::Object *o =
        CORBA::Object::Helper::bind("c", "h_1", nullptr, nullptr, 0, "tcp:127.0.0.1:9", "IDL:T:1.0", false, false, e2.w);
    ASSERT_NE(o, nullptr) << e2.id();
    EXPECT_FALSE(o->wq_bound());
    auto *t = dynamic_cast<wq_TargetIIOP *>(o->wq_target());
    ASSERT_NE(t, nullptr);
    wq_Key key(t->info().key.data(), uint32_t(t->info().key.size()));
    key.parse();
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(t->info().key.data()) + key.poa_start, 7), "RootPOA");
    EXPECT_EQ(key.id_length, 9u); // the repository id
    // No target: _non_existent true, _is_a false; _request on nothing.
    CORBA::Object empty;
    EXPECT_TRUE(empty._non_existent(e2.w));
    EXPECT_FALSE(empty._is_a("IDL:T:1.0", e2.w));
    wq_ThreadEnvironment tenv;
    EXPECT_EQ(empty._request("op", false, e2.w, tenv), nullptr);
    EXPECT_STREQ(e2.id(), "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0");
    CORBA::release(o);
}

namespace {
struct TestPolicy : CORBA::Policy {
    explicit TestPolicy(CORBA::PolicyType t, int v = 0) : CORBA::Policy(t), value(v) {}
    CORBA::Policy *copy() const override { return new TestPolicy(policy_type, value); }
    int value;
};
} // namespace

TEST(OrbClientWire, PolicyNodesAndOverrides)
{
    PrivEnv e;
    wq_PolicyNode n;
    n.set_policy(new TestPolicy(5, 1), e.w);
    n.set_policy(new TestPolicy(5, 2), e.w);
    n.set_policy(new TestPolicy(31), e.w);
    n.set_policy(new TestPolicy(32), e.w);
    n.set_policy(new TestPolicy(63), e.w);
    EXPECT_EQ(static_cast<TestPolicy *>(n.get_policy(5, e.w))->value, 2);
    int count = 0;
    for (CORBA::Policy *p = n.head(); p; p = p->wq_next)
        ++count;
    EXPECT_EQ(count, 4);
    for (uint32_t t : {31u, 32u, 63u})
        EXPECT_NE(n.get_policy(t, e.w), nullptr) << t;
    EXPECT_EQ(n.get_policy(64, e.w), nullptr);
    n.set_policy(new TestPolicy(64), e.w);
    EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/BAD_PARAM:1.0");
    e.w.clear();
    // Assignment into a node that holds policies replaces them.
    wq_PolicyNode m;
    m.set_policy(new TestPolicy(7), e.w);
    m = n;
    EXPECT_EQ(m.get_policy(7, e.w), nullptr);
    EXPECT_EQ(static_cast<TestPolicy *>(m.get_policy(5, e.w))->value, 2);
    wq_PolicyNode empty;
    m = empty;
    EXPECT_TRUE(m.empty());

    // Reference overrides: type 70 is skipped, ADD keeps earlier ones.
    PrivEnv e2;
    CORBA::Object *o =
        CORBA::Object::Helper::bind("c", "i", nullptr, nullptr, 0, "tcp:127.0.0.1:9", "IDL:T:1.0", false, false, e2.w);
    ASSERT_NE(o, nullptr);
    CORBA::PolicyList l(2);
    l.length(2);
    l[0] = new TestPolicy(3);
    l[1] = new TestPolicy(70);
    CORBA::Object *o2 = o->_set_policy_overrides(l, CORBA::SET_OVERRIDE, e2.w);
    ASSERT_NE(o2, nullptr);
    EXPECT_NE(o2->_get_policy(3, e2.w), nullptr);
    EXPECT_EQ(o2->_get_policy(70, e2.w), nullptr);
    CORBA::PolicyList l2(1);
    l2.length(1);
    l2[0] = new TestPolicy(4);
    CORBA::Object *o3 = o2->_set_policy_overrides(l2, CORBA::ADD_OVERRIDE, e2.w);
    EXPECT_NE(o3->_get_policy(3, e2.w), nullptr);
    EXPECT_NE(o3->_get_policy(4, e2.w), nullptr);
    EXPECT_TRUE(o3->_is_equivalent(o, e2.w));
    // Same interface, same endpoint, another object: not equivalent.
    CORBA::Object *other = CORBA::Object::Helper::bind("c", "i", nullptr, reinterpret_cast<const unsigned char *>("x"),
                                                       1, "tcp:127.0.0.1:9", "IDL:T:1.0", false, false, e2.w);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(other->_is_equivalent(o, e2.w));
    CORBA::Object *same = CORBA::Object::Helper::bind("c", "i", nullptr, nullptr, 0, "tcp:127.0.0.1:9", "IDL:T:1.0",
                                                      false, false, e2.w);
    EXPECT_TRUE(same->_is_equivalent(o, e2.w));
    CORBA::release(same);
    CORBA::release(other);
    CORBA::release(o3);
    CORBA::release(o2);
    CORBA::release(o);
}

TEST(OrbClientWire, InterfaceRegistry)
{
    wq_InterfaceRegistry &r = *wq_interface_registry_get();
    wq_Interface *a = r.find_or_create("IDL:Reg/Derived:1.0", true);
    wq_Interface *b = r.find_or_create("IDL:Reg/Derived:1.0", true);
    EXPECT_EQ(a, b);
    std::string keyed = std::string("IDL:Reg/Derived:1.0") + char(0xB5) + "rest";
    wq_Interface *c = r.NI_find(keyed.c_str(), true);
    EXPECT_EQ(c, a);
    wq_Stub::reg("IDL:Reg/Derived:1.0", "IDL:Reg/Middle:1.0", true);
    wq_Stub::reg("IDL:Reg/Middle:1.0", "IDL:Reg/Base:1.0", true);
    EXPECT_TRUE(a->is_a("IDL:Reg/Base:1.0"));
    wq_Interface *base = r.NI_find("IDL:Reg/Base:1.0", true);
    EXPECT_FALSE(base->is_a("IDL:Reg/Derived:1.0"));
    // Signatures.
    a->add_parameter("op", 3, 0, 2, CORBA::wq_tc_long, true);
    uint32_t n = 9;
    wq_ParameterInfo *pi = a->get_parameters("op", n, true);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(pi[0].typecode, nullptr);
    delete[] pi;
    pi = a->get_parameters("nothing", n, true);
    EXPECT_EQ(n, 0u);
    delete[] pi;
    EXPECT_EQ(a->get_result("nothing", true), nullptr);
    for (wq_Interface *i : {a, b, c, base})
        i->_remove_ref(true);
    // Removing Derived leaves Middle held by the registry.
    r.remove_interface_proxy("IDL:Reg/Derived:1.0", true);
    EXPECT_EQ(r.NI_find("IDL:Reg/Derived:1.0", true), nullptr);
    wq_Interface *mid = r.NI_find("IDL:Reg/Middle:1.0", true);
    ASSERT_NE(mid, nullptr);
    EXPECT_EQ(mid->refcount(), 2);
    mid->_remove_ref(true);
    r.remove_interface_proxy("IDL:Reg/Nope:1.0", true);
}

namespace {
struct Typed : CORBA::Object {
    explicit Typed(CORBA::Target *t) : CORBA::Object(t) {}
};
struct TypedFactory : CORBA::ProxyFactory {
    TypedFactory() : CORBA::ProxyFactory("IDL:Proxy/Typed:1.0", true) {}
    CORBA::Object *create(CORBA::Target *t, PortableServer::ServantBase *, const CORBA::EnvironmentWrapper &) override
    {
        return new Typed(t);
    }
};
} // namespace

TEST(OrbClientWire, ProxyFactoryBuildsTypedReferences)
{
    static TypedFactory factory;
    LE p;
    p.o(1).o(1).o(0).str("h").s(1).seq({1});
    // The registered id, and an unknown id read as that interface.
    for (const char *id : {"IDL:Proxy/Typed:1.0", "IDL:Proxy/Unknown:1.0"}) {
        LE ior;
        ior.str(id).u(1).u(0).u(uint32_t(p.b.size())).raw(p.b);
        PrivEnv e;
        Stream s(e.w);
        fill(s, ior.b);
        CORBA::Object *o = s.read_object("IDL:Proxy/Typed:1.0");
        ASSERT_NE(o, nullptr) << id;
        EXPECT_NE(dynamic_cast<Typed *>(o), nullptr) << id;
        // The unknown id was not entered in the registry.
        wq_Interface *entry = wq_interface_registry_get()->NI_find(id, true);
        EXPECT_EQ(entry != nullptr, std::strcmp(id, "IDL:Proxy/Typed:1.0") == 0) << id;
        if (entry)
            entry->_remove_ref(true);
        CORBA::Object *c = o->_copy(e.w);
        EXPECT_NE(dynamic_cast<Typed *>(c), nullptr) << id;
        EXPECT_TRUE(c->_is_equivalent(o, e.w));
        CORBA::release(c);
        CORBA::release(o);
    }
    // Nil references and a reference without a target.
    PrivEnv e;
    Stream s(e.w);
    s.write_object(nullptr);
    EXPECT_EQ(s.read_object("IDL:Proxy/Typed:1.0"), nullptr);
    EXPECT_FALSE(e.pending());
    CORBA::Object none;
    s.write_object(&none);
    EXPECT_EQ(e.minor(), 0x51570024u);
}

TEST(OrbClientWire, ServerSideRequestHeader)
{
    // What a server reads from a request this broker writes.
    PrivEnv e;
    Stream s(e.w);
    wq_RequestContexts ctx;
    ctx.priority = 300;
    ctx.sync_server = true;
    const unsigned char key[4] = {0xB5, 1, 2, 3};
    wq_write_request_header(s, ctx, 0, key, 4, "ping");
    s << 77;
    B w = written(s);
    w[8] = uint8_t(w.size() - 12);
    Stream r(e.w);
    fill(r, w);
    wq_GIOP::MessageHeader h;
    r >> h;
    EXPECT_EQ(h.size, w.size() - 12);
    wq_GIOP::RequestHeader q;
    wq_read_request(r, q);
    ASSERT_FALSE(e.pending()) << e.id();
    EXPECT_EQ(q.priority, 300);
    EXPECT_TRUE(q.sync_server);
    EXPECT_EQ(q.response_expected, 0);
    EXPECT_EQ(B(q.key, q.key + q.key_length), B(key, key + 4));
    EXPECT_STREQ(q.operation, "ping");
    int32_t arg = 0;
    r.read_4(&arg);
    EXPECT_EQ(arg, 77);
    // A key longer than 255 bytes is refused.
    LE bad;
    bad.raw("GIOP", 4).o(1).o(0).o(1).o(0).u(0).u(0).u(1).o(1).u(300).raw(B(300, 0));
    Stream b(e.w);
    fill(b, bad.b);
    b >> h;
    wq_read_request(b, q);
    EXPECT_TRUE(e.is_marshal());
}
