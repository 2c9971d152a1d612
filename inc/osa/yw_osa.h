/*
 * OS abstraction layer: the only place where the framework touches POSIX
 * threads, timers, signals, the clock, locks, semaphores, shared memory,
 * files, sockets, shared libraries and the executable's symbol table.
 *
 * Conventions: operations return YW_ret_t (0 success; a negative value or the
 * platform call's own error number on failure, as each function says).
 * Handles are heap records from YW_P_malloc, released with YW_P_free.
 * Time values are signed 64-bit nanoseconds.
 */
#ifndef YW_OSA_H
#define YW_OSA_H

#include <atomic>
#include <cstdint>

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>

#include "osa/yw_nocancel.h"

#include "osa/yw_nocancel.h"
#include "yw_err.h"
#include "yw_types.h"

/* ------------------------------------------------------------------------
 * Threads
 * ------------------------------------------------------------------------ */

/* Default stack size of the framework's own threads (bytes). */
#define CONFIG_YW_STACKSIZE (8192 * 4)

/* Join record: joiners wait until YW_P_deleteThread releases them. */
typedef struct yw_P_thread_wait {
    int state;             /* 1 while the thread is alive, 0 once released */
    pthread_cond_t cond;
    pthread_mutex_t mutex;
} YW_P_thread_wait_t;

/*
 * Thread control record.
 *
 * The record is complete (id, doorbell, join record) before the thread's
 * entry function runs and before the handle is handed to the creator, so
 * nobody can ring a half-made doorbell.
 *
 * References: the creator owns one (dropped by YW_P_deleteThread), the running
 * thread holds one until it ends, and YW_P_joinThread holds one while it
 * waits. The record and its doorbell are released when the last one goes.
 *
 * Deleting a thread (YW_P_deleteThread, YW_P_cancelThread) marks the record,
 * rings the doorbell and, for a thread that enabled cancellation
 * (YW_P_initThread), cancels it with deferred cancellation: the thread ends
 * at its next wait in YW_P_recvThreadEvent or YW_P_sleepThread, or at any
 * POSIX cancellation point (sleep, nanosleep, read, write, poll ...) while
 * its cancellation is enabled. Asynchronous cancellation is never used: a
 * thread cut inside the allocator or under a lock would hang the process.
 * The end unwinds the stack (pthread_exit or forced unwind), so RAII lock
 * guards are released; code on a thread's stack must not swallow it: a
 * catch (...) there rethrows, and no noexcept function may wait or reach a
 * cancellation point while cancellation is enabled. Framework locks hold
 * cancellation off while they are held (YW_P_cancelHoldOff); leaving the
 * last hold, the framework calls a task may loop on without waiting, and a
 * task's wait for a mutex another holds are end points too
 * (YW_P_stopPoint), so a task that never reaches a system call is ended all
 * the same, and framework tasks are ended the same way.
 */
typedef struct yw_P_thread_control {
    pthread_t id;                 /* the POSIX thread */
    int eventfd;                  /* doorbell: eventfd, non-blocking, close-on-exec */
    int events;                   /* not used by the layer */
    struct pollfd pollfd;         /* fd = doorbell, events = POLLIN */
    YW_P_thread_wait_t *join;     /* join record, or null (YW_P_runThread) */
    std::atomic<int> refCount;    /* freed when it drops to 0 */
    /* Flags rung and not yet taken by the owner's wait (OR-ed together). */
    std::atomic<YW_uint32_t> pending;
    /* Set by YW_P_deleteThread (or SIGUSR1): the thread ends at its next wait. */
    std::atomic<int> deleteRequest;
    /* Start gate: the thread runs its entry only once the record is complete. */
    std::atomic<int> started;
    /* Cancellation: enabled by YW_P_initThread; `ended` is set once the thread
     * has left its entry for good (no cancel is sent after that). Both are
     * guarded by endLock. */
    int cancelable;
    int ended;
    pthread_mutex_t endLock;
    void *(*entry)(void *);
    void *arg;
} YW_P_thread_control_t;

typedef YW_P_thread_control_t *YW_P_thread_t;

typedef void *(*YW_P_thread_entry_t)(void *);

typedef struct yw_P_thread_priority {
    int policy;
    int priority;
    YW_int32_t newPriority;       /* not used by the layer */
} YW_P_thread_priority_t;

/* Thread keys */
typedef pthread_key_t YW_P_threadKey_t;
typedef void *YW_P_threadValue_t;

typedef enum yw_P_threadKeyId {
    YW_THREAD_KEY_TASKID = 0,
    YW_THREAD_KEY_THREADID = 1
} YW_P_threadKeyId_t;

/* The two process-wide keys, created once on first use. */
extern YW_P_threadKey_t YW_P_s_thread_key_taskid;
extern YW_P_threadKey_t YW_P_s_thread_key_threadid;

/*
 * Creates a detached thread running entry(arg).
 * policy 1 (SCHED_FIFO) or 2 (SCHED_RR) with priority are applied explicitly
 * (not inherited); any other policy gives SCHED_OTHER. When the process may
 * not use a real-time policy (EPERM) one line is printed and the thread is
 * started with the default policy. stackSize >= 1 sets the stack size, else
 * the library default. name and options are accepted and not used.
 * On success *ret holds the handle before entry runs; on failure *ret is null
 * and nothing is left behind. Result 0, -1 for missing ret/entry, else the
 * error number of the failing step.
 */
YW_ret_t YW_P_createThread(const char *name, int policy, int priority,
                           YW_int64_t stackSize, int options,
                           YW_P_thread_entry_t entry, void *arg,
                           YW_P_thread_t *ret);

/* Detached thread with default attributes, no join record. -1 without ret. */
YW_ret_t YW_P_runThread(YW_P_thread_entry_t entry, void *arg, YW_P_thread_t *ret);

/*
 * Releases every joiner, asks the thread to end at its next wait (doorbell
 * wait or sleep) and drops the creator's reference. The handle must not be
 * used by the caller afterwards. null -> -1, else 0. Never blocks.
 */
YW_ret_t YW_P_deleteThread(YW_P_thread_t thread);

/*
 * Asks the thread to end (see the record above) without dropping the
 * caller's reference, which the caller holds for the call. Asked of the
 * calling thread itself it does nothing: the caller ends as it chooses.
 * null -> -1, else 0. Never blocks.
 */
YW_ret_t YW_P_cancelThread(YW_P_thread_t thread);

/* Waits until YW_P_deleteThread releases joiners (a thread's own end does
 * not). No join record -> -1, else 0. The join must begin before the delete:
 * the delete gives up the creator's reference, so the handle may be released
 * by then. */
YW_ret_t YW_P_joinThread(YW_P_thread_t thread);

YW_ret_t YW_P_setSchThread(YW_P_thread_t thread, YW_P_thread_priority_t *prio);
YW_ret_t YW_P_getSchThread(YW_P_thread_t thread, YW_P_thread_priority_t *prio);

/* Sleeps the calling thread nsec nanoseconds (signals do not shorten it).
 * A handle of another thread -> -1 at once. */
YW_ret_t YW_P_sleepThread(YW_P_thread_t thread, YW_int64_t nsec);
YW_ret_t YW_P_yieldThread(void);
YW_ret_t YW_P_suspendThread(YW_P_thread_t thread);  /* YW_ERR_NOT_SUPPORT */
YW_ret_t YW_P_resumeThread(YW_P_thread_t thread);   /* YW_ERR_NOT_SUPPORT */

/* The calling thread's own handle (null for threads not made here). */
YW_ret_t YW_P_getThreadID(YW_P_thread_t *thread);

/* Run by each task thread at its start: cancellation enabled, deferred;
 * SIGUSR1 handler YW_P_sigHandle. An end asked before this call is acted on
 * at the thread's first cancellation point. Always 0. */
YW_ret_t YW_P_initThread(void);

/* Holds cancellation of the calling thread off until the matching
 * YW_P_cancelAllow (counted, so holds nest): a thread inside framework state
 * (a table, ring or queue lock held) is never cut there; a cancel asked
 * meanwhile is acted on at its next cancellation point after the last
 * allow. Only threads that ran YW_P_initThread are cancelled, so only
 * theirs is touched. Not for signal handlers. */
inline thread_local bool yw_t_cancelable = false; /* set by YW_P_initThread */
inline thread_local int yw_t_cancelHoldDepth = 0;
inline thread_local int yw_t_cancelHoldSaved = PTHREAD_CANCEL_ENABLE;
/* The calling layer thread's end mark: yw_t_endMark (yw_nocancel.h). */

/* Ends the calling task thread here when its end was asked and it holds
 * nothing (no hold, cancellation not turned off by the thread itself);
 * otherwise returns at once. The end unwinds the stack like a cancel. Run by
 * the last YW_P_cancelAllow and at the start of the framework calls a task
 * may loop on without ever waiting (YW_recvIpc polled, YW_printf ...), so
 * such a loop is ended too. Inside code no end may leave (a destructor, a
 * noexcept function, a catch-all handler, an exception propagating) it
 * returns as well, as YW_P_endSelf does there. */
void YW_P_stopPoint(void);

/* Ends the calling thread now (unwinding its stack), as its own choice. */
[[noreturn]] void YW_P_exitThread(void);

/* Ends the calling thread for a stop of its own task: at once, unwinding
 * its stack, when nothing on the stack forbids an unwind. Called inside a
 * destructor, another noexcept function, a catch-all handler or while an
 * exception propagates (where an unwind would end the process), it marks
 * the end instead and returns: the thread ends at its next stop place
 * (YW_P_stopPoint, a framework wait or sleep, a blocking system call) once
 * that code has returned, or when its entry function returns. For the
 * blocking calls a timer signals the thread (SIGRTMIN + 1) every 10 ms until
 * it ends. */
void YW_P_endSelf(void);

inline void YW_P_cancelHoldOff()
{
    if (yw_t_cancelHoldDepth++ == 0 && yw_t_cancelable)
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &yw_t_cancelHoldSaved);
}
/* Leaving the last hold acts on an end asked during it (YW_P_stopPoint):
 * the guards that call it release their lock first and let the end unwind
 * through them (their destructors are noexcept(false)). */
inline void YW_P_cancelAllow()
{
    if (yw_t_cancelHoldDepth > 0 && --yw_t_cancelHoldDepth == 0 && yw_t_cancelable) {
        pthread_setcancelstate(yw_t_cancelHoldSaved, nullptr);
        if (yw_t_endMark && yw_t_endMark->load(std::memory_order_acquire))
            YW_P_stopPoint();
    }
}

/* Holds cancellation off for a scope, for a step that owns something not
 * linked anywhere yet (an event between its allocation and its queue):
 * a stop asked meanwhile is acted on when the scope is left, after the
 * step has queued or freed what it owns. */
class YW_P_cancelHoldScope {
public:
    YW_P_cancelHoldScope() { YW_P_cancelHoldOff(); }
    ~YW_P_cancelHoldScope() noexcept(false) { YW_P_cancelAllow(); }
    YW_P_cancelHoldScope(const YW_P_cancelHoldScope &) = delete;
    YW_P_cancelHoldScope &operator=(const YW_P_cancelHoldScope &) = delete;
};

/* SIGUSR1 asks the calling thread to end at its next wait; other signals
 * are ignored. */
void YW_P_sigHandle(int sig);

/* Doorbell */

/* Rings the thread's doorbell with events (OR-ed into the pending flags).
 * Result: 8 (bytes written to the eventfd) on success, -1 on failure. */
YW_ret_t YW_P_sendThreadEvent(YW_P_thread_t thread, YW_uint32_t events);

/*
 * Waits on the calling thread's doorbell for any flag of mask.
 * timeout: 0 = do not wait, negative = wait for ever, else nanoseconds.
 * Flags of mask that are pending are taken (cleared) and stored in
 * *received; pending flags outside mask stay pending for a later wait.
 * Result 1 when flags were received, YW_ERR_TIMEOUT (received 0) when the
 * time ran out. A signal does not shorten the wait.
 * A thread whose deletion was requested ends here (woken by its doorbell;
 * the wait itself holds cancellation off).
 */
YW_ret_t YW_P_recvThreadEvent(YW_P_thread_t thread, YW_uint32_t mask,
                              YW_uint8_t options, YW_int64_t timeout,
                              YW_uint32_t *received);

/* Drops every pending flag and drains the doorbell; 0. */
YW_ret_t YW_P_clearThreadEvent(YW_P_thread_t thread);

/* Thread keys */
YW_ret_t YW_P_getThreadKey(YW_P_thread_t thread, int keyid, YW_P_threadKey_t *key);
YW_ret_t YW_P_setThreadValue(YW_P_threadKey_t key, YW_P_threadValue_t value);
YW_P_threadValue_t YW_P_getThreadValue(YW_P_threadKey_t key);

/* ------------------------------------------------------------------------
 * Timers (POSIX timers notifying SIGRTMIN)
 *
 * Expiry signals are taken by one dispatch thread of the layer, which calls
 * the timer's handler in ordinary thread context (never inside a signal
 * handler), so handlers may allocate, lock and print.
 * ------------------------------------------------------------------------ */

typedef void (*YW_P_timer_handler_t)(int userid);

typedef struct yw_P_timer_control {
    timer_t id;
    YW_P_timer_handler_t handler;
    int userid;
    int refCount;
} YW_P_timer_control_t;

typedef YW_P_timer_control_t *YW_P_timer_t;

YW_ret_t YW_P_createTimer(int userid, YW_P_timer_t *ret, YW_P_timer_handler_t handler);
/* Periodic: first expiry after interval, then every interval; 0 disarms. */
YW_ret_t YW_P_startTimer(YW_P_timer_t timer, YW_int64_t interval);
/* Deletes the OS timer and releases the handle. */
YW_ret_t YW_P_deleteTimer(YW_P_timer_t timer);
/* Same as YW_P_deleteTimer: the OS timer is gone afterwards. */
YW_ret_t YW_P_stopTimer(YW_P_timer_t timer);
/* Expiry of a SIGRTMIN timer: info's value pointer is the timer record. */
void YW_P_onTimeout(int sig, siginfo_t *info, void *context);

/* ------------------------------------------------------------------------
 * Date and time
 * ------------------------------------------------------------------------ */

typedef struct tm YW_P_Datetime_t;
typedef struct tm YW_Datetime_t;
typedef time_t YW_P_time_t;
typedef struct timespec YW_P_timespec_t;

typedef enum yw_datetime_element {
    YW_YEAR = 0,
    YW_MONTH = 1,
    YW_DAY = 2,
    YW_HOUR = 3,
    YW_MIN = 4,
    YW_SEC = 5
} YW_datetime_element_t;

typedef struct utc_record {
    char utc_name[4];
    YW_uint32_t utc_offset;
    YW_uint32_t utc_daylight_start;
    YW_uint32_t utc_daylight_end;
    char dst_name[4];
    YW_uint32_t dst_offset;
} YW_g_Utc_Record, YW_P_timezoneInfo_t;

/* Local broken-down time with tm_mon 1..12 and tm_year the full year. */
void YW_getLocalDateTime(YW_P_Datetime_t *tp);
YW_P_Datetime_t YW_P_getLocalDateTime(void);
long YW_P_getUtcOffset(void);
long YW_P_getDstOffset(void);
int YW_P_isDstApply(void);
long YW_P_getTimezoneDifference(void);
const char *YW_P_getTimezoneName(void);
const char *YW_P_getStandardTimezoneName(void);
const char *YW_P_getDstTimezoneName(void);
int YW_P_getDateTimeElement(const YW_P_Datetime_t *tp, int id);
int YW_P_getLocalDateTimeElement(int id);
/* Seconds since the epoch of the given local time, the values taken as
 * passed into the library's broken-down time (y years since 1900, M 0..11,
 * unlike the getters' full year and month 1..12); the clock is not set. tzd
 * is not used. */
YW_P_time_t YW_P_setLocalDateTime(int tzd, int y, int M, int D, int h, int m, int s);
/* Replaces /etc/localtime by a copy of /usr/share/zoneinfo/<utc_name> (a link
 * there is replaced, not written through); 0 or -1. */
YW_ret_t YW_P_setTimeZone(const YW_P_timezoneInfo_t *tzinfo);
YW_ret_t YW_P_localtime(YW_P_time_t tval, YW_P_Datetime_t *tp);
YW_P_time_t YW_P_time(void);

/* Process start-up of the layer: sets YW_g_isBigEndian. */
YW_ret_t YW_P_sysinit(void);

/* ------------------------------------------------------------------------
 * Byte order
 * ------------------------------------------------------------------------ */

extern int YW_g_isBigEndian;
int YW_is_bigEndian(void);

YW_uint8_t YW_P_toBE8(YW_uint8_t v);
YW_uint16_t YW_P_toBE16(YW_uint16_t v);
YW_uint32_t YW_P_toBE32(YW_uint32_t v);
YW_uint64_t YW_P_toBE64(YW_uint64_t v);
YW_uint8_t YW_P_toLE8(YW_uint8_t v);
YW_uint16_t YW_P_toLE16(YW_uint16_t v);
YW_uint32_t YW_P_toLE32(YW_uint32_t v);
YW_uint64_t YW_P_toLE64(YW_uint64_t v);

/* ------------------------------------------------------------------------
 * Mutexes and semaphores
 * ------------------------------------------------------------------------ */

#define YW_SEM_Q_FIFO               0x00
#define YW_SEM_Q_PRIORITY           0x01
#define YW_SEM_DELETE_SAFE          0x04
#define YW_SEM_INVERSION_SAFE       0x08
#define YW_SEM_EVENTSEND_ERR_NOTIFY 0x10
#define YW_SEM_INTERRUPTIBLE        0x20
#define YW_SEM_NO_ID_VALIDATE       0x40
#define YW_SEM_NO_ERROR_CHECK       0x80
#define YW_SEM_NO_EVENT_SEND        0x100
#define YW_SEM_NO_SYSTEM_VIEWER     0x200
#define YW_SEM_NO_RECURSE           0x400
#define YW_SEM_PROCESS_SHARED       0x10000

#define YW_SEM_B_STATE_EMPTY 0
#define YW_SEM_B_STATE_FULL  1

typedef pthread_mutex_t *YW_P_mutex_t;
typedef sem_t *YW_P_sem_t;

typedef struct yw_P_bsem_arg {
    YW_int32_t options;
    YW_int32_t init_state;
} YW_P_bsem_arg_t;

typedef struct yw_P_csem_arg {
    YW_int32_t options;
    YW_int32_t init_count;
} YW_P_csem_arg_t;

/* Recursive unless YW_SEM_NO_RECURSE, which gives a plain mutex (a relock
 * by the owner blocks). YW_SEM_INVERSION_SAFE and YW_SEM_Q_PRIORITY give
 * priority protection by inheritance (the owner runs at its highest
 * waiter's priority): a ceiling cannot be locked by threads of the default
 * policy, whereas an inheriting mutex locks on the first try in every
 * policy.
 * A robust (YW_SEM_DELETE_SAFE) mutex whose owner died is made consistent
 * and handed to the next locker (result 0). */
YW_ret_t YW_P_createMutex(int options, YW_P_mutex_t *mutex);
YW_ret_t YW_P_deleteMutex(YW_P_mutex_t mutex);
/* A task thread that holds nothing and waits for a mutex another holds is
 * ended there when it is stopped (YW_P_stopPoint); it never owns the mutex
 * then. */
YW_ret_t YW_P_lockMutex(YW_P_mutex_t mutex);
YW_ret_t YW_P_trylockMutex(YW_P_mutex_t mutex);
YW_ret_t YW_P_unlockMutex(YW_P_mutex_t mutex);

YW_ret_t YW_P_createBinarySemaphore(YW_P_bsem_arg_t *arg, YW_P_sem_t *sem);
YW_ret_t YW_P_createCountSemaphore(YW_P_csem_arg_t *arg, YW_P_sem_t *sem);
YW_ret_t YW_P_deleteSemaphore(YW_P_sem_t sem);
YW_ret_t YW_P_waitSemaphore(YW_P_sem_t sem);
/* At most nsec nanoseconds; -1 with errno ETIMEDOUT on time-out. */
YW_ret_t YW_P_timedWaitSemaphore(YW_P_sem_t sem, YW_int64_t nsec);
YW_ret_t YW_P_postSemaphore(YW_P_sem_t sem);

/* ------------------------------------------------------------------------
 * Shared memory
 * ------------------------------------------------------------------------ */

#define YW_P_SHM_NAME_LEN 64

#define YW_SHM_MODE_CREATE 0x01
#define YW_SHM_MODE_EXCL   0x02

#define YW_SHM_ATTR_RD 0x10
#define YW_SHM_ATTR_WR 0x20
#define YW_SHM_ATTR_RW 0x30
#define YW_SHM_ATTR_EX 0x40

typedef struct yw_P_shm_entry {
    char name[YW_P_SHM_NAME_LEN];
    int fd;
    void *phyAddr;       /* mapping hint */
    void *virAddr;       /* address of the mapping */
    YW_int64_t length;   /* bytes */
    YW_uint64_t refCount;/* live mappings: 0 or 1 */
} YW_P_shm_entry_t;

typedef YW_P_shm_entry_t *YW_P_shm_t;

typedef struct yw_P_sharedmemory_arg {
    const char *name;
    YW_int32_t mode;
    YW_uint32_t size;
    void *physAddress;
    YW_uint32_t attr;
} YW_P_sharedmemory_arg_t;

typedef struct yw_P_sharedMap_arg {
    YW_uint32_t attr;
} YW_P_sharedMap_arg_t;

/* A name of YW_P_SHM_NAME_LEN characters or more is an error (-1). A newly
 * created read-write object smaller than size is grown to size. */
YW_ret_t YW_P_createSharedMemory(YW_P_sharedmemory_arg_t *arg, YW_P_shm_t *shm);
/* Unlinks the name, closes the descriptor and releases the entry (a name
 * already removed counts as unlinked). On another failure the entry stays. */
YW_ret_t YW_P_deleteSharedMemory(YW_P_shm_t shm);
/* Maps the entry's length once (later calls give the same address); -1 when
 * the object is smaller than that length (its pages past the end would
 * fault on access). */
YW_ret_t YW_P_mapSharedMemory(YW_P_shm_t shm, void **addr, YW_P_sharedMap_arg_t *arg);
YW_ret_t YW_P_unmapSharedMemory(YW_P_shm_t shm);

/* ------------------------------------------------------------------------
 * Files and directories
 * ------------------------------------------------------------------------ */

typedef int YW_P_file_t;

/* Number of entries of the comps array of YW_P_parsePath. */
#define YW_P_PATH_COMPS_MAX 64
/* Size of the buffer of YW_P_getCurrentDirectory. */
#define YW_P_PATH_MAX 4096

YW_ret_t YW_P_openFile(const char *name, int flags, int mode, YW_P_file_t *fd);
YW_ret_t YW_P_closeFile(YW_P_file_t fd);
YW_ret_t YW_P_createFile(const char *name, int mode, YW_P_file_t *fd);
YW_ret_t YW_P_deleteFile(const char *name);
/* Copies in over out (created or truncated, permission 0666).
 * 0 success, -1 open or read failure, 1 write failure. */
YW_ret_t YW_P_copyFile(const char *in, const char *out);
YW_ret_t YW_P_renameFile(const char *oldName, const char *newName);
YW_ret_t YW_P_renameDirectory(const char *oldName, const char *newName);
/* stat's negative result, else the size in bytes. */
YW_size_t YW_P_getFileSize(const char *name);
YW_size_t YW_P_read(YW_P_file_t fd, void *buf, YW_size_t len);
YW_size_t YW_P_write(YW_P_file_t fd, const void *buf, YW_size_t len);
YW_pos_t YW_P_lseek(YW_P_file_t fd, YW_pos_t pos, int whence);
YW_ret_t YW_P_creatDirectory(const char *path, int mode);
YW_ret_t YW_P_deleteDirectory(const char *path);
/* 0 when dir holds an entry named exactly name, else -1. */
YW_ret_t YW_P_findDirectory(const char *dir, const char *name);
/* The current directory in a per-thread buffer of YW_P_PATH_MAX bytes
 * (null when it does not fit). */
const char *YW_P_getCurrentDirectory(void);
/*
 * Copies path into buffer (bufLen bytes; unless they are the same) and
 * splits it in place on '/': the components go into comps[0..], which must
 * hold YW_P_PATH_COMPS_MAX entries; a null follows the last when there is
 * room. 0 when the whole path was split; -1 for a null argument, a path that
 * does not fit buffer, or more than YW_P_PATH_COMPS_MAX components.
 */
YW_ret_t YW_P_parsePath(const char *path, char *buffer, YW_size_t bufLen, char **comps);
/* Changes the process's current directory (chdir); 0 or -1. */
YW_ret_t YW_P_setCurrentDirectory(const char *path);

/* ------------------------------------------------------------------------
 * Sockets (IPv4)
 * ------------------------------------------------------------------------ */

typedef int YW_P_socket_t;

/* An IPv4 socket address followed by a local-socket address. */
typedef struct yw_P_inet_address {
    struct sockaddr_in addr_in;
    struct sockaddr_un addr_un;
} YW_P_inet_address_t;

typedef struct yw_P_socket_arg {
    YW_int32_t domain;
    YW_int32_t type;
    YW_int32_t protocol;
} YW_P_socket_arg_t;

typedef struct yw_P_socket_control_arg {
    YW_int32_t level;
    YW_int32_t optname;
    void *optval;
    YW_int32_t optlen;   /* bytes at optval; 0 means one int */
} YW_P_socket_control_arg_t;

typedef struct yw_P_socket_listen_arg {
    YW_int32_t backlog;
} YW_P_socket_listen_arg_t;

typedef struct yw_P_socket_connect_arg {
    struct sockaddr_in sockaddr;
} YW_P_socket_connect_arg_t;

typedef struct yw_P_socket_bind_arg {
    struct sockaddr_in sockaddr;
} YW_P_socket_bind_arg_t;

typedef struct yw_P_socket_accept_arg {
    struct sockaddr_in sockaddr;   /* filled with the peer's address */
    YW_P_socket_t socket;          /* accepted descriptor or -1 */
} YW_P_socket_accept_arg_t;

YW_ret_t YW_P_createSocket(YW_P_socket_arg_t *arg, YW_P_socket_t *sock);
YW_ret_t YW_P_deleteSocket(YW_P_socket_t sock);
YW_ret_t YW_P_controlSocket(YW_P_socket_t sock, YW_P_socket_control_arg_t *arg);
YW_ret_t YW_P_listenSocket(YW_P_socket_t sock, YW_P_socket_listen_arg_t *arg);
YW_ret_t YW_P_connectSocket(YW_P_socket_t sock, YW_P_socket_connect_arg_t *arg);
YW_ret_t YW_P_bindSocket(YW_P_socket_t sock, YW_P_socket_bind_arg_t *arg);
YW_ret_t YW_P_acceptSocket(YW_P_socket_t sock, YW_P_socket_accept_arg_t *arg);
YW_size_t YW_P_recvSocket(YW_P_socket_t sock, void *buf, YW_size_t len, int flags);
YW_size_t YW_P_sendSocket(YW_P_socket_t sock, const void *buf, YW_size_t len, int flags);

/* ------------------------------------------------------------------------
 * Shared libraries and symbols
 * ------------------------------------------------------------------------ */

typedef void *YW_P_lib_t;

/* Path of the running executable (argv[0]), saved at start-up. */
#define YW_EXEFILE_LEN 512
extern char YW_g_exefile[YW_EXEFILE_LEN];

YW_ret_t YW_P_loadSharedLibrary(const char *file, YW_P_lib_t *lib);
YW_ret_t YW_P_unloadSharedLibrary(YW_P_lib_t lib);
YW_ret_t YW_P_getSharedLibrarySymbol(YW_P_lib_t lib, const char *name, void **addr);
/* Run-time address of the first defined symbol of file's symbol table named
 * exactly name, or 0. For the running executable the load offset of the
 * position-independent image is added. */
YW_uint64_t YW_P_findBfdSymbol(const char *file, const char *name);
/* Looks name up in the running executable (YW_g_exefile, or /proc/self/exe
 * when that cannot be read or is another file). 0 found, -1 not found. */
YW_ret_t YW_P_getLocalSymbol(const char *name, void **addr);

#endif /* YW_OSA_H */
