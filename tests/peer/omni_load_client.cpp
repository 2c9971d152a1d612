// Load client built on omniORB, used by the broker's benches to put the
// client most users have in front of a server.
// Usage:
//   omni_load_client IOR mixed CALLS
//     connects and calls add once, prints "ready", waits for a byte on its
//     standard input, then makes CALLS pairs of add and a 1 KiB echo_octets,
//     every answer checked, and prints "ok" (or "failed").
#include "peertest.hh"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void wait_for_start()
{
    std::printf("ready\n");
    std::fflush(stdout);
    char go;
    (void)!read(0, &go, 1);
}

bool mixed(PeerTest::Echo_ptr echo, long calls)
{
    echo->add(1, 2);
    wait_for_start();
    PeerTest::OctetSeq data;
    data.length(1024);
    for (CORBA::ULong i = 0; i < data.length(); ++i)
        data[i] = 5;
    for (long i = 0; i < calls; ++i) {
        if (echo->add(CORBA::Long(i), 1) != CORBA::Long(i) + 1)
            return false;
        PeerTest::OctetSeq_var back = echo->echo_octets(data);
        if (back->length() != 1024 || back[1023] != 5)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool ok = false;
    try {
        char const *opts[][2] = {{"giopMaxMsgSize", "67108864"}, {nullptr, nullptr}};
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", opts);
        if (argc < 4) {
            std::fprintf(stderr, "usage: omni_load_client IOR mixed CALLS\n");
            return 2;
        }
        CORBA::Object_var obj = orb->string_to_object(argv[1]);
        PeerTest::Echo_var echo = PeerTest::Echo::_narrow(obj);
        if (std::strcmp(argv[2], "mixed") == 0) {
            ok = mixed(echo, std::atol(argv[3]));
        }
        orb->destroy();
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "omni_load_client: CORBA exception %s\n", e._name());
    }
    std::printf(ok ? "ok\n" : "failed\n");
    return ok ? 0 : 1;
}
