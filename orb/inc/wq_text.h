// The broker's locked text writers on standard error and standard output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

class wq_StreamTextWrite;
typedef wq_StreamTextWrite &(*wq_TextManip)(wq_StreamTextWrite &);

class wq_StreamTextWrite {
public:
    constexpr explicit wq_StreamTextWrite(int fd) : fd_(fd) {}
    wq_StreamTextWrite(const wq_StreamTextWrite &) = delete;
    wq_StreamTextWrite &operator=(const wq_StreamTextWrite &) = delete;

    wq_StreamTextWrite &operator<<(char const *text);
    wq_StreamTextWrite &operator<<(char c);
    wq_StreamTextWrite &operator<<(long v);
    wq_StreamTextWrite &operator<<(unsigned long v);
    wq_StreamTextWrite &operator<<(int v) { return *this << static_cast<long>(v); }
    wq_StreamTextWrite &operator<<(unsigned int v) { return *this << static_cast<unsigned long>(v); }
    wq_StreamTextWrite &operator<<(wq_TextManip m) { return m(*this); }

    // Writes `n` bytes as one piece under the writer's lock.
    void write(char const *text, std::size_t n);
    void flush();

private:
    std::FILE *file() const;
    int fd_;
    std::mutex lock_;
};

extern wq_StreamTextWrite wq_err;
extern wq_StreamTextWrite wq_out;

// Ends the line and flushes.
wq_StreamTextWrite &wq_endl(wq_StreamTextWrite &w);
wq_StreamTextWrite &wq_flush(wq_StreamTextWrite &w);
