// Echo client built on omniORB that makes many large echo_octets calls, used
// only as an independent peer by the large-message tests and benches.
// Usage: omni_echo_bulk [ORB options] IOR-or-file BYTES WARM CALLS
// Makes WARM calls of BYTES octets, then CALLS measured ones, printing each
// one's time in milliseconds on a line of its own. Before the first measured
// call and after the last it prints "ready" and waits for a line on standard
// input, so that the caller can take the server's figures around them.
// Exits 0 only when every answer had the length sent.
#include "omni_reference.h"
#include "peertest.hh"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    try {
        // Room for the messages asked for (omniORB's default is 2 MiB).
        static const char *options[][2] = {{"giopMaxMsgSize", "268435456"}, {nullptr, nullptr}};
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
        if (argc != 5) {
            std::fprintf(stderr, "usage: omni_echo_bulk [ORB options] IOR-or-file BYTES WARM CALLS\n");
            return 2;
        }
        unsigned long bytes = std::strtoul(argv[2], nullptr, 10);
        long warm = std::strtol(argv[3], nullptr, 10), calls = std::strtol(argv[4], nullptr, 10);
        if (bytes == 0 || bytes > (256ul << 20) || warm < 0 || calls < 0 || warm + calls > 100000) {
            std::fprintf(stderr, "omni_echo_bulk: BYTES 1..256 MiB, WARM + CALLS at most 100000\n");
            return 2;
        }
        std::string text = reference_text(argv[1]);
        CORBA::Object_var obj = orb->string_to_object(text.c_str());
        PeerTest::Echo_var echo = PeerTest::Echo::_unchecked_narrow(obj);
        PeerTest::OctetSeq data;
        data.length(CORBA::ULong(bytes));
        std::memset(data.get_buffer(), 7, bytes);
        auto ready = [] {
            std::printf("ready\n");
            std::fflush(stdout);
            char line[16];
            return std::fgets(line, sizeof line, stdin) != nullptr;
        };
        bool all = true;
        for (long i = 0; i < warm + calls; ++i) {
            if (i == warm && !ready())
                return 1;
            auto t0 = std::chrono::steady_clock::now();
            PeerTest::OctetSeq_var back = echo->echo_octets(data);
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            all &= back->length() == data.length();
            if (i >= warm) {
                std::printf("%.3f\n", ms);
                std::fflush(stdout);
            }
        }
        if (calls > 0 && !ready())
            return 1;
        orb->destroy();
        return all ? 0 : 1;
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "omni_echo_bulk: CORBA exception %s\n", e._name());
        return 1;
    }
}
