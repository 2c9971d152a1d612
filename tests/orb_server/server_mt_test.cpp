// Dispatch from several reader threads at once while another thread
// activates and deactivates objects and releases their servants: every
// request is answered with its result or OBJECT_NOT_EXIST, never from a
// servant that is gone.
#include "../orb/test_watchdog.h"
#include "corba_orb.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace PortableServer;
using namespace srv_test;

namespace {

TEST(ServerMt, DispatchWhileObjectsComeAndGo)
{
    // An initialised broker (no endpoints): its registries take their locks.
    int argc = 1;
    char name[] = "server_mt_test";
    char *argv[] = {name, nullptr};
    wq_PrivateEnv init;
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, init.env);
    ASSERT_NE(orb, nullptr);
    POA *root = root_poa();
    activate_manager();
    root->_id_assignment = USER_ID;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, missing{0}, wrong{0};

    std::thread flipper([&] {
        for (int i = 0; i < 300 && !stop; ++i) {
            wq_PrivateEnv pe;
            auto *s = new CalcServant;
            root->activate_object_with_id(ObjectId("flip", 4), s, pe.env);
            s->_remove_ref(); // the POA's target keeps it alive while active
            std::this_thread::yield();
            root->deactivate_object(ObjectId("flip", 4), pe.env);
            pe.env.clear();
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            std::unique_ptr<wq_ReaderState> st(new wq_ReaderState);
            for (int i = 0; i < 400; ++i) {
                Cdr a;
                a.u32(uint32_t(i)).u32(uint32_t(t));
                RecordingSink sink;
                dispatch(*st, request(uint32_t(i), make_key("RootPOA", "flip"), "add", a.b), sink);
                if (sink.replies.size() != 1) {
                    ++wrong;
                    continue;
                }
                Reply r = parse_reply(sink.replies[0]);
                if (r.status == 0 && r.c.get32(r.body) == uint32_t(i + t))
                    ++answered;
                else if (r.status == 2 && exception_id(r) == "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0")
                    ++missing;
                else
                    ++wrong;
            }
        });
    for (auto &r : readers)
        r.join();
    stop = true;
    flipper.join();
    root->_id_assignment = SYSTEM_ID;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered + missing, 1600);
    CORBA::release(orb);
}

} // namespace
