// The broker's RT, Messaging and QoS names used as an application uses them:
// the one-way sync scopes that -ORBsync sets, the ORB's default QoS lists,
// and the root POA's id-and-priority operations.
#include "orb_init_util.h"

#include "corba_object.h"
#include "corba_policy.h"
#include "portable_server.h"

#include <cstring>

using namespace orb_init_test;
using O = CORBA::ORB;

namespace {

CORBA::ORB *init(std::vector<std::string> words)
{
    Args a(std::move(words));
    PrivEnv e;
    CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
    EXPECT_FALSE(e.w.pending()) << e.id();
    return orb;
}

void finish(CORBA::ORB *orb)
{
    PrivEnv e;
    orb->destroy(e.w);
    CORBA::release(orb);
}

constexpr char const *kRtId = "IDL:Test/Rt:1.0";

struct RtServant : PortableServer::ServantBase {
    RtServant() { wq_init_nia(this, kRtId); }
};

} // namespace

TEST_F(OrbTest, SyncScopeOptionsAreTheMessagingValues)
{
    EXPECT_EQ(O::_oneway_sync_scope, Messaging::SYNC_WITH_TRANSPORT); // the default
    const struct {
        char const *option;
        Messaging::SyncScope scope;
    } rows[] = {{"none", Messaging::SYNC_NONE},
                {"transport", Messaging::SYNC_WITH_TRANSPORT},
                {"server", Messaging::SYNC_WITH_SERVER},
                {"target", Messaging::SYNC_WITH_TARGET}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.option);
        CORBA::ORB *orb = init({"-ORBsync", r.option});
        ASSERT_NE(orb, nullptr);
        EXPECT_EQ(O::_oneway_sync_scope, r.scope);
        // A reference's own scope, as an application sets it.
        Messaging::SyncScopePolicy policy(r.scope);
        EXPECT_EQ(policy.policy_type, Messaging::SYNC_SCOPE_POLICY_TYPE);
        std::unique_ptr<CORBA::Policy> copy(policy.copy());
        EXPECT_EQ(static_cast<Messaging::SyncScopePolicy *>(copy.get())->synchronization, r.scope);
        finish(orb);
    }
    EXPECT_EQ(int(Messaging::SYNC_NONE) + 1, int(Messaging::SYNC_WITH_TRANSPORT));
    EXPECT_EQ(int(Messaging::SYNC_WITH_SERVER) + 1, int(Messaging::SYNC_WITH_TARGET));
}

TEST_F(OrbTest, DefaultQosListsAreTheOrbsOwnTcpThenTcpv6)
{
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    const struct {
        char const *key, *list, *endpoint;
    } rows[] = {
        {"tcp:", "tcp://nodelay:TRUE,tcp://rcvbuf:65536,tcp://sndbuf:65536,tcp://linger:1", "tcp:127.0.0.1:1"},
        {"tcpv6:", "tcpv6://nodelay:TRUE,tcpv6://rcvbuf:65536,tcpv6://sndbuf:65536,tcpv6://linger:1",
         "tcpv6:[::1]:1"},
    };
    wq_QoSListNode *n = O::_default_qos_list;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.key);
        ASSERT_NE(n, nullptr);
        EXPECT_STREQ(n->key, r.key);
        EXPECT_STREQ(n->list, r.list);
        EXPECT_EQ(O::default_qos_list(r.endpoint), n->list);
        n = n->next;
    }
    EXPECT_EQ(n, nullptr);
    ASSERT_NE(O::_default_qos_list, nullptr);
    EXPECT_EQ(O::_default_qos_list_tcpv6, O::_default_qos_list->next);
    // A new text for tcpv6 replaces that node's, which stays the tcpv6 one.
    O::default_qos_list("tcpv6:", "tcpv6://nodelay:FALSE");
    ASSERT_NE(O::_default_qos_list_tcpv6, nullptr);
    EXPECT_STREQ(O::_default_qos_list_tcpv6->list, "tcpv6://nodelay:FALSE");
    EXPECT_STREQ(O::default_qos_list("tcpv6:h:1"), "tcpv6://nodelay:FALSE");
    O::default_qos_list("tcpv6:", rows[1].list);
    // destroy deletes them.
    finish(orb);
    EXPECT_EQ(O::_default_qos_list, nullptr);
    EXPECT_EQ(O::_default_qos_list_tcpv6, nullptr);
    EXPECT_EQ(O::default_qos_list("tcp:h:1"), nullptr);
}

TEST_F(OrbTest, RootPoaIdAndPriorityOperationsNeedTheServerDeclaredModel)
{
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    PrivEnv e;
    CORBA::Object *obj = orb->resolve_initial_references("RootPOA", e.w);
    auto *root = dynamic_cast<RTPortableServer::POA *>(obj);
    ASSERT_NE(root, nullptr);
    root->_id_assignment = PortableServer::USER_ID;
    auto *servant = new RtServant;
    const struct {
        uint32_t model;
        bool refused; // WrongPolicy
    } rows[] = {{0, true}, {1, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.model);
        root->_priority_model = r.model;
        PortableServer::ObjectId oid("rt1", 3);
        PrivEnv a;
        root->activate_object_with_id_and_priority(oid, servant, 10, a.w);
        EXPECT_EQ(PortableServer::POA::WrongPolicy::_downcast(a.w.exception()) != nullptr, r.refused) << a.id();
        PrivEnv c;
        CORBA::Object *ref = root->create_reference_with_id_and_priority(oid, kRtId, 10, c.w);
        EXPECT_EQ(PortableServer::POA::WrongPolicy::_downcast(c.w.exception()) != nullptr, r.refused) << c.id();
        EXPECT_EQ(ref == nullptr, r.refused);
        if (ref) {
            // A reference of the interface whose key names the id.
            PrivEnv q;
            EXPECT_TRUE(ref->_is_a(kRtId, q.w));
            char *ior = orb->object_to_string(ref, q.w);
            ASSERT_NE(ior, nullptr) << q.id();
            EXPECT_NE(std::string(ior).find("727431"), std::string::npos) << ior; // "rt1"
            CORBA::string_free(ior);
            EXPECT_FALSE(q.w.pending()) << q.id();
            CORBA::release(ref);
        }
        // Activated only when allowed.
        PrivEnv d;
        root->deactivate_object(oid, d.w);
        EXPECT_EQ(PortableServer::POA::ObjectNotActive::_downcast(d.w.exception()) != nullptr, r.refused)
            << d.id();
    }
    root->_priority_model = 0;
    root->_id_assignment = PortableServer::SYSTEM_ID;
    servant->_remove_ref();
    CORBA::release(obj);
    finish(orb);
}
