// Platform support of the broker.
#include "tkq_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern "C" {

int tkq_support_initialize(void) { return 0; }

void tkq_support_finalize(void) {}

void tkq_support_exit(int status)
{
    std::fflush(nullptr);
    std::exit(status);
}

int tkq_support_get_pid(void) { return static_cast<int>(getpid()); }

int tkq_support_get_node_name(char *buf, std::size_t size, std::size_t *length)
{
    if (length)
        *length = 0;
    if (!buf || size == 0)
        return -1;
    if (gethostname(buf, size) != 0 && errno != ENAMETOOLONG) {
        buf[0] = '\0';
        return -1;
    }
    // A name cut to the buffer may come back without its terminator.
    buf[size - 1] = '\0';
    if (length)
        *length = std::strlen(buf);
    return 0;
}

int tkq_support_sig_supress(void)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    int rc;
    do {
        rc = sigaction(SIGPIPE, &sa, nullptr);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

int tkq_support_get_error_string(int error, char *buf, std::size_t size, std::size_t *length)
{
    if (length)
        *length = 0;
    if (!buf || size == 0)
        return -1;
    char tmp[256];
    char const *text = strerror_r(error, tmp, sizeof tmp);
    std::snprintf(buf, size, "%s", text ? text : "");
    if (length)
        *length = std::strlen(buf);
    return 0;
}

} // extern "C"
