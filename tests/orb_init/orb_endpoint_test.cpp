// Endpoint options against a transport of the test's own: published and
// unpublished lists, the server-available lines, acceptors shut down and
// freed by destroy, and the acceptor failures that fail the call but do not
// end the process.
#include "orb_init_util.h"

#include "wq_endpoint.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace orb_init_test;
using O = CORBA::ORB;

namespace {

std::atomic<int> g_live{0};
std::atomic<int> g_shut{0};
std::string g_last_qos;

class FakeAcceptor : public wq_NetAcceptor {
public:
    explicit FakeAcceptor(char const *published)
    {
        endpoint(published);
        ++g_live;
    }
    ~FakeAcceptor() override { --g_live; }
    void shutdown(bool) override { ++g_shut; }
    wq_NetAcceptorReleasor get_releasor() override
    {
        return [](wq_NetAcceptor *a) { delete a; };
    }
};

// "fake:ok..." listens and publishes itself; "fake:hidden..." reports no
// published endpoint; "fake:fail..." cannot be created.
class FakeAcceptorFactory : public wq_NetAcceptorFactory {
public:
    FakeAcceptorFactory() : wq_NetAcceptorFactory("fake") {}
    wq_NetAcceptor *create(char const *endpoint, char const *qos, wq_NetCollectorFactory *, void *, int) override
    {
        g_last_qos = qos ? qos : "(null)";
        if (std::strncmp(endpoint, "fake:fail", 9) == 0)
            return nullptr;
        return new FakeAcceptor(std::strncmp(endpoint, "fake:hidden", 11) == 0 ? nullptr : endpoint);
    }
} g_fake_factory;

} // namespace

TEST_F(OrbTest, EndpointOptionsFillThePublishedAndUnpublishedLists)
{
    ::testing::internal::CaptureStderr();
    Args a({"-ORBsc", "K", "-ORBsi", "I", "-ORBep", "fake:ok1", "-ORBunpublished", "fake:ok2",
            "-ORBendpoint", "fake:ok3", "-ORBup", "fake:hidden", "-ORBae", "fake:alt"});
    PrivEnv e;
    CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
    std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(orb, nullptr) << e.id();
    EXPECT_EQ(a.argc, 1);
    EXPECT_STREQ(O::endpoint_list(), "fake:ok1, fake:ok3, fake:alt");
    EXPECT_STREQ(wq_ORB::_list_of_unpublished_endpoints, "fake:ok2");
    EXPECT_TRUE(O::endpoint_registered("fake:ok3"));
    EXPECT_FALSE(O::endpoint_registered("fake:ok"));
    EXPECT_FALSE(O::endpoint_registered("fake:ok2"));
    EXPECT_EQ(g_live.load(), 4);
    EXPECT_EQ(g_last_qos, "(null)"); // no default QoS list for this scheme
    EXPECT_NE(err.find("  Server available K / I ]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("  Configuration:   fake:ok1, fake:ok3, fake:alt, fake:ok2 ]\n"), std::string::npos)
        << err;
    // Adding one later goes through the same path.
    EXPECT_EQ(O::wq_add_endpoint("fake:ok4", true), 0);
    EXPECT_EQ(O::wq_add_endpoint("nocolon", true), -2);
    EXPECT_EQ(O::wq_add_endpoint("fake:fail", true), -4);
    EXPECT_STREQ(O::endpoint_list(), "fake:ok1, fake:ok3, fake:alt, fake:ok4");

    // run waits until shutdown, which shuts every acceptor down; a run that
    // starts after shutdown returns at once. destroy frees acceptors and lists.
    std::atomic<int> ran{0};
    std::thread runner([&] {
        PrivEnv r;
        orb->run(false, r.w);
        ++ran;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ran.load(), 0);
    PrivEnv s;
    orb->shutdown(false, s.w);
    for (int i = 0; i < 500 && ran.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ran.load() == 0)
        runner.detach(); // fails below instead of hanging
    else
        runner.join();
    ASSERT_EQ(ran.load(), 1);
    EXPECT_EQ(g_shut.load(), 5);
    PrivEnv r2;
    orb->run(false, r2.w);
    EXPECT_FALSE(r2.w.pending());
    PrivEnv d;
    orb->destroy(d.w);
    EXPECT_EQ(g_live.load(), 0);
    EXPECT_EQ(wq_ORB::_net_acceptor_list, nullptr);
    EXPECT_EQ(O::endpoint_list(), nullptr);
    EXPECT_EQ(wq_ORB::_list_of_unpublished_endpoints, nullptr);
    EXPECT_EQ(O::wq_add_endpoint("fake:ok5", true), -1);
    CORBA::release(orb);
}

TEST_F(OrbTest, AcceptorFailuresAreReportedAndFailTheInit)
{
    // An endpoint that cannot be listened on is reported, the scan goes on
    // to the end (the later options are read, the process goes on), and the
    // call fails with OBJ_ADAPTER 2: alone, or beside one that listens
    // (whose acceptor goes with the failed call).
    struct Row {
        std::vector<std::string> args;
        int retries;
    } const rows[] = {
        {{"-ORBep", "fake:fail", "-ORBconn_retries", "5"}, 5},
        {{"-ORBep", "fake:ok1", "-ORBup", "fake:fail", "-ORBconn_retries", "6"}, 6},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.args[1] + " " + r.args[3]);
        ::testing::internal::CaptureStderr();
        Args a(r.args);
        PrivEnv e;
        CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Ulvenor ERROR(ORB_init): acceptor creation failed for endpoint \"fake:fail\"\n"),
                  std::string::npos);
        EXPECT_EQ(orb, nullptr);
        EXPECT_EQ(e.minor(), CORBA::OBJ_ADAPTER::wq_class_offset | 2);
        EXPECT_EQ(O::_conn_retries, r.retries);
        EXPECT_EQ(g_live.load(), 0);
        EXPECT_EQ(O::_orb_state.load(), 0);
        EXPECT_EQ(O::endpoint_list(), nullptr);
        if (orb)
            CORBA::release(orb);
        TearDown();
    }

    // An acceptor that publishes nothing leaves both lists empty: OBJ_ADAPTER 2,
    // and nothing of the failed call is left behind.
    Args b({"-ORBep", "fake:hidden"});
    PrivEnv e2;
    EXPECT_EQ(CORBA::ORB_init(b.argc, b.ptrs.data(), nullptr, e2.w), nullptr);
    EXPECT_EQ(e2.minor(), CORBA::OBJ_ADAPTER::wq_class_offset | 2);
    EXPECT_EQ(g_live.load(), 0);
    EXPECT_EQ(O::_orb_state.load(), 0);
}

TEST_F(OrbTest, MinimumRecursionStartsThatManyReaders)
{
    for (uint32_t n : {1u, 2u, 3u, 5u, 8u}) {
        SCOPED_TRACE(n);
        // Readers of the previous round may still be ending.
        for (int i = 0; i < 400 && thread_count() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        int before = thread_count();
        ::testing::internal::CaptureStderr();
        Args a({"-ORBmin_recursion", std::to_string(n), "-ORBep", "fake:readers"});
        PrivEnv e;
        CORBA::ORB *orb = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
        ::testing::internal::GetCapturedStderr();
        ASSERT_NE(orb, nullptr) << e.id();
        EXPECT_EQ(orb->cur_recursion(), n);
        // The readers are real threads: each has started once the count
        // settles (bounded wait), and no more start while nothing arrives.
        for (int i = 0; i < 400 && thread_count() < before + int(n); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(thread_count(), before + int(n));
        // Asking again for the same minimum starts none.
        orb->min_recursion(n);
        EXPECT_EQ(orb->cur_recursion(), n);
        PrivEnv d;
        orb->destroy(d.w);
        CORBA::release(orb);
        TearDown();
    }
}
