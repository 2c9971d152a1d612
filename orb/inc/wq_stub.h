// Static registration objects of stubs: the exception part (readers entered
// in the exception list by repository id).
#pragma once

#include "corba_except.h"

#include <cstdint>

namespace CORBA {
class Request;
class TypeCode;
typedef TypeCode *(*wq_TypeCodeGetter)(TypeCode *);
} // namespace CORBA

class wq_Stub {
public:
    // Creates the process-wide interface registry when none exists.
    wq_Stub();
    // Enters a copy of the id with its reader at the head of the exception
    // list (under the list's write lock); the bool is not used.
    static void reg(char const *id, CORBA::wq_ExceptionReader reader, bool);
    // Removes the first entry whose id equals `id` exactly.
    static void regu(char const *id, bool);

    // Interface registrations (wq_interface.cpp): a parent of an interface,
    // an operation's result and one of its parameters; regu removes the
    // interface entry.
    static void reg(char const *id, char const *parent_id, bool lock);
    static void reg(CORBA::wq_TypeCodeGetter tc, uint32_t count, char const *op, char const *id);
    static void reg(uint32_t index, uint32_t mode, CORBA::wq_TypeCodeGetter tc, uint32_t count,
                    char const *op, char const *id);
    static void regu(char const *id, char const *parent_id, bool lock);
    // True when the pending exception is a PortableServer::ForwardRequest.
    static bool need_remarshal(CORBA::Request *request, const CORBA::EnvironmentWrapper &env);
};

// Registers the 23 system-exception readers before main, removes them at exit.
class wq_sys_exc_stub : public wq_Stub {
public:
    wq_sys_exc_stub();
    ~wq_sys_exc_stub();
};
