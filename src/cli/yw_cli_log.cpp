// Log output of the command interface: each client slot has its own output
// port on the "stdout" log, so lines logged while a client is connected reach
// it too.
//
// The port carries a connection token, not the socket: the token names the
// slot and the connection, so a line for a client that has gone is dropped
// instead of being written to a descriptor that was closed and reused.
#include "yw_cli_int.h"

#include <cstdint>
#include <poll.h>

#include "log/yw_log.h"

namespace yw_cli {

namespace {
// Lines are written under the log's port lock: a line that does not fit in
// the client's socket at once is dropped (counted by the log), never waited for.
constexpr int kLogSendWaitMs = 0;
}  // namespace

int addClientLogPort(uint32_t token)
{
    return YW_log_lse_addStdoutToCli(nullptr, static_cast<int>(token), YW_cli_writeLog);
}

void delClientLogPort(int port)
{
    if (port >= 0) {
        YW_log_lse_delCliFromStdout(port);
    }
}

}  // namespace yw_cli

using namespace yw_cli;

extern "C" int YW_cli_writeLog(struct yw_logOutputPort *port, const char *data, YW_size_t size,
                               struct yw_logRecord *record)
{
    if (port == nullptr || data == nullptr || size <= 0) {
        return 0;
    }
    const auto token = static_cast<uint32_t>(reinterpret_cast<intptr_t>(port->priv));
    const int k = static_cast<int>(token & 7u) - 1;
    if (k < 0 || k >= YW_CLI_CLIENT_MAX) {
        return 0;
    }
    // A command's output belongs to the client that typed it.
    const int own = currentSlot();
    if (own >= 0 && own != k) {
        return 0;
    }
    ClientSlot &s = g_slots[k];
    std::shared_lock<std::shared_mutex> g(s.lock);
    if (s.fd < 0 || s.token != token) {
        return 0;
    }
    // A client that does not read costs the loggers nothing: after a line
    // could not be sent whole, lines for it are dropped until its socket has
    // room again (the client has read a good part of what was queued).
    if (s.logStalled.load(std::memory_order_relaxed)) {
        struct pollfd p = {s.fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
            return -1;
        }
        s.logStalled.store(false, std::memory_order_relaxed);
    }
    if (YW_log_lse_sendStampedWait(s.fd, data, size, record, kLogSendWaitMs) != 0) {
        s.logStalled.store(true, std::memory_order_relaxed);
        return -1;
    }
    return 0;
}
