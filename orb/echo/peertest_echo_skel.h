// Server skeleton of the PeerTest::Echo interface (written by hand): the
// servant base class whose operations an implementation overrides. The
// skeleton functions read the arguments, call the servant and write the
// results; they are registered for the interface before main.
#pragma once

#include "peertest_echo.h"
#include "portable_server.h"

namespace POA_PeerTest {

class Echo : public PortableServer::ServantBase {
public:
    Echo();
    // A new string (CORBA::string_dup); errors are thrown as CORBA
    // exceptions (PeerTest::Oops from fail()).
    virtual char *echo_string(char const *s) = 0;
    virtual int32_t add(int32_t a, int32_t b) = 0;
    virtual PeerTest::OctetSeq echo_octets(const PeerTest::OctetSeq &data) = 0;
    virtual void ping() = 0;
    virtual void fail() = 0;
};

} // namespace POA_PeerTest
