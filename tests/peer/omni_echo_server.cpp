// Echo server built on omniORB, used only as an independent peer in tests.
// Usage: omni_echo_server [ORB options] [-o FILE] [-nap]
// (with -nap an `echo_string` of "nap N" takes N milliseconds, at most 1000)
// Prints its IOR on one line (and into FILE), serves until SIGTERM or SIGINT,
// and ends by itself after 120 seconds so that no test can leave it behind.
#include "peertest.hh"

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

class EchoImpl : public POA_PeerTest::Echo {
public:
    char *echo_string(const char *s) override
    {
        if (nap && s && std::strncmp(s, "nap ", 4) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000L, std::atol(s + 4))));
        return CORBA::string_dup(s);
    }
    CORBA::Long add(CORBA::Long a, CORBA::Long b) override
    {
        return static_cast<CORBA::Long>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    }
    PeerTest::OctetSeq *echo_octets(const PeerTest::OctetSeq &data) override
    {
        return new PeerTest::OctetSeq(data);
    }
    void ping() override { ++pings; }
    void fail() override { throw PeerTest::Oops(42, "as asked"); }
    unsigned long pings = 0;
    bool nap = false;
};

} // namespace

int main(int argc, char **argv)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    bool nap = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-nap") == 0) {
            nap = true;
            for (int k = i; k + 1 <= argc; ++k)
                argv[k] = argv[k + 1];
            --argc;
            break;
        }
    char const *out_file = nullptr;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-o") == 0) {
            out_file = argv[i + 1];
            for (int k = i; k + 2 <= argc; ++k)
                argv[k] = argv[k + 2];
            argc -= 2;
            break;
        }
    try {
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
        CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        EchoImpl *servant = new EchoImpl;
        servant->nap = nap;
        PortableServer::ObjectId_var id = poa->activate_object(servant);
        CORBA::Object_var ref = servant->_this();
        CORBA::String_var ior = orb->object_to_string(ref);
        if (out_file) {
            std::FILE *f = std::fopen(out_file, "w");
            if (!f) {
                std::fprintf(stderr, "cannot write %s\n", out_file);
                return 1;
            }
            std::fprintf(f, "%s\n", ior.in());
            std::fclose(f);
        }
        std::printf("%s\n", ior.in());
        std::fflush(stdout);
        PortableServer::POAManager_var mgr = poa->the_POAManager();
        mgr->activate();
        std::thread stopper([&orb, set]() {
            timespec limit{120, 0};
            sigtimedwait(&set, nullptr, &limit);
            orb->shutdown(false);
        });
        orb->run();
        stopper.join();
        servant->_remove_ref();
        orb->destroy();
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "omni_echo_server: CORBA exception %s\n", e._name());
        return 1;
    }
    return 0;
}
