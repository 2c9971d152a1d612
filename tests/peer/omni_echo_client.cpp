// Echo client built on omniORB, used only as an independent peer in tests.
// Usage: omni_echo_client [ORB options] IOR-or-file [UNKNOWN-KEY-REFERENCE]
// Calls every operation once, prints one line per operation and exits 0
// only when every answer is right. With a second reference (one whose key the
// server does not know) it also checks the server's system-exception replies:
// _non_existent there is true, a call there is OBJECT_NOT_EXIST, and an
// operation the Echo object lacks is BAD_OPERATION.
#include "omni_reference.h"
#include "peertest.hh"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool report(char const *op, bool ok, std::string const &detail)
{
    std::printf("%s %s %s\n", op, ok ? "ok" : "FAILED", detail.c_str());
    return ok;
}

// A system exception that arrives as itself (a reply omniORB could not read
// would come as COMM_FAILURE instead).
template <class Call> bool expect_system(char const *op, char const *name, Call call)
{
    try {
        call();
        return report(op, false, "no exception");
    } catch (const CORBA::SystemException &e) {
        return report(op, std::strcmp(e._name(), name) == 0, e._name());
    }
}

bool system_exception_replies(CORBA::ORB_ptr orb, CORBA::Object_ptr echo, char const *unknown_text)
{
    bool all = true;
    CORBA::Object_var unknown = orb->string_to_object(unknown_text);
    try {
        bool gone = unknown->_non_existent();
        all &= report("non_existent", gone, gone ? "true" : "false");
    } catch (const CORBA::SystemException &e) {
        all &= report("non_existent", false, e._name());
    }
    PeerTest::Echo_var lost = PeerTest::Echo::_unchecked_narrow(unknown);
    all &= expect_system("unknown_key", "OBJECT_NOT_EXIST", [&] { lost->add(1, 2); });
    PeerTest::Unserved_var other = PeerTest::Unserved::_unchecked_narrow(echo);
    all &= expect_system("unknown_operation", "BAD_OPERATION", [&] { other->missing(); });
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
        if (argc < 2 || argc > 3) {
            std::fprintf(stderr, "usage: omni_echo_client [ORB options] IOR-or-file [UNKNOWN-KEY-REFERENCE]\n");
            return 2;
        }
        std::string text = reference_text(argv[1]);
        CORBA::Object_var obj = orb->string_to_object(text.c_str());
        PeerTest::Echo_var echo = PeerTest::Echo::_narrow(obj);
        if (CORBA::is_nil(echo)) {
            std::fprintf(stderr, "omni_echo_client: not an Echo reference\n");
            return 1;
        }
        bool all = true;
        CORBA::String_var s = echo->echo_string("hello, peer");
        all &= report("echo_string", std::strcmp(s.in(), "hello, peer") == 0, s.in());
        CORBA::Long sum = echo->add(40, 2);
        all &= report("add", sum == 42, std::to_string(sum));
        PeerTest::OctetSeq data;
        data.length(1000);
        for (CORBA::ULong i = 0; i < data.length(); ++i)
            data[i] = static_cast<CORBA::Octet>(i * 7);
        PeerTest::OctetSeq_var back = echo->echo_octets(data);
        bool same = back->length() == data.length();
        for (CORBA::ULong i = 0; same && i < data.length(); ++i)
            same = back[i] == data[i];
        all &= report("echo_octets", same, std::to_string(back->length()));
        echo->ping();
        all &= report("ping", true, "sent");
        try {
            echo->fail();
            all &= report("fail", false, "no exception");
        } catch (const PeerTest::Oops &e) {
            all &= report("fail", e.code == 42 && std::strcmp(e.why.in(), "as asked") == 0,
                          std::to_string(e.code) + " " + e.why.in());
        }
        if (argc == 3)
            all &= system_exception_replies(orb, obj, argv[2]);
        orb->destroy();
        return all ? 0 : 1;
    } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "omni_echo_client: CORBA exception %s\n", e._name());
        return 1;
    }
}
