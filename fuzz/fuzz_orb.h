// Helpers shared by the broker's fuzz targets.
#pragma once

#include "corba_env.h"

// A wrapper bound to a private environment; the exception an input provoked
// is dropped at the end.
struct FuzzEnv {
    CORBA::EnvironmentWrapper w{new CORBA::EnvironmentInfo(0)};
    ~FuzzEnv() { w.clear(); }
};

// Stops the run when a property of the code under test does not hold.
inline void fuzz_check(bool ok)
{
    if (!ok)
        __builtin_trap();
}
