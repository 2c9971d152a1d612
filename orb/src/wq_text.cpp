// The broker's locked text writers.
#include "wq_text.h"

#include <cstring>

#include "osa/yw_nocancel.h"

constinit wq_StreamTextWrite wq_err(2);
constinit wq_StreamTextWrite wq_out(1);

std::FILE *wq_StreamTextWrite::file() const { return fd_ == 2 ? stderr : stdout; }

// Diagnostics are written from unlocks, destructors and exception handlers
// too: writing them is never where a stop ends the thread.
void wq_StreamTextWrite::write(char const *text, std::size_t n)
{
    YW_P_noCancel hold;
    std::lock_guard<std::mutex> g(lock_);
    std::FILE *f = file();
    std::fwrite(text, 1, n, f);
    if (fd_ == 2)
        std::fflush(f);
}

wq_StreamTextWrite &wq_StreamTextWrite::operator<<(char const *text)
{
    if (!text)
        text = "(null)";
    write(text, std::strlen(text));
    return *this;
}

wq_StreamTextWrite &wq_StreamTextWrite::operator<<(char c)
{
    write(&c, 1);
    return *this;
}

wq_StreamTextWrite &wq_StreamTextWrite::operator<<(long v)
{
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%ld", v);
    write(buf, static_cast<std::size_t>(n));
    return *this;
}

wq_StreamTextWrite &wq_StreamTextWrite::operator<<(unsigned long v)
{
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%lu", v);
    write(buf, static_cast<std::size_t>(n));
    return *this;
}

void wq_StreamTextWrite::flush()
{
    YW_P_noCancel hold;
    std::lock_guard<std::mutex> g(lock_);
    std::fflush(file());
}

wq_StreamTextWrite &wq_endl(wq_StreamTextWrite &w)
{
    w << '\n';
    w.flush();
    return w;
}

wq_StreamTextWrite &wq_flush(wq_StreamTextWrite &w)
{
    w.flush();
    return w;
}
