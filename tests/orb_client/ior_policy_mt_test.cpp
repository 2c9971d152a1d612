// IORs written with the ORB's banded-connection policy while another thread
// keeps replacing that policy.
#include "client_util.h"

#include "corba_object.h"
#include "rtcorba.h"
#include "wq_key.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

TEST(OrbClientIorMt, OrbBandPolicyReplacedWhileIorsAreWritten)
{
    CORBA::PolicyManager pm;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        RTCORBA::PriorityBand bands[3] = {{1, 10}, {11, 20}, {21, 30}};
        PrivEnv e;
        for (int i = 0; i < 4000 && !stop.load(); ++i) {
            CORBA::PolicyList l(1);
            l.length(1);
            l[0] = new RTCORBA::PriorityBandedConnectionPolicy(bands, 1 + i % 3);
            pm.set_policy_overrides(l, CORBA::SET_OVERRIDE, e.w);
        }
    });
    const unsigned char key[2] = {1, 2};
    int with_bands = 0;
    for (int i = 0; i < 4000; ++i) {
        PrivEnv e;
        CORBA::Stream s(e.w);
        wq_write_ior(s, key, 2, "tcp:h:1", "IDL:T:1.0", nullptr, true, e.w);
        ASSERT_FALSE(e.pending()) << e.id();
        auto b = written(s);
        ASSERT_GE(b.size(), 20u);
        uint32_t profiles = 0;
        std::memcpy(&profiles, b.data() + 16, 4); // after the type id, native order
        ASSERT_TRUE(profiles == 1 || profiles == 2) << profiles;
        with_bands += profiles == 2;
    }
    stop = true;
    changer.join();
    EXPECT_GT(with_bands, 0);
    // The ORB policy goes, so that later IORs carry no bands.
    CORBA::Policy *old;
    {
        wq_ThreadEnvironment tenv;
        wq_WriteLock l(wq_pr_mtx, tenv);
        old = wq_policy_root.slots[WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE];
        wq_policy_root.slots[WQ_PRIORITY_BANDED_CONNECTION_POLICY_TYPE] = nullptr;
    }
    delete old;
}
