// The Any container: a TypeCode and one value of that type, kept in CDR in
// the Any's own stream (whose errors stay in the Any's private environment).
#pragma once

#include "corba_env.h"
#include "corba_stream.h"
#include "corba_typecode.h"

namespace CORBA {

class Any {
public:
    struct from_boolean {
        explicit from_boolean(bool b) : val(b) {}
        bool val;
    };
    struct from_char {
        explicit from_char(char c) : val(c) {}
        char val;
    };
    struct from_octet {
        explicit from_octet(unsigned char o) : val(o) {}
        unsigned char val;
    };
    struct to_boolean {
        explicit to_boolean(bool &b) : ref(b) {}
        bool &ref;
    };
    struct to_char {
        explicit to_char(char &c) : ref(c) {}
        char &ref;
    };
    struct to_octet {
        explicit to_octet(unsigned char &o) : ref(o) {}
        unsigned char &ref;
    };

    // An empty Any (TypeCode null).
    Any();
    // Copies the TypeCode and the value (item by item through the TypeCode).
    Any(const Any &other);
    Any &operator=(const Any &other);
    ~Any();

    void operator<<=(short v);
    void operator<<=(unsigned short v);
    void operator<<=(int v);
    void operator<<=(unsigned int v);
    void operator<<=(from_boolean v);
    void operator<<=(from_char v);
    void operator<<=(from_octet v);
    void operator<<=(long long v);
    void operator<<=(unsigned long long v);

    // True and the value when the Any holds that kind.
    bool operator>>=(short &v) const;
    bool operator>>=(unsigned short &v) const;
    bool operator>>=(int &v) const;
    bool operator>>=(unsigned int &v) const;
    bool operator>>=(to_boolean v) const;
    bool operator>>=(to_char v) const;
    bool operator>>=(to_octet v) const;
    bool operator>>=(long long &v) const;
    bool operator>>=(unsigned long long &v) const;

    // The held TypeCode (not copied; owned by the Any).
    TypeCode *wq_type() const { return tc_; }

private:
    friend class TypeCode;
    void set(TypeCode *tc, const void *v, unsigned k);
    bool get(TCKind kind, void *v, unsigned k) const;

    TypeCode *tc_;
    EnvironmentWrapper env_;
    Stream value_;
};

} // namespace CORBA
