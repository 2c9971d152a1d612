// Unbounded sequences of the IDL mapping: a buffer, its maximum and length,
// and a release flag telling whether the sequence owns the buffer. A
// sequence made over a buffer it does not own (release false) reads it in
// place, which lets a skeleton hand a servant the octets of a request
// where they lie; copying such a sequence makes an owned copy. Long octet
// buffers are the broker's large buffers, which a server reuses.
#pragma once

#include "wq_memtrim.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

template <class T> class CORBA_Sequence {
public:
    CORBA_Sequence() = default;
    explicit CORBA_Sequence(std::size_t n) { resize(n); }
    CORBA_Sequence(std::size_t n, const T &v)
    {
        length(checked(n));
        std::fill_n(buffer_, length_, v);
    }
    // Over `buffer` of `maximum` elements, the first `length` of them valid:
    // deleted with the sequence (delete[]) when `release`, else left to the
    // caller, who keeps it alive and unchanged while the sequence reads it.
    CORBA_Sequence(uint32_t maximum, uint32_t length, T *buffer, bool release = false)
        : buffer_(buffer), maximum_(maximum), length_(std::min(length, maximum)), release_(release)
    {
    }
    CORBA_Sequence(const CORBA_Sequence &o) { assign(o); }
    CORBA_Sequence(CORBA_Sequence &&o) noexcept { take(o); }
    CORBA_Sequence &operator=(const CORBA_Sequence &o)
    {
        if (this != &o) {
            CORBA_Sequence copy(o);
            clear();
            take(copy);
        }
        return *this;
    }
    CORBA_Sequence &operator=(CORBA_Sequence &&o) noexcept
    {
        if (this != &o) {
            clear();
            take(o);
        }
        return *this;
    }
    ~CORBA_Sequence() { clear(); }

    uint32_t maximum() const { return maximum_; }
    uint32_t length() const { return length_; }
    bool release() const { return release_; }
    // Sets the length. Elements beyond the old length are default-initialised
    // (octets: left as they are in a new buffer); growing past the maximum
    // moves the elements to a new owned buffer.
    void length(uint32_t n)
    {
        if (n > maximum_)
            grow(n);
        length_ = n;
    }
    T *get_buffer() { return buffer_; }
    const T *get_buffer() const { return buffer_; }
    static T *allocbuf(uint32_t n)
    {
        if constexpr (kLargeOctets) {
            if (n >= wq_large_bytes) {
                if (T *b = wq_large_alloc(n))
                    return b;
                throw std::bad_alloc();
            }
        }
        return new T[n];
    }
    static void freebuf(T *b)
    {
        if constexpr (kLargeOctets)
            wq_large_free(b);
        else
            delete[] b;
    }

    // The container interface C++ callers expect.
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    T *data() { return buffer_; }
    const T *data() const { return buffer_; }
    T *begin() { return buffer_; }
    T *end() { return buffer_ + length_; }
    const T *begin() const { return buffer_; }
    const T *end() const { return buffer_ + length_; }
    T &operator[](std::size_t i) { return buffer_[i]; }
    const T &operator[](std::size_t i) const { return buffer_[i]; }
    // As length(), but new elements are value-initialised (zero octets).
    void resize(std::size_t n)
    {
        uint32_t old = length_;
        length(checked(n));
        if (length_ > old)
            std::fill(buffer_ + old, buffer_ + length_, T());
    }
    // Deletes an owned buffer and clears all four fields.
    void clear()
    {
        if (release_) {
            if (kLargeOctets && maximum_ >= wq_large_bytes)
                freebuf(buffer_);
            else
                delete[] buffer_;
        }
        buffer_ = nullptr;
        maximum_ = length_ = 0;
        release_ = false;
    }
    friend bool operator==(const CORBA_Sequence &a, const CORBA_Sequence &b)
    {
        return a.length_ == b.length_ && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    static constexpr bool kLargeOctets = std::is_same_v<T, unsigned char>;
    static uint32_t checked(std::size_t n)
    {
        if (n > UINT32_MAX)
            throw std::length_error("sequence longer than 2^32-1 elements");
        return static_cast<uint32_t>(n);
    }
    void grow(uint32_t n)
    {
        T *b = allocbuf(n);
        std::copy(buffer_, buffer_ + length_, b);
        uint32_t keep = length_;
        clear();
        buffer_ = b;
        maximum_ = n;
        length_ = keep;
        release_ = true;
    }
    void assign(const CORBA_Sequence &o)
    {
        if (o.length_ == 0)
            return;
        buffer_ = allocbuf(o.length_);
        std::copy(o.begin(), o.end(), buffer_);
        maximum_ = length_ = o.length_;
        release_ = true;
    }
    void take(CORBA_Sequence &o)
    {
        buffer_ = std::exchange(o.buffer_, nullptr);
        maximum_ = std::exchange(o.maximum_, 0);
        length_ = std::exchange(o.length_, 0);
        release_ = std::exchange(o.release_, false);
    }

    T *buffer_ = nullptr;
    uint32_t maximum_ = 0;
    uint32_t length_ = 0;
    bool release_ = false;
};
