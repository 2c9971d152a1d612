// Client stub of the PeerTest::Echo interface (written by hand on the
// broker's stub pattern):
//
//   module PeerTest {
//     typedef sequence<octet> OctetSeq;
//     exception Oops { long code; string why; };
//     interface Echo {
//       string echo_string(in string s);
//       long add(in long a, in long b);
//       OctetSeq echo_octets(in OctetSeq data);
//       oneway void ping();
//       void fail() raises (Oops);
//     };
//   };
#pragma once

#include "corba_object.h"
#include "corba_sequence.h"

#include <cstdint>
#include <vector>

namespace PeerTest {

typedef CORBA_Sequence<unsigned char> OctetSeq;

class Oops : public CORBA::UserException {
public:
    Oops() = default;
    Oops(int32_t c, char const *w) : code(c), why(w ? w : "") {}
    Oops(const Oops &o) : CORBA::UserException(o), code(o.code), why(o.why) {}
    using CORBA::Exception::_raise;
    void _raise() const override;
    CORBA::Exception *wq_find_ptr(char const *id) override;
    char const *wq_ir_name() const override { return wq_IR_Name; }
    CORBA::Exception *wq_duplicate() const override { return new Oops(*this); }
    void wq_write(CORBA::Stream &s) const override;
    static CORBA::Exception *wq_read(CORBA::Stream &s);
    static Oops *_downcast(CORBA::Exception *e);
    static char const *wq_IR_Name;

    int32_t code = 0;
    CORBA::String_var why;
};

class Echo : public virtual CORBA::Object {
public:
    // Takes over the caller's reference to the target.
    explicit Echo(CORBA::Target *target) : CORBA::Object(target) {}

    // A new string (CORBA::string_free), null on error.
    char *echo_string(char const *s, const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    int32_t add(int32_t a, int32_t b, const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    OctetSeq echo_octets(const OctetSeq &data, const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    void ping(const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    void fail(const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());

    CORBA::Object *wq_find_ptr(char const *id) override;
    char const *wq_ir_name() const override { return wq_IR_Name; }
    // The typed reference (a new reference) or nil.
    static Echo *_narrow(CORBA::Object *obj);
    static char const *wq_IR_Name;
};

} // namespace PeerTest
