// Static registration objects of stubs: the exception part (readers entered
// in the exception list by repository id).
#pragma once

#include "corba_except.h"

class wq_Stub {
public:
    // Enters a copy of the id with its reader at the head of the exception
    // list (under the list's write lock); the bool is not used.
    static void reg(char const *id, CORBA::wq_ExceptionReader reader, bool);
    // Removes the first entry whose id equals `id` exactly.
    static void regu(char const *id, bool);
};

// Registers the 23 system-exception readers before main, removes them at exit.
class wq_sys_exc_stub : public wq_Stub {
public:
    wq_sys_exc_stub();
    ~wq_sys_exc_stub();
};
