// Platform support of the broker: process identity, host name, signals,
// error texts.
#pragma once

#include <cstddef>

extern "C" {
int tkq_support_initialize(void);
void tkq_support_finalize(void);
[[noreturn]] void tkq_support_exit(int status);
int tkq_support_get_pid(void);
// Host name into buf (always terminated); a failure leaves "" and length 0.
int tkq_support_get_node_name(char *buf, std::size_t size, std::size_t *length);
// Ignores SIGPIPE, retrying while interrupted.
int tkq_support_sig_supress(void);
// Text of an errno value into buf (always terminated).
int tkq_support_get_error_string(int error, char *buf, std::size_t size, std::size_t *length);
}
