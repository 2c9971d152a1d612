// Broker client path over real sockets: a scripted GIOP 1.0 server on
// 127.0.0.1 answers a hand-written stub; replies out of order to several
// threads, forwards, hostile replies, closed ports and reconnection.
#include "giop_server.h"

#include "corba_object.h"
#include "corba_orb.h"
#include "corba_policy.h"
#include "orb/test_watchdog.h"
#include "wq_circuit.h"
#include "wq_stub.h"
#include "wq_target.h"

#include <gtest/gtest.h>

#include <thread>

using B = std::vector<uint8_t>;

namespace {

const char *const kRepo = "IDL:Test/Twice:1.0";

struct Settings {
    Settings()
    {
        CORBA::ORB::_orb_state = 1;
        CORBA::ORB::_conn_retries = 0;
        CORBA::ORB::_retry_delay = 0;
    }
};
Settings settings;

// The stub of "long twice(in long v)".
int32_t twice(CORBA::Object *obj, int32_t v, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return 0;
    wq_ThreadEnvironment tenv;
    for (;;) {
        CORBA::Request *r = obj->_request("twice", false, env, tenv);
        if (env.pending())
            return 0;
        r->request_stream() << v;
        r->invoke(tenv);
        if (!env.pending()) {
            int32_t out = 0;
            r->reply_stream().read_4(&out);
            CORBA::release(r, tenv);
            return env.pending() ? 0 : out;
        }
        CORBA::release(r, tenv);
        if (!wq_Stub::need_remarshal(nullptr, env))
            return 0;
        env.clear();
    }
}

CORBA::Object *ref(const std::string &endpoint, const CORBA::EnvironmentWrapper &env, bool locate = false)
{
    const unsigned char key[] = {'k', 'e', 'y'};
    return CORBA::Object::Helper::foreign_bind(key, 3, endpoint.c_str(), kRepo, false, locate, env);
}

B ior_for(uint16_t port)
{
    LE p;
    p.o(1).o(1).o(0).str("127.0.0.1").s(port).seq({'f', 'w', 'd'});
    LE i;
    i.str(kRepo).u(1).u(0).u(uint32_t(p.b.size())).raw(p.b);
    return i.b;
}

B long_result(int32_t v)
{
    LE x;
    x.u(uint32_t(v));
    return x.b;
}

// Answers "twice" requests until the client goes away.
void serve_twice(ScriptServer &s, int fd)
{
    GiopReq q;
    while (s.read(fd, q))
        ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, long_result(q.arg * 2)));
}

} // namespace

TEST(OrbClientCircuit, ReplyStatusesAndForwards)
{
    ScriptServer b(serve_twice);
    std::atomic<uint16_t> self_port{0};
    ScriptServer a([&](ScriptServer &s, int fd) {
        GiopReq q;
        while (s.read(fd, q)) {
            B out;
            switch (q.arg) {
            case 2: {
                LE x;
                x.str("IDL:Test/NotRegistered:1.0");
                out = ScriptServer::reply(q.id, 1, x.b);
                break;
            }
            case 3: {
                LE x;
                x.str("IDL:omg.org/CORBA/BAD_OPERATION:1.0").u(0x4F4D0007).u(1);
                out = ScriptServer::reply(q.id, 2, x.b);
                break;
            }
            case 4:
                out = ScriptServer::reply(q.id, 3, ior_for(b.port()));
                break;
            case 5:
                out = ScriptServer::reply(q.id, 3, ior_for(self_port));
                break;
            case 10: // a string result whose last byte is not its NUL
                out = ScriptServer::reply(q.id, 0, {3, 0, 0, 0, 'a', 'b', 'c'});
                break;
            default:
                out = ScriptServer::reply(q.id, 0, long_result(q.arg * 2));
            }
            ScriptServer::send_all(fd, out);
        }
    });
    self_port = a.port();
    PrivEnv e;
    CORBA::Object *obj = ref(a.endpoint(), e.w);
    ASSERT_NE(obj, nullptr) << e.id();

    struct Row {
        int32_t arg;
        int32_t result;
        const char *id;
        uint32_t minor;
    } rows[] = {
        {1, 2, nullptr, 0},
        {2, 0, "IDL:omg.org/CORBA/UNKNOWN:1.0", 0x51570003},
        {3, 0, "IDL:omg.org/CORBA/BAD_OPERATION:1.0", 0x4F4D0007},
        {7, 14, nullptr, 0},
    };
    for (const Row &r : rows) {
        PrivEnv re;
        EXPECT_EQ(twice(obj, r.arg, re.w), r.result) << r.arg;
        EXPECT_STREQ(re.pending() ? re.id() : "", r.id ? r.id : "") << r.arg;
        if (r.id) {
            EXPECT_EQ(re.minor(), r.minor);
        }
    }
    // A nested request on the same thread does not reuse the busy one.
    {
        PrivEnv ne;
        wq_ThreadEnvironment tenv;
        CORBA::Request *r1 = obj->_request("twice", false, ne.w, tenv);
        CORBA::Request *r2 = obj->_request("twice", false, ne.w, tenv);
        ASSERT_TRUE(r1 && r2);
        EXPECT_NE(r1, r2);
        r1->request_stream() << 20;
        r2->request_stream() << 30;
        r2->invoke(tenv);
        int32_t v2 = 0;
        r2->reply_stream().read_4(&v2);
        CORBA::release(r2, tenv);
        r1->invoke(tenv);
        int32_t v1 = 0;
        r1->reply_stream().read_4(&v1);
        CORBA::release(r1, tenv);
        EXPECT_EQ(v1, 40);
        EXPECT_EQ(v2, 60);
        EXPECT_FALSE(ne.pending());
    }
    // A result string that does not end in its NUL is refused with the
    // read error, not shortened.
    {
        PrivEnv se;
        wq_ThreadEnvironment tenv;
        CORBA::Request *r = obj->_request("twice", false, se.w, tenv);
        ASSERT_NE(r, nullptr);
        r->request_stream() << 10;
        r->invoke(tenv);
        EXPECT_FALSE(se.pending());
        char *str = nullptr;
        r->reply_stream() >> CORBA::Stream::to_string(str);
        CORBA::release(r, tenv);
        EXPECT_EQ(str, nullptr);
        EXPECT_STREQ(se.id(), "IDL:omg.org/CORBA/MARSHAL:1.0");
        EXPECT_EQ(se.minor(), 0x51570101u);
    }
    // LOCATION_FORWARD: the stub sends again to the forward target, and the
    // reference keeps using it.
    PrivEnv fe;
    EXPECT_EQ(twice(obj, 4, fe.w), 8);
    EXPECT_FALSE(fe.pending());
    EXPECT_EQ(twice(obj, 6, fe.w), 12);
    EXPECT_EQ(b.requests.load(), 2);
    // _unfail drops the forward: calls go to the reference's own address
    // again, and a new forward is followed again.
    obj->_unfail(fe.w);
    EXPECT_EQ(twice(obj, 8, fe.w), 16);
    EXPECT_EQ(b.requests.load(), 2);
    EXPECT_EQ(twice(obj, 4, fe.w), 8);
    EXPECT_EQ(twice(obj, 9, fe.w), 18);
    EXPECT_EQ(b.requests.load(), 4);
    EXPECT_FALSE(fe.pending());
    CORBA::release(obj);

    // A server forwarding to itself forever: bounded by IMP_LIMIT.
    PrivEnv le;
    CORBA::Object *loop = ref(a.endpoint(), le.w);
    EXPECT_EQ(twice(loop, 5, le.w), 0);
    EXPECT_STREQ(le.id(), "IDL:omg.org/CORBA/IMP_LIMIT:1.0");
    CORBA::release(loop);
}

TEST(OrbClientCircuit, RepliesOutOfOrderReachTheirThreads)
{
    constexpr int kThreads = 4;
    ScriptServer s([](ScriptServer &srv, int fd) {
        std::vector<GiopReq> reqs(kThreads);
        for (auto &q : reqs)
            if (!srv.read(fd, q))
                return;
        // A reply nobody waits for, then the replies last to first.
        ScriptServer::send_all(fd, ScriptServer::reply(reqs[0].id + 1000, 0, long_result(-1)));
        for (int i = kThreads - 1; i >= 0; --i)
            ScriptServer::send_all(fd, ScriptServer::reply(reqs[size_t(i)].id, 0, long_result(reqs[size_t(i)].arg * 2)));
        GiopReq q;
        while (srv.read(fd, q))
            ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, long_result(q.arg * 2)));
    });
    PrivEnv e;
    CORBA::Object *obj = ref(s.endpoint(), e.w);
    ASSERT_NE(obj, nullptr);
    obj->_bind(e.w);
    ASSERT_FALSE(e.pending()) << e.id();
    wq_MsgEndpoint *ep = wq_msg_endpoint_registry_get()->find_or_create(s.endpoint().c_str(), e.w);
    // The four requests straddle the 32-bit wrap of the wire id.
    ep->circuit(0)->next_request_id(0xFFFFFFFEull);
    std::vector<int32_t> got(kThreads, 0);
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&, i] {
            PrivEnv te;
            got[size_t(i)] = twice(obj, 100 + i, te.w);
        });
    for (auto &t : ts)
        t.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(got[size_t(i)], 2 * (100 + i));
    EXPECT_EQ(ep->circuit(0)->stray_replies.load(), 1u);
    ep->_remove_ref();
    // A lone caller afterwards reads its own reply.
    EXPECT_EQ(twice(obj, 5, e.w), 10);
    CORBA::release(obj);
}

TEST(OrbClientCircuit, HostileRepliesFailTheCircuitThenReconnect)
{
    struct Row {
        const char *what;
        std::function<B(uint32_t id)> answer;
        bool close_after;
        const char *id;
        uint32_t minor;
    };
    LE huge_ctx;
    huge_ctx.u(0x10000000);
    const Row rows[] = {
        {"bad magic", [](uint32_t) { B m = ScriptServer::message(1, B(12, 0)); m[3] = 'X'; return m; }, false,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x5157008C},
        {"version 1.1", [](uint32_t) { B m = ScriptServer::message(1, B(12, 0)); m[5] = 1; return m; }, false,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x5157008C},
        {"flags 2", [](uint32_t) { B m = ScriptServer::message(1, B(12, 0)); m[6] = 2; return m; }, false,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x5157008C},
        {"message error", [](uint32_t) { return ScriptServer::message(6, B()); }, false,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x5157008C},
        {"oversize", [](uint32_t) { B m = ScriptServer::message(1, B()); m[8] = m[9] = m[10] = m[11] = 0xFF; return m; },
         false, "IDL:omg.org/CORBA/IMP_LIMIT:1.0", 0x51570061},
        {"truncated", [](uint32_t) { B m = ScriptServer::message(1, B(100, 0)); m.resize(30); return m; }, true,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x51570082},
        {"close connection", [](uint32_t) { return ScriptServer::message(5, B()); }, false,
         "IDL:omg.org/CORBA/COMM_FAILURE:1.0", 0x51570083},
        {"context list past the message", [&](uint32_t) { return ScriptServer::message(1, huge_ctx.b); }, false,
         "IDL:omg.org/CORBA/MARSHAL:1.0", 0},
        {"unknown id first", [](uint32_t id) {
             B m = ScriptServer::reply(id + 7, 0, long_result(-1));
             B r = ScriptServer::reply(id, 0, long_result(2));
             m.insert(m.end(), r.begin(), r.end());
             return m;
         },
         false, nullptr, 0},
    };
    for (const Row &r : rows) {
        ScriptServer s([&](ScriptServer &srv, int fd) {
            GiopReq q;
            if (srv.connections() == 1) {
                if (!srv.read(fd, q))
                    return;
                ScriptServer::send_all(fd, r.answer(q.id));
                if (r.close_after)
                    return;
            }
            serve_twice(srv, fd);
        });
        PrivEnv e;
        CORBA::Object *obj = ref(s.endpoint(), e.w);
        ASSERT_NE(obj, nullptr);
        int32_t v = twice(obj, 1, e.w);
        if (!r.id) {
            EXPECT_EQ(v, 2) << r.what;
            EXPECT_FALSE(e.pending()) << r.what << " " << e.id();
            CORBA::release(obj);
            continue;
        }
        EXPECT_STREQ(e.id(), r.id) << r.what;
        if (r.minor) {
            EXPECT_EQ(e.minor(), r.minor) << r.what << " " << e.text();
        }
        e.w.clear();
        // The endpoint stays failed until _unfail; then the call reconnects.
        twice(obj, 1, e.w);
        EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/COMM_FAILURE:1.0") << r.what;
        e.w.clear();
        obj->_unfail(e.w);
        EXPECT_EQ(twice(obj, 21, e.w), 42) << r.what << " " << e.id();
        EXPECT_EQ(s.connections(), 2) << r.what;
        CORBA::release(obj);
    }
}

TEST(OrbClientCircuit, ServerClosingFailsEveryWaiterButAParkedReply)
{
    // Callers on one connection, each started once the server has the
    // request of the one before (the first reads for all). The server
    // answers some, then ends the connection. A caller whose reply was read
    // (and parked for it) before the end gets that reply; every other gets
    // COMM_FAILURE, COMPLETED_MAYBE (its request was written).
    struct Row {
        const char *what;
        int callers;
        std::function<void(int fd, const std::vector<GiopReq> &)> answer;
        std::vector<bool> answered; // per caller, in sending order
    };
    const Row rows[] = {
        {"half a reply, then the end", 3,
         [](int fd, const std::vector<GiopReq> &q) {
             B m = ScriptServer::reply(q.back().id, 0, long_result(1));
             m.resize(16);
             ScriptServer::send_all(fd, m);
         },
         {false, false, false}},
        {"the second caller's reply, then the end", 2,
         [](int fd, const std::vector<GiopReq> &q) {
             ScriptServer::send_all(fd, ScriptServer::reply(q[1].id, 0, long_result(q[1].arg * 2)));
         },
         {false, true}},
        {"the third caller's reply, then half of the second's", 3,
         [](int fd, const std::vector<GiopReq> &q) {
             B m = ScriptServer::reply(q[2].id, 0, long_result(q[2].arg * 2));
             B half = ScriptServer::reply(q[1].id, 0, long_result(1));
             half.resize(20);
             m.insert(m.end(), half.begin(), half.end());
             ScriptServer::send_all(fd, m);
         },
         {false, false, true}},
    };
    for (const Row &r : rows) {
        for (int round = 0; round < 20; ++round) {
            ScriptServer s([&](ScriptServer &srv, int fd) {
                std::vector<GiopReq> q(size_t(r.callers));
                for (auto &one : q)
                    if (!srv.read(fd, one))
                        return;
                r.answer(fd, q);
            });
            PrivEnv e;
            CORBA::Object *obj = ref(s.endpoint(), e.w);
            obj->_bind(e.w);
            ASSERT_FALSE(e.pending()) << e.id();
            std::vector<int32_t> got(size_t(r.callers), 0);
            std::vector<std::string> failed(size_t(r.callers));
            std::vector<std::thread> ts;
            for (int i = 0; i < r.callers; ++i) {
                ts.emplace_back([&, i] {
                    PrivEnv te;
                    got[size_t(i)] = twice(obj, 10 + i, te.w);
                    if (te.pending()) {
                        auto *c = CORBA::COMM_FAILURE::_downcast(te.w.exception());
                        failed[size_t(i)] = c && c->completed() == CORBA::COMPLETED_MAYBE
                                                ? "COMM_FAILURE maybe"
                                                : std::string(te.id()) + " " + te.text();
                    }
                });
                // The next caller once the server has this one's request
                // (bounded: 10 s).
                for (int w = 0; w < 10000 && s.requests.load() <= i; ++w)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ASSERT_GT(s.requests.load(), i) << r.what;
            }
            for (auto &t : ts)
                t.join();
            for (int i = 0; i < r.callers; ++i) {
                if (r.answered[size_t(i)]) {
                    EXPECT_EQ(got[size_t(i)], 2 * (10 + i)) << r.what << ", caller " << i << ": " << failed[size_t(i)];
                    EXPECT_EQ(failed[size_t(i)], "") << r.what << ", caller " << i;
                } else {
                    EXPECT_EQ(failed[size_t(i)], "COMM_FAILURE maybe") << r.what << ", caller " << i;
                }
            }
            CORBA::release(obj);
            if (HasFailure())
                return;
        }
    }
}

TEST(OrbClientCircuit, ClosedPortAndLocate)
{
    uint16_t port = 0;
    ::close(ScriptServer::loopback_socket(port));
    std::string closed = "tcp:127.0.0.1:" + std::to_string(port);
    CORBA::ORB::_conn_retries = 2;
    CORBA::ORB::_retry_delay = 10000;
    PrivEnv e;
    CORBA::Object *obj = ref(closed, e.w);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(twice(obj, 1, e.w), 0);
    EXPECT_EQ(e.minor(), 0x5157002Cu);
    EXPECT_STREQ(e.text(), "Perhaps the host name or port was invalid??");
    EXPECT_FALSE(obj->wq_bound());
    e.w.clear();
    twice(obj, 1, e.w);
    EXPECT_STREQ(e.text(), "circuit previously failed - to reconnect call _unfail() on obj ref to or demarshal an IOR "
                           "with endpoint");
    CORBA::release(obj);
    CORBA::ORB::_conn_retries = 0;
    CORBA::ORB::_retry_delay = 0;

    // Locate: OBJECT_HERE gives the reference, UNKNOWN_OBJECT an exception.
    for (uint32_t status : {1u, 0u}) {
        ScriptServer s([&](ScriptServer &srv, int cfd) {
            GiopReq q;
            while (srv.read(cfd, q)) {
                LE body;
                body.u(q.id).u(q.type == 3 && q.key == B{'k', 'e', 'y'} ? status : 0);
                ScriptServer::send_all(cfd, ScriptServer::message(4, body.b));
            }
        });
        PrivEnv le;
        CORBA::Object *o = ref(s.endpoint(), le.w, true);
        if (status == 1) {
            ASSERT_NE(o, nullptr) << le.id();
            CORBA::release(o);
        } else {
            EXPECT_EQ(o, nullptr);
            EXPECT_STREQ(le.id(), "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0");
        }
    }
}

TEST(OrbClientCircuit, BandedEndpointBindsEachBand)
{
    // Two bands: the endpoint opens the non-banded circuit and one per band,
    // and binds each band circuit with _bind_priority_band before use.
    for (uint32_t bind_status : {0u, 2u}) {
        std::atomic<int> binds{0};
        ScriptServer s([&](ScriptServer &srv, int fd) {
            GiopReq q;
            while (srv.read(fd, q)) {
                if (q.op == "_bind_priority_band") {
                    if (q.has_range && ((q.low == 1 && q.high == 10) || (q.low == 11 && q.high == 20)))
                        ++binds;
                    LE x;
                    if (bind_status == 2)
                        x.str("IDL:omg.org/CORBA/NO_PERMISSION:1.0").u(0x4F4D0001).u(1);
                    ScriptServer::send_all(fd, ScriptServer::reply(q.id, bind_status, x.b));
                    continue;
                }
                ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, long_result(q.arg * 2)));
            }
        });
        LE p;
        p.o(1).o(1).o(0).str("127.0.0.1").s(s.port()).seq({'b'});
        B band = band_profile({{1, 10}, {11, 20}});
        LE ior;
        ior.str(kRepo).u(2).u(0).u(uint32_t(p.b.size())).raw(p.b).u(WQ_TAG_PRIORITY_BANDS);
        ior.u(uint32_t(band.size())).raw(band);
        PrivEnv e;
        CORBA::Stream in(e.w);
        fill(in, ior.b);
        CORBA::Object *obj = in.read_object(kRepo);
        ASSERT_NE(obj, nullptr) << e.id();
        int32_t v = twice(obj, 8, e.w);
        if (bind_status == 0) {
            EXPECT_EQ(v, 16) << e.id();
            EXPECT_EQ(binds.load(), 2);
            EXPECT_EQ(s.connections(), 3);
        } else {
            EXPECT_STREQ(e.id(), "IDL:omg.org/CORBA/NO_PERMISSION:1.0");
            EXPECT_EQ(binds.load(), 1);
        }
        CORBA::release(obj);
    }
}

TEST(OrbClientCircuit, OnewaysBySyncScope)
{
    // Scope 1 expects no answer; 2 adds the server context and waits for the
    // server's answer; 3 waits for the target's. A two-way call follows each
    // to show the circuit is still in step.
    std::atomic<int> seen_sync{0}, seen_expect{0};
    ScriptServer s([&](ScriptServer &srv, int fd) {
        GiopReq q;
        while (srv.read(fd, q)) {
            if (q.op == "note") {
                seen_sync += q.sync_ctx;
                seen_expect += q.response;
                if (q.response)
                    ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, B()));
                continue;
            }
            ScriptServer::send_all(fd, ScriptServer::reply(q.id, 0, long_result(q.arg * 2)));
        }
    });
    PrivEnv e;
    CORBA::Object *base = ref(s.endpoint(), e.w);
    for (int16_t scope : {1, 2, 3}) {
        CORBA::PolicyList l(1);
        l.length(1);
        l[0] = new Messaging::SyncScopePolicy(scope);
        CORBA::Object *obj = base->_set_policy_overrides(l, CORBA::SET_OVERRIDE, e.w);
        ASSERT_NE(obj, nullptr);
        wq_ThreadEnvironment tenv;
        CORBA::Request *r = obj->_request("note", false, e.w, tenv);
        ASSERT_NE(r, nullptr);
        r->request_stream() << 5;
        r->send_oneway();
        CORBA::release(r, tenv);
        EXPECT_FALSE(e.pending()) << scope << " " << e.id();
        EXPECT_EQ(twice(obj, scope, e.w), 2 * scope);
        CORBA::release(obj);
    }
    EXPECT_EQ(seen_sync.load(), 1);
    EXPECT_EQ(seen_expect.load(), 2);
    CORBA::release(base);
}

TEST(OrbClientCircuit, ReconnectWhileAWaiterIsBlocked)
{
    // The first connection never answers. The endpoint is failed and
    // unfailed; the next call reconnects, which ends the old connection: its
    // waiter gets COMM_FAILURE and the new call its reply.
    ScriptServer s([](ScriptServer &srv, int fd) {
        GiopReq q;
        if (srv.connections() == 1) {
            while (srv.read(fd, q)) {
            }
            return;
        }
        serve_twice(srv, fd);
    });
    PrivEnv e;
    CORBA::Object *obj = ref(s.endpoint(), e.w);
    obj->_bind(e.w);
    ASSERT_FALSE(e.pending());
    std::string waiter_got;
    std::thread waiter([&] {
        PrivEnv we;
        twice(obj, 1, we.w);
        waiter_got = we.id();
    });
    for (int i = 0; i < 500 && s.requests.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(s.requests.load(), 1);
    obj->_fail(e.w);
    obj->_unfail(e.w);
    EXPECT_EQ(twice(obj, 21, e.w), 42) << e.id();
    waiter.join();
    EXPECT_EQ(waiter_got, "IDL:omg.org/CORBA/COMM_FAILURE:1.0");
    EXPECT_EQ(s.connections(), 2);
    CORBA::release(obj);
}
