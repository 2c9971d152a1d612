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
    RTCORBA::PriorityBand bands[3] = {{1, 10}, {11, 20}, {21, 30}};
    auto set_bands = [&](uint32_t n) {
        PrivEnv e;
        CORBA::PolicyList l(1);
        l.length(1);
        l[0] = new RTCORBA::PriorityBandedConnectionPolicy(bands, n);
        pm.set_policy_overrides(l, CORBA::SET_OVERRIDE, e.w);
    };
    set_bands(1);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 3000; ++i)
            set_bands(1 + i % 3);
        done = true;
    });
    const unsigned char key[2] = {1, 2};
    for (int i = 0; i < 100000 && (i < 1000 || !done.load()); ++i) {
        PrivEnv e;
        CORBA::Stream s(e.w);
        wq_write_ior(s, key, 2, "tcp:h:1", "IDL:T:1.0", nullptr, true, e.w);
        ASSERT_FALSE(e.pending()) << e.id();
        auto b = written(s);
        ASSERT_GE(b.size(), 20u);
        uint32_t profiles = 0;
        std::memcpy(&profiles, b.data() + 16, 4); // after the type id, native order
        ASSERT_EQ(profiles, 2u); // the endpoint's and the bands'
    }
    changer.join();
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
