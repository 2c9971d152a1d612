// The object adapter: POA registry and names, activation rules, destruction,
// servant reference counts, the servant registry and the POA exceptions.
#include "../orb/test_watchdog.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace PortableServer;
using namespace srv_test;

namespace {

TEST(PoaRegistry, NamesAndDuplicates)
{
    root_poa();
    POA *dup = nullptr;
    POA::init(dup, "RootPOA", wq_global_poa_manager);
    EXPECT_EQ(dup, nullptr); // a taken key name yields no POA
    std::string key = std::string("RootPOA") + '\xB5' + "xyz";
    EXPECT_EQ(wq_POARegistry::NRC_find(key.c_str()), wq_root_poa);
    EXPECT_TRUE(*wq_root_poa == key.c_str());
    EXPECT_FALSE(*wq_root_poa == "RootPOAx");
    EXPECT_EQ(wq_POARegistry::NRC_find("Nope"), nullptr);
    // A second POA of another name; destroy leaves it registered but dead.
    POA *p = nullptr;
    POA::init(p, "Scratch", wq_global_poa_manager);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->wq_live());
    EXPECT_EQ(p->_implicit_activation, IMPLICIT_ACTIVATION);
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    p->destroy(true, false, env);
    EXPECT_EQ(wq_POARegistry::NRC_find("Scratch"), p);
    EXPECT_FALSE(p->wq_live());
    ObjectId *id = p->id(env);
    EXPECT_TRUE(id->equals("Scratch", 7));
    delete id;
}

TEST(PoaActivation, PolicyRulesAndIds)
{
    POA *root = root_poa();
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    auto *s = new CalcServant;
    ObjectId *gen = root->activate_object(s, env);
    ASSERT_FALSE(env.pending());
    ASSERT_NE(gen, nullptr);
    EXPECT_TRUE(s->wq_has_activations(root, true));
    EXPECT_EQ(s->_refcount_value(), 2); // the creator's and the target's

    struct Row {
        char const *what;
        uint32_t assignment, retention, uniqueness;
        bool same_servant;
        char const *id;    // null: the generated one
        char const *expect; // repository id of the exception, null: none
    } rows[] = {
        {"servant already active", SYSTEM_ID, RETAIN, UNIQUE_ID, true, nullptr,
         POA::ServantAlreadyActive::wq_IR_Name},
        {"id not generated here", SYSTEM_ID, RETAIN, MULTIPLE_ID, false, "mine", CORBA::BAD_PARAM::wq_IR_Name},
        {"generated id taken", SYSTEM_ID, RETAIN, MULTIPLE_ID, false, nullptr,
         POA::ObjectAlreadyActive::wq_IR_Name},
        {"non-retain", USER_ID, NON_RETAIN, UNIQUE_ID, false, "x", POA::WrongPolicy::wq_IR_Name},
        {"user id", USER_ID, RETAIN, UNIQUE_ID, false, "user-1", nullptr},
        {"user id taken", USER_ID, RETAIN, MULTIPLE_ID, false, "user-1", POA::ObjectAlreadyActive::wq_IR_Name},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        root->_id_assignment = r.assignment;
        root->_servant_retention = r.retention;
        root->_id_uniqueness = r.uniqueness;
        CalcServant *use = r.same_servant ? s : new CalcServant;
        ObjectId oid = r.id ? ObjectId(r.id, uint32_t(std::strlen(r.id))) : *gen;
        root->activate_object_with_id(oid, use, env);
        if (r.expect) {
            ASSERT_TRUE(env.pending());
            EXPECT_STREQ(env.exception()->wq_ir_name(), r.expect);
        } else {
            EXPECT_FALSE(env.pending());
        }
        env.clear();
        if (!r.same_servant)
            use->_remove_ref();
    }
    root->_id_assignment = USER_ID;
    root->_servant_retention = RETAIN;
    root->_id_uniqueness = UNIQUE_ID;
    root->deactivate_object(ObjectId("user-1", 6), env);
    EXPECT_FALSE(env.pending());
    root->deactivate_object(ObjectId("user-1", 6), env);
    ASSERT_TRUE(env.pending());
    EXPECT_STREQ(env.exception()->wq_ir_name(), POA::ObjectNotActive::wq_IR_Name);
    env.clear();
    root->_id_assignment = SYSTEM_ID;
    root->deactivate_object(*gen, env);
    EXPECT_FALSE(env.pending());
    EXPECT_FALSE(s->wq_has_activations(root, true));
    EXPECT_EQ(s->_refcount_value(), 1);
    delete gen;
    s->_remove_ref();
}

TEST(Servants, CountsAndDeletedUse)
{
    auto *s = new CalcServant;
    s->_add_ref();
    EXPECT_EQ(s->_refcount_value(), 2);
    EXPECT_FALSE(s->_remove_ref());
    EXPECT_TRUE(s->_is_a(kCalcId));
    EXPECT_FALSE(s->_is_a("IDL:Other:1.0"));
    EXPECT_TRUE(s->_remove_ref()); // deleted
}

TEST(Servants, RegistryKeysStopAtSeparator)
{
    POA *root = root_poa();
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    root->_id_assignment = USER_ID;
    auto *s = new CalcServant;
    root->activate_object_with_id(ObjectId("k1", 2), s, env);
    ASSERT_FALSE(env.pending());
    std::string a = std::string("RootPOA") + '\xB5' + "one";
    std::string b = std::string("RootPOA") + '\xB5' + "two";
    wq_ServantKey ka(a.c_str(), "k1", 2), kb(b.c_str(), "k1", 2), kc("RootPOA", "k2", 2);
    EXPECT_EQ(ka.get_hash(), kb.get_hash());
    wq_TargetLocal *t = wq_ServantRegistry::instance()->find_ref(ka);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(wq_ServantRegistry::instance()->NI_find(kb, true), t);
    EXPECT_EQ(wq_ServantRegistry::instance()->NI_find(kc, true), nullptr);
    // Binding the same key again is refused; nothing is chosen instead.
    auto *t2 = new wq_TargetLocal(s, s->wq_interface(), false);
    t2->wq_set_identity(root, "k1", 2);
    EXPECT_FALSE(wq_ServantRegistry::instance()->bind(t2, true));
    wq_ThreadEnvironment tenv;
    t2->_remove_ref(true, tenv);
    t->_remove_ref(true, tenv);
    root->deactivate_object(ObjectId("k1", 2), env);
    EXPECT_FALSE(env.pending());
    root->_id_assignment = SYSTEM_ID;
    s->_remove_ref();
}

// A servant that registers itself, under its own name; a second one of the
// same name takes a generated id; destroying the POA takes the objects out
// of the registry.
struct SelfRegistered : PortableServer::ServantBase {
    SelfRegistered(POA *p) { wq_init(this, kCalcId, true, "self", p); }
};

TEST(Servants, SelfRegistrationAndDestroy)
{
    root_poa();
    POA *p = nullptr;
    POA::init(p, "SelfPOA", wq_global_poa_manager);
    ASSERT_NE(p, nullptr);
    auto *a = new SelfRegistered(p);
    auto *b = new SelfRegistered(p);
    ASSERT_NE(a->wq_own_target, nullptr);
    ASSERT_NE(b->wq_own_target, nullptr); // the name is taken: a generated id
    EXPECT_FALSE(b->wq_own_target->object_id.equals("self", 4));
    wq_ServantKey key("SelfPOA", "self", 4);
    wq_TargetLocal *t = wq_ServantRegistry::instance()->NI_find(key, true);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->servant, a);
    const ObjectId &bid = b->wq_own_target->object_id;
    wq_ServantKey bkey("SelfPOA", bid.get_buffer(), bid.length());
    wq_TargetLocal *tb = wq_ServantRegistry::instance()->NI_find(bkey, true);
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(tb->servant, b);
    wq_PrivateEnv pe;
    p->destroy(false, false, pe.env);
    EXPECT_EQ(wq_ServantRegistry::instance()->NI_find(key, true), nullptr);
    EXPECT_EQ(wq_ServantRegistry::instance()->NI_find(bkey, true), nullptr);
    // A destroyed POA refuses every attempt: the servant stays unregistered.
    auto *c = new SelfRegistered(p);
    EXPECT_EQ(c->wq_own_target, nullptr);
    c->_remove_ref();
    a->_remove_ref();
    b->_remove_ref();
}

// A new POA under the process's POA manager.
POA *child_poa(char const *name)
{
    root_poa();
    POA *p = nullptr;
    POA::init(p, name, wq_global_poa_manager);
    return p;
}

// Records what the POA's destruction tells the activator.
struct RecordingActivator : ServantActivator {
    ServantBase *incarnate(const ObjectId &, POA *, const CORBA::EnvironmentWrapper &) override
    {
        return nullptr;
    }
    void etherealize(const ObjectId &oid, POA *, ServantBase *, bool cleanup, bool remaining,
                     const CORBA::EnvironmentWrapper &) override
    {
        calls.push_back(std::string(reinterpret_cast<char const *>(oid.get_buffer()), oid.length()) +
                        (cleanup ? " cleanup" : "") + (remaining ? " remaining" : " last"));
    }
    std::vector<std::string> calls;
};

TEST(PoaDestroy, EtherealizeCountsTheActivationBeingRemoved)
{
    POA *p = child_poa("EtherealPOA");
    ASSERT_NE(p, nullptr);
    p->_request_processing = USE_SERVANT_MANAGER;
    p->_id_assignment = USER_ID;
    p->_id_uniqueness = MULTIPLE_ID;
    wq_PrivateEnv pe;
    auto *act = new RecordingActivator;
    p->set_servant_manager(act, pe.env);
    ASSERT_FALSE(pe.env.pending());
    auto *shared = new CalcServant, *single = new CalcServant;
    p->activate_object_with_id(ObjectId("a", 1), shared, pe.env);
    p->activate_object_with_id(ObjectId("b", 1), shared, pe.env);
    p->activate_object_with_id(ObjectId("c", 1), single, pe.env);
    ASSERT_FALSE(pe.env.pending());
    p->destroy(true, false, pe.env);
    std::sort(act->calls.begin(), act->calls.end());
    EXPECT_EQ(act->calls, (std::vector<std::string>{"a remaining", "b remaining", "c remaining"}));
    act->_remove_ref();
    shared->_remove_ref();
    single->_remove_ref();
}

TEST(PoaCurrent, DerivesFromTheCorbaCurrent)
{
    Current c;
    EXPECT_EQ(c.wq_find_ptr(Current::wq_IR_Name), &c);
    EXPECT_EQ(c.wq_find_ptr(CORBA::Current::wq_IR_Name), &c);
    EXPECT_EQ(c.wq_find_ptr(CORBA::Object::wq_IR_Name), &c);
    EXPECT_EQ(c.wq_find_ptr(POA::wq_IR_Name), nullptr);
    wq_Interface *i = wq_interface_registry_get()->NI_find(Current::wq_IR_Name, true);
    ASSERT_NE(i, nullptr);
    EXPECT_TRUE(i->is_a(CORBA::Current::wq_IR_Name));
    EXPECT_TRUE(i->is_a(CORBA::Object::wq_IR_Name));
    EXPECT_FALSE(i->is_a(POA::wq_IR_Name));
    i->_remove_ref(true);
}

TEST(Servants, RegistryTeardownReleasesItsEntries)
{
    POA *p = child_poa("TeardownPOA");
    ASSERT_NE(p, nullptr);
    p->_id_assignment = USER_ID;
    wq_PrivateEnv ei;
    auto *s = new CalcServant;
    p->activate_object_with_id(ObjectId("td", 2), s, ei.env);
    ASSERT_FALSE(ei.env.pending());
    wq_ServantKey key("TeardownPOA", "td", 2);
    ASSERT_NE(wq_ServantRegistry::instance()->NI_find(key, true), nullptr);
    // The registry's hold on the target goes with it; the POA keeps its own
    // until it is destroyed. A later use makes a new, empty registry.
    wq_ServantRegistry::teardown();
    EXPECT_EQ(wq_ServantRegistry::instance()->size(), 0u);
    EXPECT_EQ(wq_ServantRegistry::instance()->NI_find(key, true), nullptr);
    EXPECT_EQ(s->_refcount_value(), 2);
    p->destroy(false, false, ei.env);
    EXPECT_EQ(s->_refcount_value(), 1);
    s->_remove_ref();
}

TEST(PoaExceptions, ThrownObjectsBecomeEnvironmentExceptions)
{
    struct Row {
        char const *what;
        void (*thrower)();
        char const *id;
        char const *text; // null: not asked
    } rows[] = {
        {"heap CORBA exception",
         [] { throw static_cast<CORBA::Exception *>(new CORBA::NO_MEMORY(1, CORBA::COMPLETED_NO)); },
         CORBA::NO_MEMORY::wq_IR_Name, nullptr},
        {"CORBA exception by value", [] { throw POA::WrongPolicy(); }, POA::WrongPolicy::wq_IR_Name, nullptr},
        {"std::exception", [] { throw std::runtime_error("gone wrong"); }, CORBA::UNKNOWN::wq_IR_Name, "gone wrong"},
        {"anything else", [] { throw 42; }, CORBA::UNKNOWN::wq_IR_Name, CORBA::WQ_CPP_Native_Text},
    };
    EXPECT_STREQ(CORBA::WQ_CPP_Native_Text, "(unknown)");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        wq_PrivateEnv pe;
        try {
            r.thrower();
        } catch (...) {
            wq_store_thrown(pe.env);
        }
        ASSERT_TRUE(pe.env.pending());
        EXPECT_STREQ(pe.env.exception()->wq_ir_name(), r.id);
        if (r.text) {
            auto *se = CORBA::SystemException::_downcast(pe.env.exception());
            ASSERT_NE(se, nullptr);
            EXPECT_EQ(se->minor() & 0xFFFu, 4u);
            EXPECT_STREQ(se->param(), r.text);
        }
        pe.env.clear();
    }
}

TEST(PoaExceptions, IdsAndWireForms)
{
    POA::InvalidPolicy ip(65535);
    wq_PrivateEnv ei;
    const CORBA::EnvironmentWrapper &env = ei.env;
    CORBA::Stream s(env);
    s << ip;
    CORBA::Exception *back = nullptr;
    s >> back;
    ASSERT_NE(back, nullptr);
    auto *ipb = dynamic_cast<POA::InvalidPolicy *>(back);
    ASSERT_NE(ipb, nullptr);
    EXPECT_EQ(ipb->index, 65535);
    delete back;
    POA::WrongAdapter wa;
    EXPECT_EQ(wa.wq_find_ptr(POA::WrongAdapter::wq_IR_Name), &wa);
    EXPECT_EQ(wa.wq_find_ptr(CORBA::UserException::wq_IR_Name), &wa);
    EXPECT_EQ(wa.wq_find_ptr(POA::WrongPolicy::wq_IR_Name), nullptr);
    ForwardRequest fr(nullptr);
    ForwardRequest copy(fr);
    EXPECT_EQ(copy.forward_reference, nullptr);
}

} // namespace
