// Entries that name circuits in the pools' pollers. A registration carries
// an entry's index and generation, never a circuit's address: an event
// harvested after its circuit moved to another poller, or went away, names
// an older generation and is dropped without touching the circuit. Entries
// live as long as the process and are reused.
#pragma once

#include <atomic>
#include <cstdint>

namespace wq_poll {

// States of an entry's circuit, in the low two bits of its word (the
// generation is above them). Each arming of a watch begins a generation, so
// that an event (or a reader's ticket) names one arming only.
enum : uint64_t {
    OWNED = 0,   // held by a reader (or queued): events for it are noted only
    WAITING = 1, // in a poller, with the pool's reference; an event takes it
    KICKED = 2,  // held, and input arrived since it was taken
};

struct Entry {
    std::atomic<uint64_t> word{0};
    std::atomic<void *> item{nullptr};
    // The pool level its circuit was last watched at (set before the watch
    // is armed, read by the poller that takes it), and that level's count
    // of circuits, which counts it until it is watched elsewhere or freed.
    std::atomic<uint32_t> level{0};
    std::atomic<std::atomic<uint32_t> *> home{nullptr};
};

constexpr uint32_t kIndexBits = 24;
constexpr uint64_t kGenMask = (uint64_t(1) << (64 - kIndexBits)) - 1;

inline uint64_t gen(uint64_t word) { return word >> 2; }
inline uint64_t state(uint64_t word) { return word & 3; }
inline uint64_t make(uint64_t g, uint64_t s) { return (g << 2) | s; }
// The registration data of an entry's generation (never 0: indexes count
// from 1, and 0 is the pollers' own wake-up).
inline uint64_t data(uint32_t index, uint64_t g) { return (g << kIndexBits) | index; }
inline uint32_t data_index(uint64_t d) { return uint32_t(d & ((uint64_t(1) << kIndexBits) - 1)); }
inline uint64_t data_gen(uint64_t d) { return d >> kIndexBits; }

// A free entry's index, its state OWNED; 0 when none can be had.
uint32_t take_entry();
// The entry of an index that take_entry gave (and that may have been freed
// since): its memory stays valid.
Entry &entry(uint32_t index);
// Ends the entry's generation and frees it (the caller owns its circuit);
// its circuit leaves the count of the level it was last watched at.
void free_entry(uint32_t index);
// Counts the entry's circuit in `home` (a level's count of circuits) from
// now on, and no longer in the count it was in.
void move_home(Entry &e, std::atomic<uint32_t> *home);
// Takes a circuit that waits in a poller (WAITING to OWNED); false when it
// did not wait there.
bool take_if_waiting(uint32_t index);

} // namespace wq_poll
