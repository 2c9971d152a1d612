// CDR stream: the broker's encoder and decoder of the Common Data
// Representation, over a chain of memory blocks.
//
// Errors never throw here: they are stored in the stream's environment, and
// every operation returns without effect while an exception is pending there
// or once the stream has met malformed input.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "corba_env.h"
#include "corba_string.h"
#include "wq_memblock.h"

namespace CORBA {

class EnvironmentWrapper;
class Exception;
class Object;
class TypeCode;

// Unsigned integers of K bytes (type), and the same at any alignment (at).
template <uint32_t K> struct cdr_word;
template <> struct cdr_word<2> {
    typedef uint16_t type;
    typedef uint16_t at __attribute__((aligned(1)));
};
template <> struct cdr_word<4> {
    typedef uint32_t type;
    typedef uint32_t at __attribute__((aligned(1)));
};
template <> struct cdr_word<8> {
    typedef unsigned long long type;
    typedef unsigned long long at __attribute__((aligned(1)));
};

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
    // false; each new stream copies it into its byte-order field, and a
    // stream takes it for its writers when it is reclaimed and when it starts
    // writing (offset 0) on a slow path.
    static bool _use_native_endian;
    // Sets the flag; no effect once the ORB is initialised (until it is
    // destroyed), so that every stream of a running ORB writes one order.
    static void use_native_endian(bool native);

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
    // Room for bytes stored from outside (a transport reading in place):
    // the free bytes of the write block from the write position, chaining
    // the next block when it is full. Sets `room` and returns the position,
    // or null (room 0) on failure. The write fast path is closed until
    // wrote() takes the bytes.
    unsigned char *write_room(uint32_t &room);
    // Takes n bytes already stored at the write position (at most the room
    // write_room gave); the bytes after them are left as they are.
    void wrote(uint32_t n);
    void read_stream(Stream &target, uint32_t n);
    // Puts the bytes written so far, and room up to stream offset `total`,
    // in one block of their own, so that what a transport then reads in
    // place lies in one piece and its arrays can be read where they are.
    // The positions keep their offsets; the next reclaim gives the block
    // back. `loose` bytes stored past the write position (read in place,
    // not taken yet) come along. False, with the stream as it was, for a
    // view, a chain that views hold, or when memory is short.
    bool contiguous(uint32_t total, uint32_t loose = 0);

    // True when an exception is pending for this stream (its environment
    // holds one, or the stream has failed).
    bool pending() const { return failed_ || env_->pending(); }
    const EnvironmentWrapper &env() const { return *env_; }

    // Byte order of the data being read: 1 host order, 0 swapped.
    uint8_t byte_order() const { return byte_order_; }
    void byte_order(uint8_t o)
    {
        o = o ? 1 : 0;
        // An open read path of the same order stays as it is.
        if (o == byte_order_ && rhold_ == 0)
            return;
        byte_order_ = o;
        sync_read();
    }
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
    unsigned char *read_position() const { return rpos(); }
    unsigned char *write_position() const { return wpos(); }
    // Stream offsets of the read and write positions.
    uint32_t read_offset() const;
    uint32_t write_offset() const;

    // Writers.
    [[gnu::always_inline]] Stream &operator<<(unsigned char v) { return put<1>(v); }
    [[gnu::always_inline]] Stream &operator<<(from_char v) { return *this << static_cast<unsigned char>(v.val); }
    [[gnu::always_inline]] Stream &operator<<(from_boolean v) { return *this << static_cast<unsigned char>(v.val ? 1 : 0); }
    [[gnu::always_inline]] Stream &operator<<(short v) { return put<2>(v); }
    [[gnu::always_inline]] Stream &operator<<(unsigned short v) { return put<2>(v); }
    [[gnu::always_inline]] Stream &operator<<(int v) { return put<4>(v); }
    [[gnu::always_inline]] Stream &operator<<(unsigned int v) { return put<4>(v); }
    [[gnu::always_inline]] Stream &operator<<(float v) { return put<4>(v); }
    [[gnu::always_inline]] Stream &operator<<(double v) { return put<8>(v); }
    [[gnu::always_inline]] Stream &operator<<(long long v) { return put<8>(v); }
    [[gnu::always_inline]] Stream &operator<<(unsigned long long v) { return put<8>(v); }
    Stream &operator<<(from_string v);
    Stream &operator<<(const String_var &v);
    Stream &operator<<(const TypeCode &tc);

    Stream &write_array_1(const void *p, uint32_t n);
    // The same bytes as write_array_1, but a large array is chained into the
    // stream by reference instead of copied: the buffer must stay unchanged
    // until give_back(lender) runs, which happens once in every case (at
    // once when the bytes were copied or the stream failed, else when the
    // chain is recycled or destroyed, perhaps in another thread).
    Stream &lend_array_1(const void *p, uint32_t n, void (*give_back)(void *), void *lender);
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
    [[gnu::always_inline]] unsigned char read_octet()
    {
        uintptr_t o = roff_;
        uintptr_t base = rbase_;
        unsigned char v;
        if (__builtin_expect(o < rlim_, 1)) {
            // Two bytes loaded with a 2-byte type (a byte load could alias
            // the stream's fields); both lie below the bound.
            uint16_t x = load_word<2>(base + o);
            std::memcpy(&v, &x, 1);
        } else {
            set_offset(roff_, o);
            v = octet_other(o);
        }
        roff_ = o + 1;
        return v;
    }
    [[gnu::always_inline]] void read_2(void *v) { get<2>(v); }
    [[gnu::always_inline]] void read_4(void *v) { get<4>(v); }
    [[gnu::always_inline]] void read_8(void *v) { get<8>(v); }
    // The same into a variable of a 2-, 4- or 8-byte arithmetic type.
    template <class T>
        requires(std::is_arithmetic_v<T> && sizeof(T) == 2)
    [[gnu::always_inline]] void read_2(T *v) { get<2>(v); }
    template <class T>
        requires(std::is_arithmetic_v<T> && sizeof(T) == 4)
    [[gnu::always_inline]] void read_4(T *v) { get<4>(v); }
    template <class T>
        requires(std::is_arithmetic_v<T> && sizeof(T) == 8)
    [[gnu::always_inline]] void read_8(T *v) { get<8>(v); }
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
        static_assert(K == 2 || K == 4 || K == 8);
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
    // Fast paths of the primitive writers and readers. A position is kept as
    // a base address and an offset (position = base + offset): the offset
    // moves by the item's aligned size whichever path the item takes, so the
    // compiler follows it from item to item as a constant step, with no
    // alignment work once it knows the offset modulo 8. The bounds are
    // offsets too. The fast path stores or loads in place when the aligned
    // item ends at or below the bound of its direction and byte order.
    // Everything else (a block change, a latched error, an exception in the
    // environment, a view that cannot write) goes through
    // write_slow/read_slow, out of line: the inlined code first stores the
    // item's aligned offset (keeping the offset it started from alive for the
    // slow path would cost a register on the fast path), the slow path
    // starts from there, or from the position held while the path is closed
    // (rhold_, whold_), and it sets the base so that the position comes out
    // where it left it when the caller then sets the aligned offset plus the
    // item's size. The padding an open path skips is already zero (writing)
    // or of no interest (reading).
    //
    // Each direction has one bound per byte order, the other one 0: host
    // order passes its first test, and the swapping path sits behind it.
    // Writing stores a whole 8-byte word, the item followed by zeros: the
    // padding before the next item lies inside it (an item of size k sits at
    // a multiple of k, so the next multiple of 8 is at most 8 bytes on), and
    // the slow path zeroes the 8 bytes past the position where it opens the
    // path. The write bound is the last offset where a word fits, plus one.
    // The bounds are 0 while the environment holds an exception: the stream
    // watches its environment, which closes them when one arrives.
    template <uint32_t K, class T> [[gnu::always_inline]] Stream &put(T v)
    {
        static_assert(sizeof(T) == K);
        uintptr_t o = woff_;
        uintptr_t a = align_up<K>(o);
        uintptr_t base = wbase_;
        uint64_t bits = 0;
        std::memcpy(&bits, &v, K);
        if (__builtin_expect(a < wlimit_, 1)) {
            store_word<K>(base + a, bits);
        } else {
            set_offset(woff_, a);
            put_other<K>(a, bits);
        }
        woff_ = a + K;
        return *this;
    }
    // Everything but the host-order fast path of put.
    template <uint32_t K> [[gnu::always_inline]] void put_other(uintptr_t a, uint64_t bits)
    {
        if (a < wswap_) {
            if constexpr (K > 1)
                swap_store<K>(&bits, &bits);
            store_word<K>(wbase_ + a, bits);
        } else {
            write_slow(bits, K);
        }
    }
    // Unsigned integers of K bytes, and the same at any alignment. Items are
    // stored and loaded with these types: under the compiler's aliasing rules
    // they cannot touch the stream's own fields, which then stay in
    // registers from item to item.
    template <uint32_t K> using Word = cdr_word<K>;
    // Stores the K bytes first in memory in `bits` (the rest zero) as the
    // first K bytes of the 8 at p.
    template <uint32_t K> [[gnu::always_inline]] static void store_word(uintptr_t p, uint64_t bits)
    {
        if constexpr (std::endian::native == std::endian::big && K < 8)
            bits >>= 64 - 8 * K;
        *reinterpret_cast<typename Word<8>::at *>(p) = bits;
    }
    template <uint32_t K> [[gnu::always_inline]] static typename Word<K>::type load_word(uintptr_t p)
    {
        return *reinterpret_cast<const typename Word<K>::at *>(p);
    }
    // Hands the K bytes of x to the caller's variable: as bytes through
    // void*, else as a value of the variable's type.
    template <uint32_t K, class D> [[gnu::always_inline]] static void deliver(D *v, typename Word<K>::type x)
    {
        if constexpr (std::is_void_v<D>) {
            std::memcpy(v, &x, K);
        } else {
            D t;
            std::memcpy(&t, &x, K);
            *v = t;
        }
    }
    template <uint32_t K, class D> [[gnu::always_inline]] void get(D *v)
    {
        uintptr_t o = roff_;
        uintptr_t a = align_up<K>(o);
        uintptr_t base = rbase_;
        if (__builtin_expect(a < rlim_, 1)) {
            deliver<K>(v, load_word<K>(base + a));
        } else {
            set_offset(roff_, a);
            get_other<K>(v, a);
        }
        roff_ = a + K;
    }
    // Everything but the host-order fast path of get.
    template <uint32_t K, class D> [[gnu::always_inline]] void get_other(D *v, uintptr_t a)
    {
        if (a + K <= rend_) {
            deliver<K>(v, load_word<K>(rbase_ + a));
        } else if (a + K <= rswap_) {
            typename Word<K>::type x = load_word<K>(rbase_ + a);
            swap_store<K>(&x, &x);
            deliver<K>(v, x);
        } else {
            read_slow(v, K);
        }
    }
    unsigned char octet_other(uintptr_t o)
    {
        if (o + 1 <= rend_ || o + 1 <= rswap_)
            return *reinterpret_cast<const unsigned char *>(rbase_ + o);
        return read_octet_slow();
    }
    // The offset o rounded up to a multiple of K. Where the compiler knows
    // already that o is one (an item following one of at least its size),
    // the result is o masked, which it folds to o: every item of such a run
    // then sits at a constant distance from the run's first, rather than
    // each at a step from the one before.
    template <uint32_t K> [[gnu::always_inline]] static uintptr_t align_up(uintptr_t o)
    {
        uintptr_t lo = o & (K - 1);
        if (__builtin_constant_p(lo) && lo == 0)
            return o & ~static_cast<uintptr_t>(K - 1);
        return (o + (K - 1)) & ~static_cast<uintptr_t>(K - 1);
    }
    [[gnu::always_inline]] static void set_offset(uintptr_t &field, uintptr_t o)
    {
        asm("" : "+r"(o));
        field = o;
    }
    // The slow paths; `bits` holds the value's k bytes first in memory.
    // write_slow and read_slow find the item's aligned offset in woff_ or
    // roff_ (the padding before it skipped), read_octet_slow the octet's
    // offset.
    [[gnu::cold, gnu::noinline]] void write_slow(uint64_t bits, uint32_t k);
    [[gnu::cold, gnu::noinline]] void read_slow(void *v, uint32_t k);
    [[gnu::cold, gnu::noinline]] unsigned char read_octet_slow();
    // Positions as addresses, and setting them (in the current write or read
    // block, with the base that makes the offset the true stream offset).
    unsigned char *wpos() const { return reinterpret_cast<unsigned char *>(wbase_ + woff_); }
    unsigned char *rpos() const { return reinterpret_cast<unsigned char *>(rbase_ + roff_); }
    void wat(unsigned char *p);
    void rat(unsigned char *p);
    // Moves the read or write position n bytes on.
    void radvance(uintptr_t n);
    void wadvance(uintptr_t n);
    // Closes the write fast path where the write position stands.
    void close_write();
    // After a slow path: the offset becomes e and the position stays; then
    // the fast path of that direction opens where it may.
    void settle_write(uintptr_t e);
    void settle_read(uintptr_t e);
    // Recomputes the fast paths' bounds after the blocks, positions or state
    // changed on a slow path; nothing past the write position is taken as
    // zero any more, so the next write takes the slow path.
    void sync();
    // The read bound only (the write side is untouched).
    void sync_read();
    // After a slow write: zeroes a stretch past the write position and opens
    // the write fast path up to its end.
    void open_write();
    // After an out-of-line write that leaves the fast path open: zeroes the
    // 8 bytes past the position (or closes the path where they do not fit).
    void zero_tail();
    // True when a fast path may open: the stream has not failed and its
    // environment is bound, watched and holds no exception.
    bool may_open();
    void unwatch();
    // Closes both fast paths where the positions stand.
    void close_fast();
    static void env_closed(wq_EnvWatch *w);
    // The order of the items written: taken from _use_native_endian when the
    // stream starts writing (at offset 0), kept for the rest of the stream.
    uint8_t write_order();
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
    void read_prim(void *v, uint32_t k);
    bool read_raw(void *p, uint32_t n);
    bool check_at(unsigned char *at, uint32_t k);
    void put_at(unsigned char *at, const void *v, uint32_t k);
    void no_memory();

    const EnvironmentWrapper *env_ = nullptr;
    wq_MemoryBlock *head_ = nullptr;
    wq_MemoryBlock *rblock_ = nullptr;
    wq_MemoryBlock *wblock_ = nullptr;
    uint32_t block_size_ = 65536;
    uint8_t byte_order_ = 1;
    uint8_t shared_ = 0;
    uint8_t failed_ = 0;
    // 1 when the writers store items in host order (see write_order()).
    uint8_t worder_ = 1;
    uint32_t msg_len_ = 0;
    // Stream offset of this stream's first byte within its chain (nonzero
    // for a view of an encapsulation); offsets and alignment count from it.
    uint32_t origin_ = 0;
    // Head of the chain a view holds (null for an owner).
    wq_MemoryBlock *held_ = nullptr;
    // Positions (see put/get): base addresses and offsets.
    uintptr_t wbase_ = 0;
    uintptr_t woff_ = 0;
    uintptr_t rbase_ = 0;
    uintptr_t roff_ = 0;
    // Fast-path bounds, kept by sync() and open_write(); wlimit_, rlim_ and
    // rend_ for data in host order, wswap_ and rswap_ for swapped data, the
    // other ones 0; all 0 while the path is closed.
    // Writing (wlimit_, wswap_): one past the last offset at which an 8-byte
    // word fits in the write block, so that an item's test is one compare of
    // its aligned offset.
    // Reading: rend_ and rswap_ are the read block's end as of the last sync
    // (the write position when reading the write block, which later writes
    // may have moved on: a read that finds the bound too close takes the slow
    // path, which looks again); rlim_ is one past the last offset with 8
    // bytes below rend_, the inlined test; items in the last 7 bytes take the
    // exact test behind it.
    uintptr_t wlimit_ = 0;
    uintptr_t wswap_ = 0;
    uintptr_t rlim_ = 0;
    uintptr_t rend_ = 0;
    uintptr_t rswap_ = 0;
    // The true read position while the read fast path is closed, 0 while it
    // is open. An inlined reader hands its slow path the item's aligned
    // offset, not the offset it starts from; while the path is closed (an
    // exception pending, or offsets out of step after reads skipped while
    // one was) the slow path starts from this position instead. Kept by
    // rat(), sync_read(), radvance() and the environment watch.
    uintptr_t rhold_ = 0;
    // The same for the write position: while the write fast path is closed
    // the write slow path starts from here (and pads from here); while it is
    // open the padding before an item is known to be zero already.
    uintptr_t whold_ = 0;
    // This stream's entry in its environment's watch list.
    struct Watch : wq_EnvWatch {
        Stream *self;
    } watch_{{nullptr, nullptr, nullptr, &Stream::env_closed}, this};
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
