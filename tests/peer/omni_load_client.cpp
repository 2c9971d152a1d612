// Load client built on omniORB, used by the broker's benches to put the
// client most users have in front of a server.
// Usage:
//   omni_load_client IOR mixed CALLS
//     connects and calls add once, prints "ready", waits for a byte on its
//     standard input, then makes CALLS pairs of add and a 1 KiB echo_octets,
//     every answer checked, and prints "ok" (or "failed").
//   omni_load_client IOR large BYTES CALLS IOR2
//     echo_octets of BYTES against both references, three calls on each to
//     warm up, prints "ready", waits for a byte, then in blocks of three on
//     each in turn until each had CALLS: one line "<k> <microseconds>" per
//     call (k 0 for IOR, 1 for IOR2), then "ok" (or "failed").
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

bool large(PeerTest::Echo_ptr e0, PeerTest::Echo_ptr e1, unsigned long bytes, long calls)
{
    PeerTest::OctetSeq data;
    data.length(CORBA::ULong(bytes));
    std::memset(data.get_buffer(), 7, bytes);
    PeerTest::Echo_ptr echo[2] = {e0, e1};
    auto call = [&](int k) {
        auto t0 = std::chrono::steady_clock::now();
        PeerTest::OctetSeq_var back = echo[k]->echo_octets(data);
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
        return back->length() == bytes ? long(us.count()) : -1L;
    };
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 3; ++i)
            if (call(k) < 0)
                return false;
    wait_for_start();
    for (long done = 0; done < calls; done += 3)
        for (int k = 0; k < 2; ++k)
            for (int i = 0; i < 3; ++i) {
                long us = call(k);
                if (us < 0)
                    return false;
                std::printf("%d %ld\n", k, us);
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
            std::fprintf(stderr, "usage: omni_load_client IOR mixed CALLS | IOR large BYTES CALLS IOR2\n");
            return 2;
        }
        CORBA::Object_var obj = orb->string_to_object(argv[1]);
        PeerTest::Echo_var echo = PeerTest::Echo::_narrow(obj);
        if (std::strcmp(argv[2], "mixed") == 0) {
            ok = mixed(echo, std::atol(argv[3]));
        } else if (std::strcmp(argv[2], "large") == 0 && argc >= 6) {
            CORBA::Object_var obj2 = orb->string_to_object(argv[5]);
            PeerTest::Echo_var echo2 = PeerTest::Echo::_narrow(obj2);
            ok = large(echo, echo2, std::strtoul(argv[3], nullptr, 10), std::atol(argv[4]));
        }
        orb->destroy();
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "omni_load_client: CORBA exception %s\n", e._name());
    }
    std::printf(ok ? "ok\n" : "failed\n");
    return ok ? 0 : 1;
}
