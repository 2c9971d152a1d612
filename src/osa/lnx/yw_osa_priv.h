/*
 * Helpers shared by the files of the Linux OS layer.
 */
#ifndef YW_OSA_PRIV_H
#define YW_OSA_PRIV_H

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_mem.h"

namespace yw_osa {

constexpr YW_int64_t kNsPerSec = 1000000000LL;

/* Platform error numbers and byte counts travel in YW_ret_t. */
inline YW_ret_t ret(int v)
{
    return static_cast<YW_ret_t>(v);
}

inline struct timespec toTimespec(YW_int64_t nsec)
{
    struct timespec ts;
    if (nsec < 0)
        nsec = 0;
    ts.tv_sec = static_cast<time_t>(nsec / kNsPerSec);
    ts.tv_nsec = static_cast<long>(nsec % kNsPerSec);
    return ts;
}

inline YW_int64_t nowNs(clockid_t clk)
{
    struct timespec ts;
    clock_gettime(clk, &ts);
    return static_cast<YW_int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

/* now + nsec on the given clock, saturated instead of overflowing. */
inline YW_int64_t deadlineNs(clockid_t clk, YW_int64_t nsec)
{
    YW_int64_t now = nowNs(clk);
    if (nsec < 0)
        nsec = 0;
    if (nsec > INT64_MAX - now)
        return INT64_MAX;
    return now + nsec;
}

/* Ends the calling thread when its deletion was requested (layer threads
 * only); called at every wait of the layer. */
void endIfDeleted();

/* Replaces `out` by a copy of `in` (permission `mode`): the copy is written
 * beside `out` and renamed over it, so a symbolic link at `out` is replaced
 * rather than written through, and readers never see a half file.
 * 0, -1 when `in` cannot be read or a path does not fit, 1 on a write error
 * (nothing is left behind). */
YW_ret_t replaceFile(const char *in, const char *out, int mode);

} // namespace yw_osa

#endif
