// Log entities: ports, delivery, the record ring and the receiver task.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <shared_mutex>

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "log/yw_log.h"
#include "yw_mem.h"
#include "yw_path.h"

namespace {

// Set while this thread delivers a line to output ports: a line logged from
// inside a port callback only reaches standard output.
thread_local bool t_delivering = false;

// Retry interval of a file port whose file could not be opened.
constexpr long kFileRetrySec = 1;

struct FileState {
    YW_logOutputFile_t file;
    time_t retryAt; // no open attempt before this time after a failure
};

YW_ret_t ring_lock(YW_circularBuffer_t *cb)
{
    if (cb->cb_lockMutex)
        cb->cb_lockMutex(&cb->lock);
    return YW_SUCCESS;
}

void ring_unlock(YW_circularBuffer_t *cb)
{
    if (cb->cb_unlockMutex)
        cb->cb_unlockMutex(&cb->lock);
}

void ring_initMutex(YW_P_mutex_t *m)
{
    if (YW_P_createMutex(0, m) != 0) {
        std::printf("%s:%d fail\n", __func__, __LINE__);
        *m = nullptr;
    }
}

void ring_deinitMutex(YW_P_mutex_t *m)
{
    if (*m)
        YW_P_deleteMutex(*m);
    *m = nullptr;
}

void ring_lockMutex(YW_P_mutex_t *m)
{
    if (*m && YW_P_lockMutex(*m) == 0)
        YW_shared_hold();
}

void ring_unlockMutex(YW_P_mutex_t *m)
{
    if (*m && YW_P_unlockMutex(*m) == 0)
        YW_shared_release();
}

// Copies n bytes into the ring at offset, going round the end.
void ring_copyIn(YW_circularBuffer_t *cb, YW_uint64_t offset, const YW_uint8_t *src, YW_uint64_t n)
{
    YW_uint64_t first = cb->size - offset;
    if (first > n)
        first = n;
    std::memcpy(cb->buffer + offset, src, first);
    if (n > first)
        std::memcpy(cb->buffer, src + first, n - first);
}

// A port that cannot take the line drops it (counted) rather than making
// every writer wait under the port lock.
void deliver_to_port(YW_logOutputPort_t *p, const char *data, YW_size_t len, YW_logRecord_t *rec)
{
    if (p->type == YW_LOG_PORT_TYPE_INVALID || !p->cb_out || p->level < rec->level)
        return;
    if (p->cb_out(p, data, len, rec) < 0 && p->lse)
        YW_stat_add<YW_uint64_t>(p->lse->drops);
}

// The record's time stamp (first segment only) and the data as an I/O vector;
// returns the number of entries used.
int stamped_iov(const char *data, YW_size_t length, const YW_logRecord_t *record, char *stamp, struct iovec *iov)
{
    int cnt = 0;
    if (record && record->segmentIndex == 0) {
        iov[cnt].iov_base = stamp;
        iov[cnt].iov_len = (size_t)yw_log_print_timestamp_default(&record->timestamp, stamp);
        ++cnt;
    }
    iov[cnt].iov_base = const_cast<char *>(data);
    iov[cnt].iov_len = (size_t)length;
    return cnt + 1;
}

// Steps an I/O vector past `w` bytes written.
void iov_advance(struct iovec *&v, int &cnt, ssize_t w)
{
    while (cnt > 0 && (size_t)w >= v->iov_len) {
        w -= (ssize_t)v->iov_len;
        ++v;
        --cnt;
    }
    if (cnt > 0) {
        v->iov_base = static_cast<char *>(v->iov_base) + w;
        v->iov_len -= (size_t)w;
    }
}

// True when the socket's send buffer can take n more bytes now (as far as
// the system tells; unknown counts as room).
bool socket_has_room(int socket, size_t n)
{
    int queued = 0, sndbuf = 0;
    socklen_t len = sizeof(sndbuf);
    if (ioctl(socket, SIOCOUTQ, &queued) != 0 || getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0)
        return true;
    // the system counts its own bookkeeping in the buffer: keep half for it
    return queued >= 0 && (size_t)queued + 2 * n <= (size_t)sndbuf;
}

long elapsed_ms(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

} // namespace

extern "C" {

// ---- slots ------------------------------------------------------------------

YW_log_t YW_log_lse(YW_uint32_t id)
{
    if (id >= YW_LSE_MAX)
        return nullptr;
    return std::atomic_ref<YW_log_t>(YW_g_pLSE[id]).load(std::memory_order_acquire);
}

// ---- entity set-up ------------------------------------------------------------

YW_ret_t YW_log_lse_init(YW_log_t h)
{
    if (!h || !h->cfg)
        return YW_FAIL;
    YW_log_cfg_t *cfg = h->cfg;
    h->level = (YW_uint16_t)cfg->input.level;
    h->flags.store((YW_uint16_t)(cfg->flags | YW_LOG_FLAG_ASSIGNED));
    YW_linkHead_init(&h->recordList);
    h->task_id = 0xFFFFFFFFu;
    YW_int64_t size = cfg->bufferSize < 1 ? YW_LOG_BUFFER_SIZE : cfg->bufferSize;
    YW_logBuffer_t *b = static_cast<YW_logBuffer_t *>(YW_malloc(sizeof(YW_logBuffer_t)));
    YW_uint8_t *data = b ? static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)size)) : nullptr;
    if (!b || !data) {
        std::printf("%s:%d fail\n", __func__, __LINE__);
        YW_free(data);
        YW_free(b);
        h->buffer = nullptr;
        return YW_ERR_MALLOC;
    }
    std::memset(b, 0, sizeof(*b));
    std::memset(data, 0, (size_t)size);
    b->size = size;
    b->data = data;
    YW_circularBuffer_t *cb = &b->control;
    cb->size = (YW_uint64_t)size;
    cb->buffer = data;
    cb->buffer_alloced = data;
    cb->refCount = 1;
    cb->cb_initMutex = ring_initMutex;
    cb->cb_deinitMutex = ring_deinitMutex;
    cb->cb_lockMutex = ring_lockMutex;
    cb->cb_unlockMutex = ring_unlockMutex;
    cb->cb_initMutex(&cb->lock);
    h->buffer = b;
    std::memset(&h->input, 0, sizeof(h->input));
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        for (auto &p : h->output)
            std::memset(&p, 0, sizeof(p));
    }
    return YW_SUCCESS;
}

// Releases the entity's ring, pending records and ports, and empties its slot.
YW_ret_t YW_log_lse_deInit(YW_log_t h)
{
    if (!h)
        return YW_FAIL;
    for (int i = 0; i < YW_LOG_OUTPUT_PORT_MAX; ++i)
        YW_log_lse_delOutput(h, i);
    std::memset(&h->input, 0, sizeof(h->input));
    if (YW_logBuffer_t *b = h->buffer) {
        YW_circularBuffer_t *cb = &b->control;
        ring_lock(cb);
        while (YW_slink_t *l = YW_link_pop(&h->recordList))
            YW_free(YW_list_entry(l, YW_logRecord_t, link));
        h->buffer = nullptr;
        ring_unlock(cb);
        if (cb->cb_deinitMutex)
            cb->cb_deinitMutex(&cb->lock);
        YW_free(cb->buffer_alloced);
        YW_free(b);
    }
    if (h->logId < YW_LSE_MAX) {
        std::atomic_ref<YW_log_t> slot(YW_g_pLSE[h->logId]);
        YW_log_t expected = h;
        if (slot.compare_exchange_strong(expected, nullptr))
            std::atomic_ref<int>(YW_g_lse_count).fetch_sub(1);
    }
    return YW_SUCCESS;
}

// ---- input -----------------------------------------------------------------------

YW_ret_t YW_log_lse_addInputOndemand(YW_log_t h, YW_event_q_t *q, YW_addr_t priv)
{
    if (!h)
        return YW_FAIL;
    if (h->input.type == YW_LOG_PORT_TYPE_INVALID) {
        h->input.cb_push = YW_log_lse_pushOndemand;
        h->input.lse = h;
        h->input.priv = priv;
        h->input.event_q = q;
        h->input.cfg = h->cfg ? &h->cfg->input : nullptr;
        h->input.type = YW_LOG_PORT_TYPE_ONDEMAND;
    }
    return YW_SUCCESS;
}

// Prints the line at once on standard output, then hands it, time-stamped, to
// every other output port of the entity whose level admits it.
int YW_log_lse_pushOndemand(YW_logInputPort_t *input, const char *data, YW_size_t length, YW_uint16_t level)
{
    if (!data || length < 1)
        return 0;
    std::fwrite(data, 1, (size_t)length, stdout);
    std::fflush(stdout);
    YW_log_t h = input ? input->lse : nullptr;
    if (!h || t_delivering)
        return 0;
    YW_logRecord_t rec{};
    clock_gettime(CLOCK_REALTIME, &rec.timestamp);
    rec.range.offset = 0;
    rec.range.length = length;
    rec.level = level;
    rec.segmentIndex = 0;
    t_delivering = true;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        for (auto &p : h->output) {
            // Standard-output ports are served by the print above.
            if (p.type == YW_LOG_PORT_TYPE_STDOUT)
                continue;
            deliver_to_port(&p, data, length, &rec);
        }
    }
    t_delivering = false;
    return 0;
}

// ---- outputs -------------------------------------------------------------------------

// Finds the port of (type, key) or claims the first free one, filled whole
// under the port lock so no delivery sees it half made.
static int add_output(YW_log_t h, YW_uint32_t type, YW_event_q_t *q, YW_addr_t key, YW_log_out_cb_t cb,
                      YW_addr_t priv)
{
    if (!h)
        return -1;
    YW_shared_lock<std::mutex> g(h->portLock);
    for (int i = 0; i < YW_LOG_OUTPUT_PORT_MAX; ++i) {
        if (h->output[i].type == type && h->output[i].cfg == key)
            return i;
    }
    for (int i = 0; i < YW_LOG_OUTPUT_PORT_MAX; ++i) {
        YW_logOutputPort_t &p = h->output[i];
        if (p.type != YW_LOG_PORT_TYPE_INVALID)
            continue;
        p.cfg = key;
        p.level = (YW_uint16_t)(h->cfg ? h->cfg->input.level : h->level);
        p.lse = h;
        p.priv = priv;
        p.event_q = q;
        p.cb_out = cb;
        p.type = type;
        return i;
    }
    return -1;
}

int YW_log_lse_addOutput(YW_log_t h, YW_uint32_t type, YW_event_q_t *q, YW_addr_t key, YW_log_out_cb_t cb)
{
    return add_output(h, type, q, key, cb, nullptr);
}

YW_ret_t YW_log_lse_addOutputStdout(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput)
{
    return YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_STDOUT, q, cfgOutput, YW_log_lse_outStdout) < 0 ? YW_FAIL
                                                                                                   : YW_SUCCESS;
}

YW_ret_t YW_log_lse_addOutputStderr(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput)
{
    return YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_STDOUT, q, cfgOutput, YW_log_lse_outStderr) < 0 ? YW_FAIL
                                                                                                   : YW_SUCCESS;
}

YW_ret_t YW_log_lse_addOutputFile(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput)
{
    if (!h)
        return YW_FAIL;
    FileState *fs = static_cast<FileState *>(YW_malloc(sizeof(FileState)));
    if (!fs)
        return YW_ERR_MALLOC;
    fs->file.cfg = cfgOutput;
    fs->file.fileid = -1;
    fs->retryAt = 0;
    YW_shared_lock<std::mutex> g(h->portLock);
    for (int i = 0; i < YW_LOG_OUTPUT_PORT_MAX; ++i) {
        if (h->output[i].type == YW_LOG_PORT_TYPE_FILE && h->output[i].cfg == cfgOutput) {
            YW_free(fs);
            return YW_SUCCESS;
        }
    }
    for (auto &p : h->output) {
        if (p.type != YW_LOG_PORT_TYPE_INVALID)
            continue;
        p.cfg = cfgOutput;
        p.level = (YW_uint16_t)(h->cfg ? h->cfg->input.level : h->level);
        p.lse = h;
        p.priv = &fs->file;
        p.event_q = q;
        p.cb_out = YW_log_lse_outFile;
        p.type = YW_LOG_PORT_TYPE_FILE;
        return YW_SUCCESS;
    }
    YW_free(fs);
    return YW_FAIL;
}

// Frees a port; once it returns no delivery to that port runs or will start.
YW_ret_t YW_log_lse_delOutput(YW_log_t h, int index)
{
    if (!h || index < 0 || index >= YW_LOG_OUTPUT_PORT_MAX)
        return YW_FAIL;
    YW_addr_t fileRec = nullptr;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        YW_logOutputPort_t &p = h->output[index];
        if (p.type == YW_LOG_PORT_TYPE_FILE)
            fileRec = p.priv;
        std::memset(&p, 0, sizeof(p));
    }
    if (fileRec) {
        FileState *fs = reinterpret_cast<FileState *>(fileRec);
        if (fs->file.fileid >= 0)
            close(fs->file.fileid);
        YW_free(fs);
    }
    return YW_SUCCESS;
}

int YW_log_lse_addStdoutToCli(YW_event_q_t *q, int socket, YW_log_out_cb_t cb)
{
    YW_log_t h = &YW_g_lse_stdout;
    if (!(h->flags.load() & YW_LOG_FLAG_ASSIGNED))
        return -1;
    YW_addr_t key = reinterpret_cast<YW_addr_t>((intptr_t)socket);
    return add_output(h, YW_LOG_PORT_TYPE_CLI, q, key, cb, key);
}

// Frees a command-interface port of the "stdout" log; an index that names a
// port of another kind (the log's own outputs) is refused, so a stale index
// cannot remove them.
YW_ret_t YW_log_lse_delCliFromStdout(int index)
{
    YW_log_t h = &YW_g_lse_stdout;
    if (index < 0 || index >= YW_LOG_OUTPUT_PORT_MAX)
        return YW_FAIL;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        YW_uint32_t type = h->output[index].type;
        if (type != YW_LOG_PORT_TYPE_CLI && type != YW_LOG_PORT_TYPE_INVALID)
            return YW_FAIL;
    }
    return YW_log_lse_delOutput(h, index);
}

int yw_log_print_timestamp_default(const struct timespec *ts, char *buffer)
{
    struct tm t;
    time_t sec = ts->tv_sec;
    localtime_r(&sec, &t);
    int n = std::snprintf(buffer, YW_LOG_TIMESTAMP_BUF_SZ, "<" YW_LOG_TIMESTAMP_STR ">", (unsigned)t.tm_hour,
                          (unsigned)t.tm_min, (unsigned)t.tm_sec, (unsigned)(ts->tv_nsec / 1000));
    return n < 0 ? 0 : (n >= YW_LOG_TIMESTAMP_BUF_SZ ? YW_LOG_TIMESTAMP_BUF_SZ - 1 : n);
}

int YW_log_lse_writeStamped(int fd, const char *data, YW_size_t length, const YW_logRecord_t *record)
{
    if (fd < 0 || !data || length < 1)
        return -1;
    char stamp[YW_LOG_TIMESTAMP_BUF_SZ];
    struct iovec iov[2];
    int cnt = stamped_iov(data, length, record, stamp, iov);
    struct iovec *v = iov;
    while (cnt > 0) {
        ssize_t w = writev(fd, v, cnt);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        iov_advance(v, cnt, w);
    }
    return 0;
}

int YW_log_lse_sendStampedWait(int socket, const char *data, YW_size_t length, const YW_logRecord_t *record,
                               int waitMs)
{
    if (socket < 0 || !data || length < 1)
        return -1;
    char stamp[YW_LOG_TIMESTAMP_BUF_SZ];
    struct iovec iov[2];
    int cnt = stamped_iov(data, length, record, stamp, iov);
    struct iovec *v = iov;
    if (waitMs <= 0 && !socket_has_room(socket, iov[0].iov_len + (cnt > 1 ? iov[1].iov_len : 0)))
        return -1; // the whole line or nothing: never a cut line
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (cnt > 0) {
        struct msghdr mh{};
        mh.msg_iov = v;
        mh.msg_iovlen = (size_t)cnt;
        ssize_t w = sendmsg(socket, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            // A client that does not read must not stall every logger.
            long waited = elapsed_ms(start);
            if (waited >= waitMs)
                return -1;
            struct pollfd pfd{socket, POLLOUT, 0};
            poll(&pfd, 1, (int)(waitMs - waited));
            continue;
        }
        iov_advance(v, cnt, w);
    }
    return 0;
}

int YW_log_lse_sendStamped(int socket, const char *data, YW_size_t length, const YW_logRecord_t *record)
{
    return YW_log_lse_sendStampedWait(socket, data, length, record, 1000);
}

int YW_log_lse_outStdout(YW_logOutputPort_t *, const char *data, YW_size_t length, YW_logRecord_t *record)
{
    if (data && length > 0) {
        std::fflush(stdout);
        YW_log_lse_writeStamped(1, data, length, record);
    }
    return 0;
}

int YW_log_lse_outStderr(YW_logOutputPort_t *, const char *data, YW_size_t length, YW_logRecord_t *record)
{
    if (data && length > 0)
        YW_log_lse_writeStamped(2, data, length, record);
    return 0;
}

// Opens the file on first use, for appending (a restart adds after the
// previous run's lines), and writes the time-stamped data.
int YW_log_lse_outFile(YW_logOutputPort_t *port, const char *data, YW_size_t length, YW_logRecord_t *record)
{
    if (!port || !port->priv)
        return -1;
    FileState *fs = reinterpret_cast<FileState *>(port->priv);
    YW_logOutputFile_t *f = &fs->file;
    if (f->fileid < 0) {
        time_t now = time(nullptr);
        if (now < fs->retryAt)
            return -1;
        YW_string_t path = f->cfg ? YW_get_file_path(f->cfg->logFolderName, f->cfg->logFileName, nullptr) : nullptr;
        if (!path)
            return -1;
        f->fileid = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        YW_free(path);
        if (f->fileid < 0) {
            fs->retryAt = now + kFileRetrySec;
            return -1;
        }
    }
    if (!data || length < 1)
        return 0;
    return YW_log_lse_writeStamped(f->fileid, data, length, record);
}

// ---- the record ring -------------------------------------------------------------------

YW_uint64_t YW_log_lse_drops(YW_log_t h)
{
    return h ? YW_stat_get(h->drops) : 0;
}

YW_uint64_t YW_circularBuffer_held(const YW_circularBuffer_t *cb)
{
    if (cb->push > cb->pop)
        return cb->push - cb->pop;
    if (cb->wrap)
        return cb->size + cb->push - cb->pop;
    return 0;
}

// Sets the record's range, copies the data into the ring at offset (round
// the end when it does not fit before it) and queues the record. Called with
// the ring locked.
YW_ret_t YW_log_lse_pushOndemand_pushLogRecord(YW_log_t h, YW_logRecord_t *record, const void *data,
                                               YW_int64_t offset, YW_int64_t length)
{
    if (!h || !h->buffer || !record || !data || length < 1)
        return YW_FAIL;
    YW_circularBuffer_t *cb = &h->buffer->control;
    if (offset < 0 || (YW_uint64_t)offset >= cb->size || (YW_uint64_t)length > cb->size)
        return YW_FAIL;
    record->range.offset = offset;
    record->range.length = length;
    ring_copyIn(cb, (YW_uint64_t)offset, static_cast<const YW_uint8_t *>(data), (YW_uint64_t)length);
    YW_link_push(&h->recordList, &record->link);
    return YW_SUCCESS;
}

YW_ret_t YW_log_lse_pushRecord(YW_log_t h, const void *data, YW_size_t length, YW_uint16_t level)
{
    if (!h || !data || length < 1)
        return YW_FAIL;
    YW_gate_hold in(h->gate);
    if (!in || !h->buffer)
        return YW_FAIL;
    YW_logRecord_t *rec = static_cast<YW_logRecord_t *>(YW_malloc(sizeof(YW_logRecord_t)));
    if (!rec)
        return YW_ERR_MALLOC;
    std::memset(rec, 0, sizeof(*rec));
    clock_gettime(CLOCK_REALTIME, &rec->timestamp);
    rec->level = level;
    rec->segmentIndex = 0;
    YW_circularBuffer_t *cb = &h->buffer->control;
    ring_lock(cb);
    YW_uint64_t room = cb->size - YW_circularBuffer_held(cb);
    if ((YW_uint64_t)length > room) {
        cb->overflow++;
        ring_unlock(cb);
        YW_free(rec);
        return YW_ERR_BUFFER_NO_SPACE;
    }
    YW_uint64_t offset = cb->push;
    YW_log_lse_pushOndemand_pushLogRecord(h, rec, data, (YW_int64_t)offset, length);
    cb->push += (YW_uint64_t)length;
    if (cb->push >= cb->size) {
        cb->push -= cb->size;
        cb->wrap++;
    }
    ring_unlock(cb);
    std::atomic_ref<YW_int64_t>(YW_g_logServiceStatus.logRecordCount).fetch_add(1, std::memory_order_relaxed);

    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_LSE, h->logId, nullptr);
    if (m && YW_event_send(&YW_g_log_event_q, m) < 0)
        YW_event_releaseEvent(m);
    return YW_SUCCESS;
}

// Delivers the oldest buffered record to every port whose level admits it; a
// record that goes round the ring's end is delivered as two segments. The
// ring space is given back only after delivery, so producers cannot
// overwrite data being delivered. One receiver per entity.
YW_ret_t YW_log_lse_proc(YW_log_t h)
{
    if (!h)
        return YW_FAIL;
    // the ring and the entity stay while a record is delivered
    YW_gate_hold in(h->gate);
    if (!in || !h->buffer)
        return YW_FAIL;
    YW_circularBuffer_t *cb = &h->buffer->control;
    ring_lock(cb);
    YW_slink_t *l = YW_link_pop(&h->recordList);
    if (!l) {
        ring_unlock(cb);
        return YW_FAIL;
    }
    YW_logRecord_t *rec = YW_list_entry(l, YW_logRecord_t, link);
    YW_uint64_t held = YW_circularBuffer_held(cb);
    YW_uint64_t n = rec->range.length > 0 ? (YW_uint64_t)rec->range.length : 0;
    if (n > held)
        n = held;
    YW_uint64_t off = cb->pop;
    if ((YW_uint64_t)rec->range.offset != off || (YW_uint64_t)rec->range.length != n)
        std::printf("%s:%d logRecord mismatch (offset, length)=(%d %d) vs (%d, %d)\n", __func__, __LINE__,
                    (int)rec->range.offset, (int)rec->range.length, (int)off, (int)n);
    const YW_uint8_t *base = cb->buffer;
    YW_uint64_t size = cb->size;
    ring_unlock(cb);
    if (n < 1) {
        YW_free(rec);
        return YW_FAIL;
    }

    YW_uint64_t first = size - off < n ? size - off : n;
    bool nested = t_delivering;
    t_delivering = true;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        YW_logRecord_t seg = *rec;
        seg.range.offset = (YW_int64_t)off;
        seg.range.length = (YW_int64_t)first;
        seg.segmentIndex = 0;
        for (auto &p : h->output)
            deliver_to_port(&p, reinterpret_cast<const char *>(base + off), (YW_size_t)first, &seg);
        if (n > first) {
            seg.range.offset = 0;
            seg.range.length = (YW_int64_t)(n - first);
            seg.segmentIndex = 1;
            for (auto &p : h->output)
                deliver_to_port(&p, reinterpret_cast<const char *>(base), (YW_size_t)(n - first), &seg);
        }
    }
    t_delivering = nested;

    ring_lock(cb);
    cb->pop += n;
    if (cb->pop >= cb->size) {
        cb->pop -= cb->size;
        if (cb->wrap)
            cb->wrap--;
    }
    ring_unlock(cb);
    YW_free(rec);
    return YW_SUCCESS;
}

// ---- log event queues and the receiver task ----------------------------------------------

static YW_P_thread_t ctrl_thread(YW_P_thread_t &t)
{
    return std::atomic_ref<YW_P_thread_t>(t).load(std::memory_order_acquire);
}

// Ringing a log task's doorbell and dropping that task's handle exclude each
// other: an ending task drops its handle before its thread record goes, so a
// ring never reaches a freed record.
static std::shared_mutex yw_s_log_ring_lock;

void YW_log_lse_dropThread(YW_P_thread_t *slot, YW_P_thread_t self)
{
    if (!slot)
        return;
    std::unique_lock<std::shared_mutex> g(yw_s_log_ring_lock);
    std::atomic_ref<YW_P_thread_t> h(*slot);
    if (!self)
        h.store(nullptr, std::memory_order_release);
    else
        h.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

YW_ret_t YW_log_lsm_fire_event(YW_event_q_t *q, YW_addr_t msg)
{
    std::shared_lock<std::shared_mutex> g(yw_s_log_ring_lock);
    YW_P_thread_t th = ctrl_thread(YW_g_logEventControl.lsm_task);
    if (!th)
        return YW_ERR_TASK_NULL;
    return YW_event_q_fireThread(q, th, msg);
}

// Wait callback body of both log queues: sleeps on the owner's doorbell.
static YW_ret_t wait_on_owner(YW_event_q_t *q, YW_addr_t timeout, YW_P_thread_t &owner)
{
    YW_int64_t t = timeout ? *static_cast<YW_int64_t *>(timeout) : -1;
    return YW_event_q_waitThread(q, ctrl_thread(owner), t);
}

YW_ret_t YW_log_lsm_wait_event(YW_event_q_t *q, YW_addr_t timeout)
{
    return wait_on_owner(q, timeout, YW_g_logEventControl.lsm_task);
}

YW_ret_t YW_log_fire_event(YW_event_q_t *q, YW_addr_t msg)
{
    std::shared_lock<std::shared_mutex> g(yw_s_log_ring_lock);
    YW_P_thread_t th = ctrl_thread(YW_g_logEventControl.lse_recv_task);
    if (!th)
        return YW_SUCCESS;
    return YW_event_q_fireThread(q, th, msg);
}

YW_ret_t YW_log_wait_event(YW_event_q_t *q, YW_addr_t timeout)
{
    return wait_on_owner(q, timeout, YW_g_logEventControl.lse_recv_task);
}

YW_ret_t YW_log_send_event(YW_event_q_t *q, YW_addr_t msg)
{
    return YW_log_fire_event(q, msg);
}

YW_ret_t YW_log_recv_event(YW_event_q_t *, YW_addr_t)
{
    return YW_SUCCESS;
}

void *YW_log_lse_main(void *)
{
    YW_logEventControl_t *ctrl = &YW_g_logEventControl;
    std::atomic_ref<YW_P_thread_t> self(ctrl->lse_recv_task);
    if (!self.load()) {
        YW_P_thread_t th = nullptr;
        YW_P_getThreadID(&th);
        self.store(th);
    }
    // Later events are kept in the queue instead of ringing an ended thread;
    // dropped on every way out, unwinding included.
    struct drop_on_exit {
        YW_P_thread_t *slot;
        ~drop_on_exit() noexcept(false) { YW_log_lse_dropThread(slot, nullptr); }
    } drop{&ctrl->lse_recv_task};
    YW_elog("%s start...\n", __func__);
    YW_event_q_t *q = &YW_g_log_event_q;
    q->flags_wait.fetch_or(YW_EVENT_FLAG_FRW);
    int timeouts = 0;
    bool run = true;
    while (run) {
        YW_ret_t n = YW_event_wait(q, 2000000000LL);
        if (n <= 0) {
            // The queue was taken down (YW_log_deinit): nothing can reach
            // this task any more, and waiting on it would return at once.
            if (q->status.load() != YW_EVENT_Q_STATUS_NORM)
                break;
            ++timeouts;
            std::printf("%s:%d time out %d\n", __func__, __LINE__, timeouts);
            continue;
        }
        YW_event_msg_t *m = nullptr;
        while (YW_event_recv(q, YW_EVENT_FLAG_LSE, &m) == 0) {
            YW_log_t h = YW_log_lse(m->id.p.value);
            if (!h)
                std::printf("%s:%d lse NULL logid=%x\n", __func__, __LINE__, m->id.p.value);
            else
                while (YW_log_lse_proc(h) == 0) {
                }
            YW_event_releaseEvent(m);
        }
        while (YW_event_recv(q, YW_EVENT_FLAG_FRW, &m) == 0) {
            if (m->id.p.value == YW_LOG_RECEIVER_STOP)
                run = false;
            YW_event_releaseEvent(m);
        }
    }
    std::printf("%s:%d lse stop...\n", __func__, __LINE__);
    return nullptr;
}

YW_ret_t YW_log_lse_stopReceiver(void)
{
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, YW_LOG_RECEIVER_STOP, nullptr);
    if (!m)
        return YW_ERR_MALLOC;
    YW_ret_t r = YW_event_send(&YW_g_log_event_q, m);
    if (r < 0) {
        YW_event_releaseEvent(m);
        return r;
    }
    return YW_SUCCESS;
}

} // extern "C"
