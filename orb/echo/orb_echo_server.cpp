// Echo server of this broker: serves PeerTest::Echo on 127.0.0.1.
// Usage: orb_echo_server [ORB options] [-o FILE] [-slow_ms MS] [-nap]
//        [-max_pending BYTES]
// Prints the object's IOR on one line (and writes it to FILE with -o), then
// serves until SIGTERM or SIGINT, and ends with status 0. A server that
// cannot start (an endpoint it cannot listen on) prints why, writes no IOR
// and ends with status 1. With -slow_ms each `echo_string` takes MS
// milliseconds (a slow servant beside the quick ones); with -nap an
// `echo_string` of "nap N" takes N milliseconds (at most 1000). -max_pending
// sets the bytes held for large requests not yet served
// (CORBA::ORB::_max_pending_request_bytes).
#include "corba_orb.h"
#include "peertest_echo_skel.h"
#include "wq_servant_registry.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class EchoImpl : public POA_PeerTest::Echo {
public:
    char *echo_string(char const *s) override
    {
        if (slow_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(slow_ms));
        else if (nap && s && std::strncmp(s, "nap ", 4) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000L, std::atol(s + 4))));
        return CORBA::string_dup(s);
    }
    int32_t add(int32_t a, int32_t b) override
    {
        return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    }
    PeerTest::OctetSeq echo_octets(const PeerTest::OctetSeq &data) override { return data; }
    void ping() override {}
    void fail() override { throw PeerTest::Oops(42, "as asked"); }

    long slow_ms = 0;
    bool nap = false;
};

// A port of 127.0.0.1 that is free now (the system's pick for port 0).
unsigned free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    unsigned port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

struct Failure {
    CORBA::EnvironmentWrapper env{new CORBA::EnvironmentInfo(0)};
    bool check(char const *what)
    {
        if (!env.pending())
            return true;
        std::fprintf(stderr, "orb_echo_server: %s failed: %s\n", what, env.exception()->wq_ir_name());
        env.clear(); // reported here, once
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    // Termination signals are taken by sigwait below; every thread the
    // broker starts inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    // -o FILE is ours; without an endpoint option the server listens on
    // 127.0.0.1 at a port the system picks.
    char const *out_file = nullptr;
    long slow_ms = 0;
    bool nap = false;
    std::vector<char *> args;
    bool endpoint = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            out_file = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "-slow_ms") == 0 && i + 1 < argc) {
            slow_ms = std::strtol(argv[++i], nullptr, 10);
            continue;
        }
        if (std::strcmp(argv[i], "-nap") == 0) {
            nap = true;
            continue;
        }
        if (std::strcmp(argv[i], "-max_pending") == 0 && i + 1 < argc) {
            CORBA::ORB::_max_pending_request_bytes = std::strtoull(argv[++i], nullptr, 10);
            continue;
        }
        if (!std::strcmp(argv[i], "-ORBendpoint") || !std::strcmp(argv[i], "-ORBep"))
            endpoint = true;
        args.push_back(argv[i]);
    }
    static char ep_opt[] = "-ORBendpoint";
    static char ep_val[64];
    if (!endpoint) {
        std::snprintf(ep_val, sizeof ep_val, "tcp:127.0.0.1:%u", free_port());
        args.push_back(ep_opt);
        args.push_back(ep_val);
    }
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);

    Failure f;
    CORBA::ORB *orb = CORBA::ORB_init(n, args.data(), "EchoServer:echo", f.env);
    if (!f.check("ORB_init") || !orb)
        return 1;
    CORBA::Object *obj = orb->resolve_initial_references("RootPOA", f.env);
    if (!f.check("RootPOA") || !obj)
        return 1;
    auto *root = static_cast<PortableServer::POA *>(obj);
    auto *servant = new EchoImpl;
    servant->slow_ms = slow_ms < 0 ? 0 : slow_ms > 60000 ? 60000 : slow_ms;
    servant->nap = nap;
    PortableServer::ObjectId *oid = root->activate_object(servant, f.env);
    if (!f.check("activate_object"))
        return 1;
    CORBA::Object *ref = root->create_reference_with_id(*oid, PeerTest::Echo::wq_IR_Name, f.env);
    char *ior = ref ? orb->object_to_string(ref, f.env) : nullptr;
    if (!f.check("object_to_string") || !ior)
        return 1;
    std::printf("%s\n", ior);
    std::fflush(stdout);
    if (out_file) {
        std::FILE *fp = std::fopen(out_file, "w");
        if (!fp || std::fprintf(fp, "%s\n", ior) < 0 || std::fclose(fp) != 0) {
            std::fprintf(stderr, "orb_echo_server: cannot write %s\n", out_file);
            return 1;
        }
    }
    PortableServer::POAManager *m = root->the_POAManager();
    m->activate(f.env);
    CORBA::release(m);
    if (!f.check("activate"))
        return 1;

    int sig = 0;
    sigwait(&stop, &sig);

    CORBA::string_free(ior);
    CORBA::release(ref);
    root->deactivate_object(*oid, f.env);
    f.env.clear();
    delete oid;
    servant->_remove_ref();
    CORBA::release(obj);
    orb->destroy(f.env);
    f.env.clear();
    CORBA::release(orb);
    return 0;
}
