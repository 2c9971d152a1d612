// Collocated calls on a reference while another thread deactivates and
// releases the servant: the call holds the servant until it returns, and a
// call that finds the servant on its way out is refused, never served by it.
// Likewise a request never takes a POA whose last release has begun.
#include "portable_server.h"
#include "wq_servant_registry.h"
#include "orb/test_watchdog.h"
#include "orb_server/server_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using PortableServer::ServantBase;

constexpr char const *kId = "IDL:Test/Colloc:1.0";
constexpr uint32_t kTag = 0x600DF00D;

std::atomic<bool> g_entered{false};  // a collocated call reached the servant
std::atomic<bool> g_released{false}; // the other thread has released it
std::atomic<int> g_deleted{0};
std::atomic<bool> g_freed_in_call{false};

// Waits (bounded) in the middle of a collocated call until the other thread
// has deactivated and released the servant.
void wait_in_call()
{
    g_entered.store(true);
    for (int i = 0; i < 2000 && !g_released.load(); ++i)
        std::this_thread::sleep_for(1ms);
    if (g_deleted.load())
        g_freed_in_call.store(true);
}

// Registers itself in the root POA under `name`: its target holds no
// reference on it, so the creator's release is the last one.
struct GateServant : ServantBase {
    explicit GateServant(char const *name) { wq_init(this, kId, true, name, nullptr); }
    ~GateServant() override
    {
        tag = 0;
        g_deleted.fetch_add(1);
    }
    bool _is_a(char const *id, const CORBA::EnvironmentWrapper &env) override
    {
        wait_in_call();
        return tag == kTag && ServantBase::_is_a(id, env);
    }
    bool _non_existent(const CORBA::EnvironmentWrapper &) override
    {
        wait_in_call();
        return tag != kTag;
    }
    volatile uint32_t tag = kTag;
};

// Builds a plain reference and uses the servant it is given while the other
// thread releases it.
struct GateFactory : CORBA::ProxyFactory {
    GateFactory() : CORBA::ProxyFactory(kId, true) {}
    CORBA::Object *create(CORBA::Target *t, ServantBase *s, const CORBA::EnvironmentWrapper &) override
    {
        if (s) {
            wait_in_call();
            seen_tag = static_cast<GateServant *>(s)->tag;
        }
        return new CORBA::Object(t);
    }
    uint32_t seen_tag = 0;
};

// A reference over the servant's own target, as the servant factory makes it.
CORBA::Object *reference(char const *name)
{
    wq_ServantKey key("RootPOA", name, static_cast<uint32_t>(std::strlen(name)));
    wq_TargetLocal *t = wq_ServantRegistry::instance()->find_ref(key);
    return t ? new CORBA::Object(t) : nullptr;
}

enum Op { IS_A, NON_EXISTENT, COPY };

TEST(CollocatedServant, HeldWhileReleasedDuringCall)
{
    ASSERT_NE(srv_test::root_poa(), nullptr);
    static GateFactory factory;
    struct Row {
        Op op;
        bool deactivate; // deactivated before the release
        char const *name;
    } rows[] = {
        {IS_A, true, "gate-a1"},         {IS_A, false, "gate-a2"},
        {NON_EXISTENT, true, "gate-n1"}, {NON_EXISTENT, false, "gate-n2"},
        {COPY, true, "gate-c1"},         {COPY, false, "gate-c2"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        g_entered = false;
        g_released = false;
        g_deleted = 0;
        g_freed_in_call = false;
        factory.seen_tag = 0;
        auto *s = new GateServant(r.name);
        CORBA::Object *obj = reference(r.name);
        ASSERT_NE(obj, nullptr);
        std::thread releaser([&] {
            for (int i = 0; i < 2000 && !g_entered.load(); ++i)
                std::this_thread::sleep_for(1ms);
            wq_PrivateEnv pe;
            if (r.deactivate)
                wq_root_poa->deactivate_object(PortableServer::ObjectId(r.name, std::strlen(r.name)), pe.env);
            EXPECT_FALSE(pe.env.pending());
            s->_remove_ref();
            g_released = true;
        });
        wq_PrivateEnv pe;
        const CORBA::EnvironmentWrapper &env = pe.env;
        if (r.op == IS_A) {
            EXPECT_TRUE(obj->_is_a(kId, env));
        } else if (r.op == NON_EXISTENT) {
            EXPECT_FALSE(obj->_non_existent(env));
        } else {
            CORBA::Object *c = obj->_copy(env);
            EXPECT_NE(c, nullptr);
            EXPECT_EQ(factory.seen_tag, kTag);
            CORBA::release(c);
        }
        releaser.join();
        EXPECT_FALSE(env.pending());
        EXPECT_FALSE(g_freed_in_call.load());
        EXPECT_EQ(g_deleted.load(), 1); // the call's reference was the last
        // The servant is gone: its interface answers, the object does not exist.
        EXPECT_TRUE(obj->_is_a(kId, env));
        EXPECT_TRUE(obj->_non_existent(env));
        EXPECT_FALSE(env.pending());
        CORBA::release(obj);
    }
}

// The servant's last release has begun (its count is spent) but it cannot
// finish while this thread holds the target lists: a collocated call made now
// finds a servant on its way out and is refused; deactivating the object
// leaves the servant alone.
TEST(CollocatedServant, RefusedWhileGoingAway)
{
    ASSERT_NE(srv_test::root_poa(), nullptr);
    char const *name = "gate-going";
    g_released = true; // the servant never waits here
    g_deleted = 0;
    auto *s = new GateServant(name);
    CORBA::Object *obj = reference(name);
    ASSERT_NE(obj, nullptr);
    wq_ThreadEnvironment tenv;
    wq_TargetLocal::_lists_lock.lock_write(tenv);
    testing::internal::CaptureStdout();
    std::thread releaser([&] { s->_remove_ref(); });
    bool spent = false;
    for (int i = 0; i < 2000 && !spent; ++i) {
        spent = s->_refcount_value() < 0;
        if (!spent)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(spent); // the lock stays held until the releaser is joined
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &env = pe.env;
    EXPECT_FALSE(obj->_is_a(kId, env));
    auto *e = CORBA::OBJECT_NOT_EXIST::_downcast(env.exception());
    EXPECT_EQ(e ? e->minor() : 0u, wq_minor_code(WQ_OFS_OBJECT_NOT_EXIST, 3));
    env.clear();
    EXPECT_TRUE(obj->_non_existent(env));
    EXPECT_FALSE(env.pending());
    wq_root_poa->deactivate_object(PortableServer::ObjectId(name, std::strlen(name)), env);
    EXPECT_FALSE(env.pending());
    EXPECT_EQ(g_deleted.load(), 0);
    wq_TargetLocal::_lists_lock.unlock(tenv);
    releaser.join();
    std::string out = testing::internal::GetCapturedStdout();
    // Only the probe of the spent count printed; nobody added or removed a
    // reference on the dying servant.
    EXPECT_EQ(out.find("attempt to"), std::string::npos) << out;
    EXPECT_EQ(g_deleted.load(), 1);
    EXPECT_TRUE(obj->_is_a(kId, env));
    EXPECT_TRUE(obj->_non_existent(env));
    EXPECT_FALSE(env.pending());
    CORBA::release(obj);
}

// A POA's last release has begun but cannot finish (its targets are still
// listed) while this thread holds the target lists: a request for one of its
// objects must not take the POA; it finds no POA of that name.
TEST(CollocatedServant, RequestRefusesPoaGoingAway)
{
    using namespace srv_test;
    ASSERT_NE(srv_test::root_poa(), nullptr);
    auto *mgr = new PortableServer::POAManager();
    mgr->activate();
    PortableServer::POA *p = nullptr;
    PortableServer::POA::init(p, "gate-poa", mgr);
    CORBA::release(mgr);
    ASSERT_NE(p, nullptr);
    auto *s = new CalcServant;
    wq_PrivateEnv pe;
    PortableServer::ObjectId *oid = p->activate_object(s, pe.env);
    ASSERT_NE(oid, nullptr);
    Bytes key = make_key("gate-poa", std::string(reinterpret_cast<char const *>(oid->get_buffer()), oid->length()));
    delete oid;
    wq_ThreadEnvironment tenv;
    {
        // Only this test's reference remains.
        wq_WriteLock g(PortableServer::wq_POA_details::_lists_lock, tenv);
        wq_POARegistry::remove(p);
    }
    wq_TargetLocal::_lists_lock.lock_write(tenv);
    std::thread releaser([p] { PortableServer::POA::_release(p); });
    for (int i = 0; i < 2000 && p->wq_refcount() > 0; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_LT(p->wq_refcount(), 0);
    testing::internal::CaptureStderr();
    auto st = std::make_unique<wq_ReaderState>();
    RecordingSink sink;
    dispatch(*st, request(9, key, "_non_existent"), sink);
    std::string err = testing::internal::GetCapturedStderr();
    wq_TargetLocal::_lists_lock.unlock(tenv);
    releaser.join();
    EXPECT_EQ(err.find("ERROR("), std::string::npos) << err;
    ASSERT_EQ(sink.replies.size(), 1u);
    Reply r = parse_reply(sink.replies[0]);
    EXPECT_EQ(r.status, uint32_t(wq_GIOP::SYSTEM_EXCEPTION));
    uint32_t minor = 0;
    EXPECT_EQ(exception_id(r, &minor), "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0");
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(s->_refcount_value(), 1); // the POA's target is gone
    s->_remove_ref();
}

} // namespace
