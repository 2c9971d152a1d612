// Log output of the command interface: each client slot has its own output
// port on the "stdout" log, so lines logged while a client is connected reach
// it too.
//
// The port carries a connection token, not the socket: the token names the
// slot and the connection, so a line for a client that has gone is dropped
// instead of being written to a descriptor that was closed and reused.
#include "yw_cli_int.h"

#include <cstdint>

#include "log/yw_log.h"

namespace yw_cli {

namespace {
// Longest wait for room in a client's socket before a log line is given up.
constexpr int kLogSendWaitMs = 1000;
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
    // A client that does not read costs the loggers one bounded wait, not
    // one per line.
    const int waitMs = s.logStalled.load(std::memory_order_relaxed) ? 0 : kLogSendWaitMs;
    s.logStalled.store(YW_log_lse_sendStampedWait(s.fd, data, size, record, waitMs) != 0, std::memory_order_relaxed);
    return 0;
}
