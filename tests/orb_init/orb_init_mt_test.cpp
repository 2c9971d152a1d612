// ORB_init and the initial references from several threads at once.
#include "orb_init_util.h"

#include "corba_object.h"

#include <atomic>
#include <thread>

using namespace orb_init_test;

TEST_F(OrbTest, ConcurrentInitReturnsOneOrbAndCountsEveryReference)
{
    constexpr int kThreads = 8;
    std::vector<CORBA::ORB *> got(kThreads);
    std::vector<CORBA::Object *> rt(kThreads);
    std::vector<std::thread> ts;
    std::atomic<int> go{0};
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            Args a({"-ORBconn_retries", "3"});
            PrivEnv e;
            got[i] = CORBA::ORB_init(a.argc, a.ptrs.data(), nullptr, e.w);
            if (got[i])
                rt[i] = got[i]->resolve_initial_references("RTORB", e.w);
        });
    go.store(1);
    for (auto &t : ts)
        t.join();
    ASSERT_NE(got[0], nullptr);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(got[i], got[0]);
        EXPECT_EQ(rt[i], rt[0]);
    }
    EXPECT_EQ(got[0]->wq_ref_count(), kThreads + 1);
    EXPECT_EQ(rt[0]->wq_refcount(), kThreads + 1);
    for (int i = 0; i < kThreads; ++i) {
        CORBA::release(rt[i]);
        CORBA::release(got[i]);
    }
    EXPECT_EQ(got[0]->wq_ref_count(), 1);
}
