// The ORB object: ORB id forms, reference counts across ORB_init, shutdown
// and destroy, the table of initial references, the naming and event
// services from the environment, and the "IOR:" string forms.
#include "orb_init_util.h"

#include "corba_object.h"
#include "tkq_support.h"

#include <cstdlib>

using namespace orb_init_test;
using O = CORBA::ORB;

namespace {

CORBA::ORB *init(std::vector<std::string> words, char const *id = nullptr)
{
    static Args *keep = nullptr; // argv outlives the call (names may point into it)
    delete keep;
    keep = new Args(std::move(words));
    PrivEnv e;
    return CORBA::ORB_init(keep->argc, keep->ptrs.data(), id, e.w);
}

std::string default_instance()
{
    return std::string(O::host_name()) + "_" + std::to_string(tkq_support_get_pid());
}

} // namespace

TEST_F(OrbTest, OrbIdFormsNameClassAndInstance)
{
    struct IdCase {
        char const *id;
        std::string cls, inst;
    };
    const IdCase cases[] = {{"A:B", "A", "B"}, {":B", "", "B"}, {"B", "", "B"}, {"A:", "A", ""},
                            {"", "", ""},      {nullptr, "", ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id ? c.id : "(null)");
        CORBA::ORB *orb = init({}, c.id);
        ASSERT_NE(orb, nullptr);
        EXPECT_EQ(O::svr_class_name(), c.cls);
        EXPECT_EQ(O::svr_instance_name(), c.inst.empty() ? default_instance() : c.inst);
        EXPECT_EQ(std::string(O::process_name()), "app");
        EXPECT_FALSE(std::string(O::host_name()).empty());
        CORBA::release(orb);
        TearDown();
    }
}

TEST_F(OrbTest, InitAddsReferencesShutdownRefusesDestroyAllowsInitAgain)
{
    CORBA::ORB *orb = init({"-ORBconn_retries", "4"});
    ASSERT_NE(orb, nullptr);
    EXPECT_EQ(orb->wq_ref_count(), 2); // the process's own and the caller's
    // A second call returns the same ORB, one more reference, argv untouched.
    Args again({"-ORBconn_retries", "7"});
    PrivEnv e;
    CORBA::ORB *orb2 = CORBA::ORB_init(again.argc, again.ptrs.data(), nullptr, e.w);
    EXPECT_EQ(orb2, orb);
    EXPECT_EQ(again.argc, 3);
    EXPECT_EQ(O::_conn_retries, 4);
    EXPECT_EQ(orb->wq_ref_count(), 3);
    // A caller's release drops one reference only.
    CORBA::release(orb2);
    CORBA::release(orb2);
    EXPECT_EQ(orb->wq_ref_count(), 1);
    EXPECT_EQ(wq_orb, orb);

    // run on a pure client: OBJ_ADAPTER 2.
    PrivEnv r;
    orb->run(false, r.w);
    EXPECT_EQ(r.id(), "IDL:omg.org/CORBA/OBJ_ADAPTER:1.0");
    EXPECT_EQ(r.minor(), CORBA::OBJ_ADAPTER::wq_class_offset | 2);

    PrivEnv s;
    EXPECT_TRUE(orb->shutdown(true, s.w));
    EXPECT_EQ(O::_orb_state.load(), 2);
    PrivEnv after;
    Args a3({});
    EXPECT_EQ(CORBA::ORB_init(a3.argc, a3.ptrs.data(), nullptr, after.w), nullptr);
    EXPECT_EQ(after.minor(), CORBA::BAD_INV_ORDER::wq_class_offset | 4);

    CORBA::ORB *keep = CORBA::ORB::_duplicate(orb);
    PrivEnv d;
    orb->destroy(d.w);
    EXPECT_FALSE(d.w.pending());
    EXPECT_EQ(O::_orb_state.load(), 0);
    EXPECT_EQ(wq_orb, nullptr);
    EXPECT_EQ(O::endpoint_list(), nullptr);
    EXPECT_EQ(wq_ORB::_net_acceptor_list, nullptr);

    // Init again in the same process: a new ORB, options parsed again, and
    // the default QoS lists back.
    CORBA::ORB *fresh = init({"-ORBconn_retries", "6", "-ORBae", "tcp://127.0.0.1:9"});
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(O::_conn_retries, 6);
    EXPECT_STREQ(O::endpoint_list(), "tcp://127.0.0.1:9");
    ASSERT_NE(O::default_qos_list("tcp://h:1"), nullptr);
    EXPECT_STREQ(O::default_qos_list("tcp:h:1"),
                 "tcp://nodelay:TRUE,tcp://rcvbuf:65536,tcp://sndbuf:65536,tcp://linger:1");
    EXPECT_EQ(O::default_qos_list("udp:h:1"), nullptr);
    CORBA::release(keep); // the old ORB goes; the new one keeps its names
    EXPECT_FALSE(std::string(O::host_name()).empty());
    CORBA::release(fresh);
}

TEST_F(OrbTest, InitialReferencesTable)
{
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    {
        PrivEnv e;
        EXPECT_EQ(orb->resolve_initial_references("InterfaceRepository", e.w), nullptr);
        EXPECT_FALSE(e.w.pending());
    }
    // Exact names only; a name followed by '=', an unknown one or null: InvalidName.
    for (char const *bad : {"Name", "NameService=x", "NameServiceX", "", "Nobody"}) {
        PrivEnv e;
        EXPECT_EQ(orb->resolve_initial_references(bad, e.w), nullptr);
        EXPECT_EQ(e.id(), "IDL:omg.org/CORBA/ORB/InvalidName:1.0") << bad;
    }
    {
        PrivEnv e;
        EXPECT_EQ(orb->resolve_initial_references(nullptr, e.w), nullptr);
        EXPECT_NE(CORBA::ORB::InvalidName::_downcast(e.w.exception()), nullptr);
    }
    // RT objects: made once, a reference added per resolve.
    for (char const *rt : {"RTCurrent", "RTORB"}) {
        PrivEnv e;
        CORBA::Object *a = orb->resolve_initial_references(rt, e.w);
        CORBA::Object *b = orb->resolve_initial_references(rt, e.w);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a->wq_refcount(), 3);
        CORBA::release(a);
        CORBA::release(b);
    }
    // Register: nil refused; the new reference is added before the old goes.
    CORBA::Object *x = new CORBA::Object;
    {
        PrivEnv e;
        orb->register_initial_reference("Mine", nullptr, e.w);
        EXPECT_EQ(e.id(), "IDL:omg.org/CORBA/BAD_PARAM:1.0");
        PrivEnv e2;
        orb->register_initial_reference("Mine", x, e2.w);
        orb->register_initial_reference("Mine", x, e2.w); // same object again
        EXPECT_FALSE(e2.w.pending());
        EXPECT_EQ(x->wq_refcount(), 2);
        CORBA::Object *got = orb->resolve_initial_references("Mine", e2.w);
        EXPECT_EQ(got, x);
        CORBA::release(got);
        PrivEnv e3;
        EXPECT_EQ(orb->resolve_initial_references("Min", e3.w), nullptr); // no prefix match
        EXPECT_TRUE(e3.w.pending());
    }
    // Rows 9-14 take six names; the 16th name is refused.
    int added = 0;
    for (int i = 0; i < 8; ++i) {
        PrivEnv e;
        orb->register_initial_reference(("Svc" + std::to_string(i)).c_str(), x, e.w);
        if (e.w.pending()) {
            EXPECT_EQ(e.minor(), CORBA::IMP_LIMIT::wq_class_offset | 6);
            break;
        }
        ++added;
    }
    EXPECT_EQ(added, 5);
    CORBA::ORB::ObjectIdList *names = orb->list_initial_services();
    ASSERT_EQ(names->length, 15u);
    EXPECT_STREQ((*names)[0], "RTCurrent");
    EXPECT_STREQ((*names)[8], "EventService");
    EXPECT_STREQ((*names)[9], "Mine");
    EXPECT_STREQ((*names)[14], "Svc4");
    delete names;
    PrivEnv u;
    orb->unregister_initial_reference("Mine", u.w);
    CORBA::release(x);
    EXPECT_EQ(x->wq_refcount(), 5); // five rows still hold it
    CORBA::release(orb);
}

TEST_F(OrbTest, NamingAndEventServicesComeFromTheEnvironment)
{
    CORBA::ORB *orb = init({"-ORBconn_retries", "0", "-ORBretry_delay", "0"});
    ASSERT_NE(orb, nullptr);
    struct Svc {
        char const *name, *var;
        uint32_t minor;
    };
    for (Svc s : {Svc{"NameService", "WQ_NAME_SERVER_ENDPOINTS", 6},
                  Svc{"EventService", "WQ_EVENT_SERVER_ENDPOINTS", 8}}) {
        unsetenv(s.var);
        PrivEnv e;
        EXPECT_EQ(orb->resolve_initial_references(s.name, e.w), nullptr);
        EXPECT_EQ(e.id(), "IDL:omg.org/CORBA/INITIALIZE:1.0");
        EXPECT_EQ(e.minor(), CORBA::INITIALIZE::wq_class_offset | s.minor);
        // Set: the service is bound (and verified) at that endpoint; nobody
        // listens on port 1, so the bind fails with a transport error.
        setenv(s.var, "tcp:127.0.0.1:1", 1);
        PrivEnv e2;
        EXPECT_EQ(orb->resolve_initial_references(s.name, e2.w), nullptr);
        EXPECT_TRUE(e2.w.pending());
        EXPECT_NE(e2.id(), "IDL:omg.org/CORBA/INITIALIZE:1.0");
        unsetenv(s.var);
    }
    CORBA::release(orb);
}

TEST_F(OrbTest, StringFormsOfReferences)
{
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    char const *nil = "IOR:01000000010000000000000000000000";
    {
        PrivEnv e;
        char *s = orb->object_to_string(nullptr, e.w);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, nil);
        CORBA::string_free(s);
        EXPECT_EQ(orb->string_to_object(nil, e.w), nullptr);
        EXPECT_FALSE(e.w.pending());
    }
    struct Bad {
        char const *text;
        char const *id;
        uint32_t minor;
    };
    const Bad bad[] = {
        {"IO", "IDL:omg.org/CORBA/BAD_PARAM:1.0", CORBA::BAD_PARAM::wq_class_offset | 13},
        {"corbaloc::h:1/x", "IDL:omg.org/CORBA/BAD_PARAM:1.0", CORBA::BAD_PARAM::wq_class_offset | 16},
        {"IOR:0100000", "IDL:omg.org/CORBA/BAD_PARAM:1.0", CORBA::BAD_PARAM::wq_class_offset | 13},
        {"IOR:01G0", "IDL:omg.org/CORBA/BAD_PARAM:1.0", CORBA::BAD_PARAM::wq_class_offset | 13},
        {"IOR:02000000010000000000000000000000", "IDL:omg.org/CORBA/MARSHAL:1.0",
         CORBA::MARSHAL::wq_class_offset | 1},
        {"IOR:", "IDL:omg.org/CORBA/MARSHAL:1.0", 0xFFFFFFFFu},
        {"IOR:0100000001000000", "IDL:omg.org/CORBA/MARSHAL:1.0", 0xFFFFFFFFu},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.text);
        PrivEnv e;
        EXPECT_EQ(orb->string_to_object(b.text, e.w), nullptr);
        EXPECT_EQ(e.id(), b.id);
        if (b.minor != 0xFFFFFFFFu) {
            EXPECT_EQ(e.minor(), b.minor);
        }
    }
    // Round trip of a remote reference, byte for byte; lower-case digits read too.
    PrivEnv e;
    unsigned char key[] = {1, 2, 3};
    CORBA::Object *ref = CORBA::Object::Helper::foreign_bind(key, 3, "tcp:127.0.0.1:5000",
                                                              "IDL:PeerTest/Echo:1.0", false, false, e.w);
    ASSERT_NE(ref, nullptr) << e.id();
    char *s = orb->object_to_string(ref, e.w);
    ASSERT_NE(s, nullptr);
    CORBA::Object *back = orb->string_to_object(s, e.w);
    ASSERT_NE(back, nullptr) << e.id();
    EXPECT_TRUE(ref->_is_equivalent(back, e.w));
    char *s2 = orb->object_to_string(back, e.w);
    EXPECT_STREQ(s, s2);
    std::string lower(s);
    for (std::size_t i = 4; i < lower.size(); ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    CORBA::Object *back2 = orb->string_to_object(lower.c_str(), e.w);
    ASSERT_NE(back2, nullptr);
    char *s3 = orb->object_to_string(back2, e.w);
    EXPECT_STREQ(s, s3);
    // -ORBInitRef's form: the named row takes the reference.
    wq_CORBA_ORB_process_initial_reference(("Echo=" + std::string(s)).c_str(), e.w);
    CORBA::Object *named = orb->resolve_initial_references("Echo", e.w);
    ASSERT_NE(named, nullptr) << e.id();
    EXPECT_TRUE(ref->_is_equivalent(named, e.w));
    CORBA::release(named);
    for (char *p : {s, s2, s3})
        CORBA::string_free(p);
    for (CORBA::Object *o : {ref, back, back2})
        CORBA::release(o);
    CORBA::release(orb);
}

namespace {

// A request that only counts its releases.
struct CountedRequest : CORBA::Request {
    void invoke(const wq_ThreadEnvironment &) override {}
    void send_oneway() override {}
    void _release(const wq_ThreadEnvironment &) override { ++released; }
    int released = 0;
};

// Code written to the standard mapping: every release and is_nil form,
// through const pointers too, and each a no-op for null.
template <class T> bool nil_forms_hold(const T *p)
{
    return !CORBA::is_nil(p) && CORBA::is_nil(static_cast<const T *>(nullptr));
}

} // namespace

TEST_F(OrbTest, MappingReleaseAndIsNilForms)
{
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    EXPECT_TRUE(nil_forms_hold<CORBA::ORB>(orb));

    PrivEnv e;
    unsigned char key[] = {7};
    CORBA::Object *ref = CORBA::Object::Helper::foreign_bind(key, 1, "tcp:127.0.0.1:5000",
                                                              "IDL:PeerTest/Echo:1.0", false, false, e.w);
    ASSERT_NE(ref, nullptr) << e.id();
    EXPECT_TRUE(nil_forms_hold<CORBA::Object>(ref));
    CORBA::Object *dup = CORBA::Object::_duplicate(ref);
    const CORBA::Object *cref = dup;
    CORBA::release(cref);
    EXPECT_EQ(ref->wq_refcount(), 1);
    CORBA::release(ref);

    CORBA::Policy *pol = new Messaging::SyncScopePolicy(2);
    EXPECT_TRUE(nil_forms_hold<CORBA::Policy>(pol));
    CORBA::release(static_cast<const CORBA::Policy *>(pol));

    CORBA::Exception *ex = new CORBA::BAD_PARAM(1, CORBA::COMPLETED_NO);
    EXPECT_TRUE(nil_forms_hold<CORBA::Exception>(ex));
    CORBA::release(ex);

    CountedRequest req;
    EXPECT_TRUE(nil_forms_hold<CORBA::Request>(&req));
    CORBA::release(static_cast<const CORBA::Request *>(&req));
    CORBA::release(&req, wq_ThreadEnvironment());
    EXPECT_EQ(req.released, 2);

    // A wrapper over a private environment destroys it with its exception;
    // one over the thread environment raises the pending exception.
    auto *priv = new CORBA::EnvironmentWrapper(new CORBA::EnvironmentInfo(0));
    EXPECT_TRUE(nil_forms_hold<CORBA::EnvironmentWrapper>(priv));
    priv->exception(new CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO));
    EXPECT_NO_THROW(CORBA::release(priv));
    auto *shared = new CORBA::EnvironmentWrapper();
    shared->exception(new CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO));
    EXPECT_THROW(CORBA::release(shared), CORBA::NO_MEMORY);
    auto *quiet = new CORBA::EnvironmentWrapper();
    quiet->bind_current();
    EXPECT_NO_THROW(CORBA::release(quiet));

    CORBA::release(static_cast<CORBA::Object *>(nullptr));
    CORBA::release(static_cast<CORBA::Policy *>(nullptr));
    CORBA::release(static_cast<CORBA::Exception *>(nullptr));
    CORBA::release(static_cast<CORBA::Request *>(nullptr));
    CORBA::release(static_cast<CORBA::EnvironmentWrapper *>(nullptr));
    CORBA::release(static_cast<CORBA::ORB *>(nullptr));
    CORBA::release(orb);
}

TEST_F(OrbTest, ByteOrderIsFrozenFromInitToDestroy)
{
    using S = CORBA::Stream;
    S::use_native_endian(false);
    EXPECT_FALSE(S::_use_native_endian);
    S::use_native_endian(true);
    CORBA::ORB *orb = init({});
    ASSERT_NE(orb, nullptr);
    S::use_native_endian(false); // no effect on a running ORB
    EXPECT_TRUE(S::_use_native_endian);
    PrivEnv e;
    orb->destroy(e.w);
    CORBA::release(orb);
    S::use_native_endian(false); // destroyed: the setting is open again
    EXPECT_FALSE(S::_use_native_endian);
    S::use_native_endian(true);
}
