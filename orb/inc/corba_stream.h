// CDR stream: the broker's encoder and decoder of the Common Data
// Representation, over a chain of memory blocks.
//
// Errors never throw here: they are stored in the stream's environment, and
// every operation returns without effect while an exception is pending there
// or once the stream has met malformed input.
#pragma once

#include <cstdint>
#include <cstring>

#include "corba_env.h"
#include "corba_string.h"
#include "wq_memblock.h"

namespace CORBA {

class EnvironmentWrapper;
class Exception;
class Object;
class TypeCode;

class Stream {
public:
    struct from_string {
        from_string(char const *s, uint32_t b = 0) : val(s), bound(b) {}
        char const *val;
        uint32_t bound; // 0 = unbounded
    };
    struct to_string {
        to_string(char *&s, uint32_t b = 0) : val(&s), bound(b) {}
        char **val;
        uint32_t bound; // 0 = unbounded
    };
    struct from_char {
        explicit from_char(char c) : val(c) {}
        char val;
    };
    struct from_boolean {
        explicit from_boolean(bool b) : val(b) {}
        bool val;
    };

    // Writers store every item in host order when true, byte-swapped when
    // false; each new stream copies it into its byte-order field.
    static bool _use_native_endian;
    // Sets the flag; no effect once the ORB is initialised.
    static void use_native_endian(bool native);
    // Set by the ORB when it is initialised (freezes use_native_endian).
    static bool _frozen_endian;

    // Bound to the calling thread's environment, request-sized head block.
    Stream();
    explicit Stream(const EnvironmentWrapper &env);
    Stream(uint32_t size, const EnvironmentWrapper &env);
    // Wraps a caller's buffer (not owned); growth chains 65536-byte blocks.
    // Only the multiple of 8 below `length` is used.
    Stream(void *buffer, uint32_t length, int flag, const EnvironmentWrapper &env);
    // shared: a read-only view of other's chain; else a copy of its data.
    // A view holds the chain: it stays readable after its owner is
    // reclaimed, copied into or destroyed.
    Stream(const Stream &other, const EnvironmentWrapper &env, bool shared);
    // A read-only view of the next n bytes of `outer` (an encapsulation),
    // read in place: its offsets and alignment start at the first of them and
    // it ends after the last. `outer` moves past the n bytes; too few of them
    // raise the read error in `outer` and leave the view empty and failed.
    Stream(Stream &outer, uint32_t n, const EnvironmentWrapper &env);
    ~Stream();

    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    void readonly_copy(const Stream &other);
    void copy(const Stream &other);
    void swap(Stream &other);
    void reclaim();

    // Housekeeping.
    uint32_t size_written();
    uint32_t size_read() const;
    uint32_t linear_block_remaining() const;
    uint32_t linear_total_remaining() const;
    // Bytes between the read position and the end of the written data.
    uint32_t bytes_remaining() const;
    void skip_write(uint32_t n);
    void skip_read(uint32_t n);
    void write_stream(Stream &source, uint32_t n);
    void read_stream(Stream &target, uint32_t n);

    // True when an exception is pending for this stream (its environment
    // holds one, or the stream has failed).
    bool pending() const { return failed_ || env_->pending(); }
    const EnvironmentWrapper &env() const { return *env_; }

    // Byte order of the data being read: 1 host order, 0 swapped.
    uint8_t byte_order() const { return byte_order_; }
    void byte_order(uint8_t o) { byte_order_ = o ? 1 : 0; }
    // The CDR byte-order flag (1 little-endian) of what the writers produce.
    static uint8_t write_flag();
    // The byte-order field for data that carries the CDR flag `cdr_flag`.
    static uint8_t order_for_flag(uint8_t cdr_flag);

    uint32_t message_length() const { return msg_len_; }
    void message_length(uint32_t n) { msg_len_ = n; }
    uint32_t block_size() const { return block_size_; }

    wq_MemoryBlock *head() const { return head_; }
    wq_MemoryBlock *read_block() const { return rblock_; }
    wq_MemoryBlock *write_block() const { return wblock_; }
    unsigned char *read_position() const { return rpos_; }
    unsigned char *write_position() const { return wpos_; }
    // Stream offsets of the read and write positions.
    uint32_t read_offset() const;
    uint32_t write_offset() const;

    // Writers.
    Stream &operator<<(unsigned char v)
    {
        uintptr_t w = reinterpret_cast<uintptr_t>(wpos_);
        if (__builtin_expect(w >= wlimit_ || env_pending(), 0))
            w = write_slow(v, 1);
        else
            *reinterpret_cast<unsigned char *>(w) = v;
        wpos_ = reinterpret_cast<unsigned char *>(w + 1);
        return *this;
    }
    Stream &operator<<(from_char v) { return *this << static_cast<unsigned char>(v.val); }
    Stream &operator<<(from_boolean v) { return *this << static_cast<unsigned char>(v.val ? 1 : 0); }
    Stream &operator<<(short v) { return put<2>(v); }
    Stream &operator<<(unsigned short v) { return put<2>(v); }
    Stream &operator<<(int v) { return put<4>(v); }
    Stream &operator<<(unsigned int v) { return put<4>(v); }
    Stream &operator<<(float v) { return put<4>(v); }
    Stream &operator<<(double v) { return put<8>(v); }
    Stream &operator<<(long long v) { return put<8>(v); }
    Stream &operator<<(unsigned long long v) { return put<8>(v); }
    Stream &operator<<(from_string v);
    Stream &operator<<(const String_var &v);
    Stream &operator<<(const TypeCode &tc);

    Stream &write_array_1(const void *p, uint32_t n);
    Stream &write_array_bool(const void *p, uint32_t n);
    Stream &write_array_2(const void *p, uint32_t n);
    Stream &write_array_4(const void *p, uint32_t n);
    Stream &write_array_8(const void *p, uint32_t n);

    // Store one value at an address inside the chain (back-patching).
    // An address that does not hold the whole value inside one block of
    // this chain is refused (MARSHAL).
    void write_short_at(unsigned char *at, short v);
    void write_ushort_at(unsigned char *at, unsigned short v);
    void write_long_at(unsigned char *at, int v);
    void write_ulong_at(unsigned char *at, unsigned int v);
    void write_float_at(unsigned char *at, float v);
    void write_double_at(unsigned char *at, double v);
    void write_longlong_at(unsigned char *at, long long v);
    void write_ulonglong_at(unsigned char *at, unsigned long long v);

    // Object references (IORs); defined with the target factories.
    Stream &write_object(Object *obj);
    Object *read_object(char const *interface_name);

    // Readers.
    // The next octet; 0xBD while an exception is pending.
    unsigned char read_octet()
    {
        unsigned char *r = rpos_;
        if (__builtin_expect(reinterpret_cast<uintptr_t>(r) >= rend_ || env_pending(), 0))
            return read_octet_slow();
        rpos_ = r + 1;
        return *r;
    }
    void read_2(void *v) { get<2>(v); }
    void read_4(void *v) { get<4>(v); }
    void read_8(void *v) { get<8>(v); }
    void read_array_1(void *p, uint32_t n);
    void read_array_bool(void *p, uint32_t n);
    void read_array_2(void *p, uint32_t n);
    void read_array_4(void *p, uint32_t n);
    void read_array_8(void *p, uint32_t n);
    Stream &operator>>(to_string v);
    Stream &operator>>(String_var &v);
    Stream &operator>>(TypeCode *&tc);

    // Reads a ulong count of elements of at least `elem_size` bytes each and
    // checks (in 64 bits) that they fit in the bytes that remain; raises
    // MARSHAL and returns false when they cannot.
    bool read_count(uint32_t &count, uint32_t elem_size);
    // Checks that `count` elements of `elem_size` bytes can still be read.
    bool check_count(uint32_t count, uint32_t elem_size);

    // Stores the K bytes at src reversed at dst (they may be the same).
    template <uint32_t K> static void swap_store(void *dst, const void *src)
    {
        if constexpr (K == 2) {
            uint16_t x;
            std::memcpy(&x, src, 2);
            x = __builtin_bswap16(x);
            std::memcpy(dst, &x, 2);
        } else if constexpr (K == 4) {
            uint32_t x;
            std::memcpy(&x, src, 4);
            x = __builtin_bswap32(x);
            std::memcpy(dst, &x, 4);
        } else {
            uint64_t x;
            std::memcpy(&x, src, 8);
            x = __builtin_bswap64(x);
            std::memcpy(dst, &x, 8);
        }
    }


    // Raises the read error (MARSHAL minor 1 "read exceeded message size")
    // into this stream's environment and marks the stream failed.
    void read_error();
    // Raises `e` (heap, made with Exception::operator new) into this
    // stream's environment and marks the stream failed.
    void fail(Exception *e);
    // Marks the stream failed for an error already raised into its
    // environment (by a stream that shares it, such as an encapsulation).
    void mark_failed()
    {
        failed_ = 1;
        sync();
    }

private:
    // Fast paths of the primitive writers and readers: the aligned item fits
    // in the current block and nothing is pending. Everything else (a block
    // change, a latched error, an exception in the environment, a view that
    // cannot write) goes through write_prim/read_prim, out of line.
    bool env_pending() const { return env_->pending(); }
    template <uint32_t K, class T> Stream &put(T v)
    {
        static_assert(sizeof(T) == K);
        // The fast path runs only where addresses and stream offsets agree
        // modulo 8 (sync() closes it elsewhere), so aligning the address
        // aligns the offset. Positions are handled as integers so that the
        // compiler can fold the alignment of consecutive items.
        uintptr_t w = reinterpret_cast<uintptr_t>(wpos_);
        uintptr_t p = (w + (K - 1)) & ~static_cast<uintptr_t>(K - 1);
        if (__builtin_expect(p + K > wlimit_ || env_pending(), 0)) {
            uint64_t bits = 0;
            std::memcpy(&bits, &v, K);
            p = write_slow(bits, K);
        } else {
            uint64_t zero = 0;
            std::memcpy(reinterpret_cast<void *>(w), &zero, K); // any padding; the value follows
            unsigned char *at = reinterpret_cast<unsigned char *>(p);
            if (__builtin_expect(_use_native_endian, 1))
                std::memcpy(at, &v, K);
            else
                swap_store<K>(at, &v);
        }
        // Both paths leave the write position K bytes behind p, so the next
        // item's alignment is computed from p directly.
        wpos_ = reinterpret_cast<unsigned char *>(p + K);
        return *this;
    }
    template <uint32_t K> void get(void *v)
    {
        uintptr_t r = reinterpret_cast<uintptr_t>(rpos_);
        uintptr_t a = (r + (K - 1)) & ~static_cast<uintptr_t>(K - 1);
        if (__builtin_expect(a + K > rend_ || env_pending(), 0))
            return read_prim(v, K);
        const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
        if (__builtin_expect(byte_order_, 1))
            std::memcpy(v, p, K);
        else
            swap_store<K>(v, p);
        rpos_ = reinterpret_cast<unsigned char *>(a + K);
    }
    // The slow paths. write_slow: `bits` holds the value's k bytes first in
    // memory; returns the write position less k (where the item went when it
    // was written), whatever happened.
    [[gnu::cold, gnu::noinline]] uintptr_t write_slow(uint64_t bits, uint32_t k);
    // Recomputes the fast paths' bounds after the blocks, positions or state
    // changed on a slow path.
    void sync();
    void init_head(uint32_t size);
    // The chain this stream keeps alive (owned or held), and giving it up.
    wq_MemoryBlock *root() const { return shared_ ? held_ : head_; }
    void drop_chain();
    // Start of the data: the first byte of a view, else the head's data.
    unsigned char *start() const { return head_->data + (origin_ - head_->base); }
    void write_prim(const void *v, uint32_t k);
    Stream &write_array_k(const void *p, uint32_t n, uint32_t k);
    bool align_write(uint32_t k);
    bool next_write_block();
    bool align_read(uint32_t k);
    [[gnu::cold, gnu::noinline]] void read_prim(void *v, uint32_t k);
    [[gnu::cold, gnu::noinline]] unsigned char read_octet_slow();
    bool read_raw(void *p, uint32_t n);
    bool check_at(unsigned char *at, uint32_t k);
    void put_at(unsigned char *at, const void *v, uint32_t k);
    void no_memory();

    const EnvironmentWrapper *env_ = nullptr;
    wq_MemoryBlock *head_ = nullptr;
    wq_MemoryBlock *rblock_ = nullptr;
    wq_MemoryBlock *wblock_ = nullptr;
    unsigned char *rpos_ = nullptr;
    unsigned char *wpos_ = nullptr;
    uint32_t block_size_ = 65536;
    uint8_t byte_order_ = 1;
    uint8_t shared_ = 0;
    uint8_t failed_ = 0;
    uint32_t msg_len_ = 0;
    // Stream offset of this stream's first byte within its chain (nonzero
    // for a view of an encapsulation); offsets and alignment count from it.
    uint32_t origin_ = 0;
    // Head of the chain a view holds (null for an owner).
    wq_MemoryBlock *held_ = nullptr;
    // Fast-path state, kept by sync(). Writing: the end of the write block as
    // an address, 0 while the stream cannot write or the block's addresses
    // do not align like its stream offsets. Reading: the read block's bound
    // as of the last sync (the write position when reading the write block,
    // which later writes may have moved on: a read that finds the bound too
    // close takes the slow path, which looks again), 0 in the same cases.
    uintptr_t wlimit_ = 0;
    uintptr_t rend_ = 0;
};

} // namespace CORBA

// Stream utilities over block positions.
struct wq_StreamUtil {
    // Stores a new MARSHAL (minor 0x51570101, COMPLETED_MAYBE, text) in env.
    static void raise_general_error(char const *text, const CORBA::EnvironmentWrapper &env);
    // Bytes written from `position` in `block` to the current write position.
    static uint32_t size_written_since(CORBA::Stream &s, wq_MemoryBlock *block,
                                       unsigned char *position);
    // Writes `value` as a ulong at an earlier position (null: start of the
    // first block); the write position is left where it was.
    static void write_ulong_at(CORBA::Stream &s, uint32_t value, wq_MemoryBlock *block,
                               unsigned char *position);
};
