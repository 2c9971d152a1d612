// This broker's default client against Echo servers of both kinds, as real
// processes on 127.0.0.1: omniORB's (in its default and its GIOP 1.0 mode)
// and this broker's (with and without the private-data text in system
// exceptions). The client reads each server's system exceptions as such,
// whatever its own -ORBsepd, answers _non_existent true for an object that
// is gone, and finds every Echo object a CORBA::Object.
#include "../orb/child_process.h"
#include "server_test_util.h"

#include "corba_object.h"
#include "corba_orb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace srv_test;
using orb_test::bin;
using orb_test::exists;
using orb_test::spawn;
using orb_test::wait_child;

namespace {

constexpr char const *kEchoId = "IDL:PeerTest/Echo:1.0";
constexpr char const *kObjectId = "IDL:omg.org/CORBA/Object:1.0";

struct Env {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    ~Env() { w.clear(); }
    // The pending system exception's repository id ("" when none).
    std::string id() const
    {
        CORBA::Exception *e = w.exception();
        return e ? e->wq_ir_name() : "";
    }
    char const *text() const
    {
        auto *se = CORBA::SystemException::_downcast(w.exception());
        return se ? se->param() : nullptr;
    }
};

// One call of `op` with two longs (none when `args` is false); the first
// long of the reply, or -1 with the exception in env.
int32_t call(CORBA::Object *obj, char const *op, bool args, const CORBA::EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    CORBA::Request *r = obj->_request(op, false, env, tenv);
    if (env.pending())
        return -1;
    if (args)
        r->request_stream() << 40 << 2;
    r->invoke(tenv);
    int32_t out = -1;
    if (!env.pending())
        r->reply_stream().read_4(&out);
    CORBA::release(r, tenv);
    return env.pending() ? -1 : out;
}

struct Server {
    char const *what;
    char const *program;
    std::vector<std::string> options;
    bool own;    // this broker's server
    bool text;   // its system exceptions carry the private-data text
    pid_t pid = -1;
    std::string ior_file, ior;
};

} // namespace

TEST(PeerClient, SystemExceptionsNonExistentAndIsAAgainstBothServers)
{
    if (!exists(bin("omni_echo_server")))
        GTEST_SKIP() << "omniORB peer not built";
    char dir[] = "/tmp/orb_peer_client_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<Server> servers = {
        {"omniORB", "omni_echo_server", {"-ORBendPoint", "giop:tcp:127.0.0.1:"}, false, false},
        {"omniORB GIOP 1.0", "omni_echo_server",
         {"-ORBendPoint", "giop:tcp:127.0.0.1:", "-ORBmaxGIOPVersion", "1.0"}, false, false},
        {"ours", "orb_echo_server", {"-ORBdiag", "none"}, true, true},
        {"ours -ORBsepd F", "orb_echo_server", {"-ORBdiag", "none", "-ORBsepd", "F"}, true, false},
    };
    int devnull = open("/dev/null", O_WRONLY);
    for (size_t i = 0; i < servers.size(); ++i) {
        Server &s = servers[i];
        s.ior_file = std::string(dir) + "/ior" + std::to_string(i);
        std::vector<std::string> args{bin(s.program)};
        args.insert(args.end(), s.options.begin(), s.options.end());
        args.insert(args.end(), {"-o", s.ior_file});
        s.pid = spawn(args, devnull, devnull);
    }
    close(devnull);
    for (Server &s : servers)
        for (int i = 0; i < 1000 && s.pid > 0 && s.ior.rfind("IOR:", 0) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::ifstream in(s.ior_file);
            std::getline(in, s.ior);
        }

    int argc = 1;
    char name[] = "peer_client";
    char *argv[] = {name, nullptr};
    Env init;
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, init.w);
    ASSERT_NE(orb, nullptr);
    CORBA::ORB::_conn_retries = 1;
    CORBA::ORB::_retry_delay = 1000000;
    const unsigned char gone_key[] = {'N', 'o', 'S', 'u', 'c', 'h', 'K', 'e', 'y'};
    for (Server &s : servers) {
        SCOPED_TRACE(s.what);
        ASSERT_GT(s.pid, 0);
        ASSERT_EQ(s.ior.rfind("IOR:", 0), 0u) << "no reference written";
        Env e;
        CORBA::Object *live = orb->string_to_object(s.ior.c_str(), e.w);
        ASSERT_NE(live, nullptr) << e.id();
        std::string endpoint = "tcp:127.0.0.1:" + std::to_string(ior_port(s.ior));
        CORBA::Object *gone = CORBA::Object::Helper::foreign_bind(gone_key, sizeof gone_key, endpoint.c_str(),
                                                                  kEchoId, false, false, e.w);
        ASSERT_NE(gone, nullptr) << e.id();
        // The client's own setting changes what it writes, never what it reads.
        for (bool client_text : {true, false}) {
            SCOPED_TRACE(client_text ? "client -ORBsepd T" : "client -ORBsepd F");
            wq_set_system_exception_private_data(client_text);
            struct Check {
                char const *what;
                CORBA::Object *obj;
                char const *op;      // a call: "add" (two longs) or an operation of no arguments
                char const *is_a;    // else _is_a of this id
                bool expected;       // _is_a's or _non_existent's answer
                char const *raised;  // the call's system exception ("" none)
                int32_t result;
            } checks[] = {
                {"add", live, "add", nullptr, false, "", 42},
                {"unknown operation", live, "missing", nullptr, false, "IDL:omg.org/CORBA/BAD_OPERATION:1.0", -1},
                {"call on a gone object", gone, "add", nullptr, false, "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0", -1},
                {"_is_a Object", live, nullptr, kObjectId, true, "", 0},
                {"_is_a Echo", live, nullptr, kEchoId, true, "", 0},
                {"_is_a other", live, nullptr, "IDL:PeerTest/Unserved:1.0", false, "", 0},
                {"_non_existent live", live, nullptr, nullptr, false, "", 0},
                {"_non_existent gone", gone, nullptr, nullptr, true, "", 0},
            };
            for (const Check &c : checks) {
                SCOPED_TRACE(c.what);
                Env ce;
                if (c.op) {
                    EXPECT_EQ(call(c.obj, c.op, std::strcmp(c.op, "add") == 0, ce.w), c.result);
                    EXPECT_EQ(ce.id(), c.raised);
                    // The text travels only from a server that writes it
                    // (ours names the operation it does not know).
                    if (*c.raised && s.text && std::strcmp(c.op, "missing") == 0)
                        EXPECT_STREQ(ce.text(), "missing");
                    else if (*c.raised && !s.own)
                        EXPECT_EQ(ce.text(), nullptr);
                } else if (c.is_a) {
                    EXPECT_EQ(c.obj->_is_a(c.is_a, ce.w), c.expected);
                    EXPECT_EQ(ce.id(), "");
                } else {
                    EXPECT_EQ(c.obj->_non_existent(ce.w), c.expected);
                    EXPECT_EQ(ce.id(), "");
                }
            }
        }
        wq_set_system_exception_private_data(true);
        CORBA::release(gone);
        CORBA::release(live);
    }
    Env fin;
    orb->destroy(fin.w);
    CORBA::release(orb);
    for (Server &s : servers) {
        if (s.pid > 0) {
            kill(s.pid, SIGTERM);
            EXPECT_EQ(wait_child(s.pid, 20), 0) << s.what;
        }
        unlink(s.ior_file.c_str());
    }
    rmdir(dir);
}
