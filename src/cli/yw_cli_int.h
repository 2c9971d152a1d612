// Internal state shared by the command interface's source files.
#ifndef YW_CLI_INT_H
#define YW_CLI_INT_H

#include "cli/yw_cli.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

namespace yw_cli {

// One client slot. `fd` and `token` change only under `lock` held exclusively,
// and the socket is closed only so; writers hold `lock` shared, so a writer
// never writes to a descriptor that was closed and reused by someone else,
// and a client's own (blocking) output never holds up log lines for it.
struct ClientSlot {
    std::shared_mutex lock;
    bool used = false;       // claimed by a connection (guarded by the table lock)
    int fd = -1;             // the client socket, -1 when free
    uint32_t token = 0;      // connection token handed to the log port, 0 when free
    int logPort = -1;        // index of this client's "stdout" log output port
    // Handle of the last client thread of this slot (guarded by the table
    // lock). It is released when the slot is claimed again or at shutdown,
    // never while the thread may still wait in the thread layer: releasing a
    // handle asks its thread to end at its next wait there.
    void *thread = nullptr;
    // Set when a log line could not be sent in time: further lines are sent
    // only as far as they fit at once, until one goes through whole.
    std::atomic<bool> logStalled{false};
    // Set when the client did not take a command's output in time: its
    // connection is shut and nothing more is written to it.
    std::atomic<bool> outStalled{false};
    // Steady-clock time (ns) of the client's last activity: the connection,
    // a byte that went into a line, or a line run. Idle time counts from it.
    std::atomic<int64_t> lastActiveNs{0};
    // Set when the slot is given to a newcomer: the client loop tells the
    // client so and ends.
    std::atomic<bool> evicted{false};
};

extern ClientSlot g_slots[YW_CLI_CLIENT_MAX];
extern std::mutex g_slotTableLock;  // held while a slot is searched, claimed or freed
extern std::condition_variable g_slotFreedCv;  // notified (table lock held) when a slot is freed

// Threads of the interface that are still running (server and client loops);
// shutdown waits on `g_threadCv` until they have finished.
extern std::mutex g_threadLock;
extern std::condition_variable g_threadCv;
extern int g_serverThreads;
extern int g_clientThreads;

// The client slot the calling thread serves (-1 on other threads), and the
// thread's output descriptor, used when it serves no client slot. Both are
// per thread; they live in one file behind these accessors.
int currentSlot();
void setCurrentClient(int slot, int fd);

// Writes to the calling thread's client (or its output descriptor). Returns the
// bytes written or -1; nothing is written while no output is set.
int cliWrite(const char *data, size_t len);
// Formats at most YW_CLI_OUT_BUF_SZ characters and writes them with cliWrite.
int cliPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes all of `len` bytes to a socket (or a plain descriptor), never raising
// SIGPIPE. A socket that takes nothing more for `waitMs` in all ends the
// write (*timedOut is then set). Returns the bytes written, or -1.
int writeAll(int fd, const char *data, size_t len, int waitMs, bool *timedOut = nullptr);

// Copies `len` bytes of the process's own memory at `addr` into `dst` without
// touching unmapped pages: false when any byte of the range is not readable.
bool readOwnMemory(uint64_t addr, void *dst, size_t len);
// True when the whole range [addr, addr + len) is readable.
bool probeOwnMemory(uint64_t addr, uint64_t len);

// Registers the interface's own commands ("ls", "help", "q", "hv").
void registerBuiltins();

// Steady-clock time in nanoseconds.
int64_t nowNs();
// Records activity of the client of slot k (idle time starts again).
void markActive(int k);

// Reads the line and idle bounds (YW_CLI_LINE_WAIT_MS, YW_CLI_IDLE_MIN_MS,
// or their environment knobs) for the server about to start.
void loadClientBounds();
int lineWaitMs();
int idleMinMs();

// With every slot taken (table lock held in `tl`): the client idle longest,
// when idle for at least the idle bound, is told so and disconnected, and
// the wait for its slot to be freed is bounded. Returns the free slot, or -1
// when no client is idle that long (or its slot was not freed in time).
int takeSlotOfIdlest(std::unique_lock<std::mutex> &tl);

// Runs the client loop of slot k (0-based) on the calling thread.
void runClientLoop(int k);

// Releases everything of slot k after its client loop ended.
void releaseSlot(int k);

// Releases the thread handles kept by free slots (after shutdown).
void releaseThreadHandles();

// Ends every running client loop (shuts their sockets down) and waits up to
// `timeoutMs` for the client threads to finish. True when all have finished.
bool endAllClients(int timeoutMs);

// Log output port of a client (added on the "stdout" log; -1 when logging is
// not available) and its removal.
int addClientLogPort(uint32_t token);
void delClientLogPort(int port);

}  // namespace yw_cli

#endif
