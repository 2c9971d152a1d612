// The bound on bytes held for requests not yet served
// (CORBA::ORB::_max_pending_request_bytes): a server reads the body of a
// large message only once its announced size fits beside what the others
// hold; until then its connection is parked, unread (TCP holds its sender),
// and goes back to its pool once enough is given back.
#pragma once

#include <cstdint>
#include <vector>

class wq_MsgCircuit;

// Messages at least this long are counted; shorter ones (ordinary calls)
// are read whatever is held.
constexpr uint32_t wq_pending_from = 65536;

// Takes `bytes` for a message about to be read; false when they do not fit
// beside what is held now (nothing taken).
bool wq_pending_reserve(uint64_t bytes);
// Takes `bytes` whatever is held.
void wq_pending_take(uint64_t bytes);
// Gives bytes back; parked circuits whose messages now fit go back to their
// pools (oldest first).
void wq_pending_release(uint64_t bytes);
// Bytes held now.
uint64_t wq_pending_bytes();

// Parks a circuit whose message of `bytes` did not fit (with the reference
// its reader held) until it fits; it then goes to `level` of its pool
// through wq_pending_resume (at once when it fits already).
void wq_pending_park(wq_MsgCircuit *c, uint32_t level, uint64_t bytes);
// Set by the reader threads: hands a resumed circuit to its pool level.
extern void (*wq_pending_resume)(wq_MsgCircuit *c, uint32_t level);
// Takes every parked circuit (each with its reference), at the shutdown.
std::vector<wq_MsgCircuit *> wq_pending_take_parked();
// Circuits parked now.
uint32_t wq_pending_parked();
