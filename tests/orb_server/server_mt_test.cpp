// Dispatch from several reader threads at once while another thread
// activates and deactivates objects and releases their servants: every
// request is answered with its result or OBJECT_NOT_EXIST, never from a
// servant that is gone.
#include "../orb/test_watchdog.h"
#include "corba_orb.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace PortableServer;
using namespace srv_test;

namespace {

// An initialised broker (no endpoints): its registries take their locks.
CORBA::ORB *plain_orb(wq_PrivateEnv &init)
{
    int argc = 1;
    char name[] = "server_mt_test";
    char *argv[] = {name, nullptr};
    return CORBA::ORB_init(argc, argv, nullptr, init.env);
}

TEST(ServerMt, DispatchWhileObjectsComeAndGo)
{
    wq_PrivateEnv init;
    CORBA::ORB *orb = plain_orb(init);
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

// Skeletons registered while readers look operations up: every one is
// found once added, and none is found wrong (the skeleton lists are read and
// grown under their lock).
TEST(ServerMt, SkeletonsAddedWhileReadersLookThemUp)
{
    wq_PrivateEnv init;
    CORBA::ORB *orb = plain_orb(init);
    ASSERT_NE(orb, nullptr);
    static char const *const id = "IDL:Test/Grow:1.0";
    constexpr int kOps = 200;
    static std::vector<std::string> names;
    names.clear();
    for (int i = 0; i < kOps; ++i)
        names.push_back("op" + std::to_string(i));
    wq_Interface *itf = wq_interface_registry_get()->NI_find_or_create(id, true);
    ASSERT_NE(itf, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!done)
                for (int i = 0; i < kOps; ++i)
                    if (wq_Skeleton f = wq_SkeletonMap::find(itf, names[i].c_str()); f && f != &skel_add)
                        ++wrong;
        });
    for (int i = 0; i < kOps; ++i)
        wq_SkeletonMap::add(id, names[i].c_str(), &skel_add);
    done = true;
    for (auto &r : readers)
        r.join();
    EXPECT_EQ(wrong.load(), 0);
    for (int i = 0; i < kOps; ++i)
        EXPECT_EQ(wq_SkeletonMap::find(itf, names[i].c_str()), &skel_add) << names[i];
    itf->_remove_ref(true);
    CORBA::release(orb);
}

// One request on a connection and the CORBA priority its reply reports
// (the "prio" operation), or -1.
int64_t priority_served(int fd, uint32_t rid, std::vector<Context> const &ctx = {})
{
    Bytes msg = request(rid, make_key("RootPOA", "prio"), "prio", {}, ctx);
    if (write(fd, msg.data(), msg.size()) != ssize_t(msg.size()))
        return -1;
    Bytes m = read_message(fd);
    if (m.size() < 20)
        return -1;
    Reply r = parse_reply(m);
    return r.status == 0 && r.body + 4 <= m.size() ? int64_t(r.c.get32(r.body)) : -1;
}

// A port of 127.0.0.1 that is free now.
uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    close(fd);
    return port;
}

// Real reader threads: a band request is served at the band's priority, and
// so is the next request of its connection (now read by band threads); once
// the client goes, its reader leaves the band at the default priority, and
// requests of new connections are not served at the band's priority.
TEST(ServerMt, BandThreadsServeAtTheBandPriorityUntilTheirClientGoes)
{
    char name[] = "server_mt_test", ep[] = "-ORBendpoint", diag[] = "-ORBdiag", none[] = "none";
    std::string where = "tcp:127.0.0.1:" + std::to_string(free_port());
    char *argv[] = {name, ep, where.data(), diag, none, nullptr};
    int argc = 5;
    wq_PrivateEnv init;
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, init.env);
    ASSERT_NE(orb, nullptr);
    std::string list = CORBA::ORB::endpoint_list() ? CORBA::ORB::endpoint_list() : "";
    uint16_t port = uint16_t(std::atoi(list.substr(list.rfind(':') + 1).c_str()));
    ASSERT_NE(port, 0) << list;
    POA *root = root_poa();
    activate_manager();
    root->_id_assignment = USER_ID;
    auto *s = new CalcServant;
    root->activate_object_with_id(ObjectId("prio", 4), s, init.env);
    ASSERT_FALSE(init.env.pending());

    Cdr range;
    range.u8(1).u8(0).u16(300).u16(400);
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(priority_served(fd, 1, {{11, range.b}}), 300);
    for (uint32_t i = 2; i < 6; ++i)
        EXPECT_EQ(priority_served(fd, i), 300);
    close(fd);
    // The reader sees the close and leaves the band (bounded wait).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (uint32_t i = 0; i < 6; ++i) {
        int f2 = connect_to(port);
        ASSERT_GE(f2, 0);
        int64_t p = priority_served(f2, 10 + i);
        EXPECT_GE(p, 0);
        EXPECT_NE(p, 300) << "request " << i;
        close(f2);
    }
    root->deactivate_object(ObjectId("prio", 4), init.env);
    init.env.clear();
    root->_id_assignment = SYSTEM_ID;
    s->_remove_ref();
    orb->destroy(init.env);
    CORBA::release(orb);
}

} // namespace
