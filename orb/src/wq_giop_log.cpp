// The connection log and the GIOP log on the broker's error output.
#include "wq_endpoint.h"

#include "corba_orb.h"
#include "wq_mthread.h"
#include "wq_text.h"

#include <cstdio>
#include <memory>

namespace {

void line(char const *text)
{
    std::unique_ptr<char[]> h(wq_HeaderLog::get_header());
    char buf[1024];
    int n = std::snprintf(buf, sizeof buf, "[ %s  %s ]\n", h ? h.get() : "", text);
    if (n > 0)
        wq_err.write(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void key_text(char *out, size_t size, const unsigned char *key, uint32_t len)
{
    size_t o = 0;
    for (uint32_t i = 0; i < len && o + 4 < size; ++i) {
        unsigned char c = key[i];
        if (c >= 0x20 && c < 0x7F)
            out[o++] = static_cast<char>(c);
        else
            o += static_cast<size_t>(std::snprintf(out + o, size - o, "\\%02X", c));
    }
    out[o < size ? o : size - 1] = '\0';
}

char const *dir(int d) { return d ? "sent" : "received"; }

} // namespace

void wq_CircuitLog::log_connect(char const *endpoint)
{
    char t[512];
    std::snprintf(t, sizeof t, "Connected to %s", endpoint ? endpoint : "");
    line(t);
}

void wq_CircuitLog::log_connect_failure(char const *endpoint)
{
    char t[512];
    std::snprintf(t, sizeof t, "Could not connect to %s", endpoint ? endpoint : "");
    line(t);
}

void wq_CircuitLog::log_accept() { line("Accepted a connection"); }

void wq_CircuitLog::log_abnormal_disconnect(int error)
{
    char t[128];
    std::snprintf(t, sizeof t, "Connection ended abnormally (%d)", error);
    line(t);
}

void wq_CircuitLog::log_disconnect() { line("Connection closed"); }

namespace {

// One GIOP line: kind, direction and id, then the kind's own fields.
void giop_line(char const *kind, int direction, uint32_t id, char const *fields, char const *peer)
{
    if (CORBA::ORB::diagnostics() < 2)
        return;
    char t[1024];
    std::snprintf(t, sizeof t, "GIOP %s %s id %u %s peer %s", kind, dir(direction), id, fields, peer ? peer : "");
    line(t);
}

} // namespace

void wq_GIOPLog::log_request(int direction, uint32_t id, char const *operation, const unsigned char *key,
                             uint32_t key_length, char const *peer)
{
    char k[256], f[600];
    key_text(k, sizeof k, key, key_length);
    std::snprintf(f, sizeof f, "op %s key %s", operation ? operation : "", k);
    giop_line("Request", direction, id, f, peer);
}

void wq_GIOPLog::log_reply(int direction, uint32_t id, uint32_t status, char const *peer)
{
    char f[32];
    std::snprintf(f, sizeof f, "status %u", status);
    giop_line("Reply", direction, id, f, peer);
}

void wq_GIOPLog::log_locate_request(int direction, uint32_t id, const unsigned char *key, uint32_t key_length,
                                    char const *peer)
{
    char k[256], f[300];
    key_text(k, sizeof k, key, key_length);
    std::snprintf(f, sizeof f, "key %s", k);
    giop_line("LocateRequest", direction, id, f, peer);
}

void wq_GIOPLog::log_locate_reply(int direction, uint32_t id, uint32_t status, char const *peer)
{
    char f[32];
    std::snprintf(f, sizeof f, "status %u", status);
    giop_line("LocateReply", direction, id, f, peer);
}
