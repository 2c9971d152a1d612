// Server-side skeletons: the request a skeleton reads its arguments from and
// writes its results to, and the per-interface tables of skeleton functions.
#pragma once

#include "corba_env.h"
#include "corba_stream.h"

#include <cstdint>

class wq_Interface;

// What a skeleton receives: the request body (read position at the first
// argument) and the reply body (write position after the reply header).
struct wq_ServerRequest {
    CORBA::Stream &in;
    CORBA::Stream &out;
    char const *operation;
};

// A skeleton function: reads the arguments, calls the implementation object,
// writes the results; failures go into `env`.
typedef void (*wq_Skeleton)(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env);

// Skeleton functions by interface and operation name: per interface a map of
// 31 buckets with a last-hit entry. Filled by static registration before the
// process has threads; look-ups then only read (the last-hit entry is atomic).
class wq_SkeletonMap {
public:
    static constexpr uint32_t kBuckets = 31;
    // Registers a skeleton of an interface given by repository id.
    static void add(char const *repository_id, char const *operation, wq_Skeleton fn);
    // The skeleton of `operation` in `itf`'s map; null when none.
    static wq_Skeleton find(wq_Interface *itf, char const *operation);
    // Operation hash: h = (h * 32) XOR the signed character, up to NUL or 0xB5.
    static uint32_t hash(char const *operation);
};
