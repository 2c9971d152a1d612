// Named shared-memory areas as POSIX shared-memory objects of this machine,
// and word access to them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "zv_internal.h"

namespace zv {
namespace {

constexpr size_t kClusterMax = 64;
constexpr long kDefaultAttachPauseMs = 2000;
constexpr long kMaxAttachPauseMs = 600000;

bool nameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// How long an attach waits for the creator to size the area
// ("ZV_smb_attach_pause", milliseconds).
std::chrono::milliseconds attachPause()
{
    const char *v = std::getenv("ZV_smb_attach_pause");
    long ms = kDefaultAttachPauseMs;
    if (v && *v) {
        char *end = nullptr;
        errno = 0;
        long p = std::strtol(v, &end, 10);
        if (errno == 0 && end && *end == '\0' && p >= 0)
            ms = p < kMaxAttachPauseMs ? p : kMaxAttachPauseMs;
    }
    return std::chrono::milliseconds(ms);
}

ZV_status_t checkArgs(const char *name, uint64_t size, SMB_handle *pHandle)
{
    if (!pHandle)
        return SMB__NULL_HANDLE;
    if (!name || size == 0 || size > (uint64_t)SIZE_MAX / 2)
        return SMB__BAD_ARG;
    return 0;
}

uint64_t inodeOf(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? (uint64_t)st.st_ino : 0;
}

SMB_handle newHandle(int fd, const char *name, uint32_t flags, uint64_t size, CEID ceid)
{
    auto *h = new zv_smb;
    h->fd = fd;
    h->ino = inodeOf(fd);
    h->name = name;
    h->flags = flags;
    h->size = size;
    h->ceid = ceid;
    HandleRegistry::instance().add(h);
    return h;
}

// Opens an existing area and waits (up to the attach pause) until its
// creator has sized it; a different size is refused. A stop of the thread
// may end it in the wait's sleep: the descriptor is closed then.
ZV_status_t openSized(const char *name, uint64_t size, int &fdOut, CancelHold &hold)
{
    std::string obj;
    if (ZV_status_t r = objectName(name, obj))
        return r;
    int fd = shm_open(obj.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == ENOENT ? SMB__NOT_FOUND : SMB__SYSTEM;
    struct CloseOnCut {
        int fd;
        bool armed = false;
        ~CloseOnCut()
        {
            if (armed)
                close(fd);
        }
    } cut{fd};
    auto end = std::chrono::steady_clock::now() + attachPause();
    for (;;) {
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            close(fd);
            return SMB__SYSTEM;
        }
        if (st.st_size != 0) {
            if ((uint64_t)st.st_size != size) {
                close(fd);
                return SMB__SIZE_MISMATCH;
            }
            fdOut = fd;
            return 0;
        }
        if (std::chrono::steady_clock::now() >= end) {
            close(fd);
            return SMB__NOT_SIZED;
        }
        cut.armed = true;
        hold.allowed([] { std::this_thread::sleep_for(std::chrono::microseconds(200)); });
        cut.armed = false;
    }
}

// Names the process holding the lock on the object open at fd, from the
// system's list of locks: "process <pid> (<command>)", or "another user"
// when it is not listed.
void describeHolder(int fd, char *out, size_t len)
{
    if (!out || len == 0)
        return;
    std::snprintf(out, len, "another user");
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return;
    char dev[64];
    std::snprintf(dev, sizeof dev, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  (unsigned long long)st.st_ino);
    std::ifstream locks("/proc/locks");
    std::string line;
    for (int i = 0; i < 100000 && std::getline(locks, line); i++) {
        // "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> <start> <end>"
        std::istringstream in(line);
        std::string n, kind, mode, access, pid, where;
        if (!(in >> n >> kind) || kind != "FLOCK" || !(in >> mode >> access >> pid >> where) || where != dev)
            continue;
        long p = std::atol(pid.c_str());
        if (p <= 0)
            continue;
        std::string comm;
        std::ifstream c("/proc/" + std::to_string(p) + "/comm");
        std::getline(c, comm);
        if (comm.size() > 64)
            comm.resize(64);
        std::snprintf(out, len, "process %ld (%s)", p, comm.empty() ? "?" : comm.c_str());
        return;
    }
}

// An exclusive lock on the object open at fd, without waiting.
ZV_status_t lockObject(int fd, char *holder, size_t holderLen)
{
    int r;
    do
        r = flock(fd, LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r == 0)
        return 0;
    if (errno != EWOULDBLOCK)
        return SMB__SYSTEM;
    describeHolder(fd, holder, holderLen);
    return SMB__HELD;
}

} // namespace

HandleRegistry &HandleRegistry::instance()
{
    static HandleRegistry r;
    return r;
}

void HandleRegistry::add(const void *h)
{
    std::lock_guard<std::mutex> g(m_);
    set_.insert(h);
}

bool HandleRegistry::remove(const void *h)
{
    std::lock_guard<std::mutex> g(m_);
    return set_.erase(h) == 1;
}

bool HandleRegistry::live(const void *h)
{
    std::lock_guard<std::mutex> g(m_);
    return set_.count(h) == 1;
}

ZV_status_t objectName(const char *name, std::string &out)
{
    size_t n = std::strlen(name);
    if (n > SMB_NAME_MAX)
        return SMB__NAME_TOO_LONG;
    if (n == 0)
        return SMB__BAD_NAME;
    for (size_t i = 0; i < n; i++)
        if (!nameChar(name[i]))
            return SMB__BAD_NAME;
    const char *cl = std::getenv("ZV_cluster");
    if (!cl || !*cl)
        cl = "0";
    size_t cn = std::strlen(cl);
    if (cn > kClusterMax)
        return SMB__BAD_CLUSTER;
    for (size_t i = 0; i < cn; i++)
        if (!nameChar(cl[i]))
            return SMB__BAD_CLUSTER;
    out = "/zv_";
    out += cl;
    out += '_';
    out += name;
    return 0;
}

ZV_status_t mapArea(int fd, uint64_t size, zv_mapping &out)
{
    // A mapping past the object's end faults on its first access.
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return SMB__SYSTEM;
    if ((uint64_t)st.st_size < size)
        return SMB__AREA_LOST;
    void *p = mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return SMB__SYSTEM;
    out.base = static_cast<uint8_t *>(p);
    out.size = size;
    out.guard = guardAdd(p, size, (uint64_t)st.st_ino);
    return 0;
}

void unmapArea(zv_mapping &m)
{
    guardRemove(m.guard);
    if (m.base)
        munmap(m.base, (size_t)m.size);
    m.base = nullptr;
    m.size = 0;
    m.guard = -1;
}

zv_smb *liveArea(SMB_handle h)
{
    return h && HandleRegistry::instance().live(h) ? h : nullptr;
}

} // namespace zv

using namespace zv;

extern "C" {

ZV_status_t smb_create(const char *name, uint32_t flags, uint64_t size, uint32_t count, CEID ceid,
                       uint32_t reserved, SMB_handle *pHandle)
{
    CancelHold hold;
    (void)count;
    (void)reserved;
    if (ZV_status_t r = checkArgs(name, size, pHandle))
        return r;
    std::string obj;
    if (ZV_status_t r = objectName(name, obj))
        return r;
    int fd = shm_open(obj.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST ? SMB__DUPLICATE : SMB__SYSTEM;
    // A new object is zero-filled, as SMB_ZERO_FILL asks. Its room is
    // reserved now: a file system without room for it refuses here, with
    // errno saying why, rather than with a fault on a later access.
    int e;
    do
        e = posix_fallocate(fd, 0, (off_t)size);
    while (e == EINTR);
    if (e != 0) {
        close(fd);
        shm_unlink(obj.c_str());
        errno = e;
        return SMB__SYSTEM;
    }
    *pHandle = newHandle(fd, name, flags, size, ceid);
    return 0;
}

ZV_status_t smb_attach(const char *name, uint32_t flags, uint64_t size, uint32_t reserved1, uint32_t reserved2,
                       SMB_handle *pHandle)
{
    CancelHold hold;
    (void)reserved1;
    (void)reserved2;
    if (ZV_status_t r = checkArgs(name, size, pHandle))
        return r;
    int fd = -1;
    if (ZV_status_t r = openSized(name, size, fd, hold))
        return r;
    *pHandle = newHandle(fd, name, flags, size, 0);
    return 0;
}

ZV_status_t smb_open(const char *name, uint32_t flags, uint32_t reserved1, uint64_t size, uint32_t reserved2,
                     uint32_t reserved3, void **pAddr, SMB_handle *pHandle)
{
    CancelHold hold;
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    if (ZV_status_t r = checkArgs(name, size, pHandle))
        return r;
    if (!pAddr)
        return SMB__BAD_ARG;
    if (std::strlen(name) > SMB_NAME_MAX)
        return SMB__NAME_TOO_LONG;
    int fd = -1;
    if (ZV_status_t r = openSized(name, size, fd, hold))
        return r;
    zv_mapping m;
    if (ZV_status_t r = mapArea(fd, size, m)) {
        close(fd);
        return r;
    }
    SMB_handle h = newHandle(fd, name, flags, size, 0);
    h->addr = m.base;
    h->guard = m.guard;
    *pAddr = m.base;
    *pHandle = h;
    return 0;
}

ZV_status_t smb_close(SMB_handle handle, uint32_t reserved)
{
    CancelHold hold;
    (void)reserved;
    if (!handle || !HandleRegistry::instance().remove(handle))
        return SMB__NULL_HANDLE;
    if (handle->addr) {
        zv_mapping m{static_cast<uint8_t *>(handle->addr), handle->size, handle->guard};
        unmapArea(m);
    }
    if (handle->fd >= 0)
        close(handle->fd);
    delete handle;
    return 0;
}

ZV_status_t smb_access_setup(const SMB_handle *handles, size_t bytes, SMB_access_handle *pAccess, void *reserved)
{
    CancelHold hold;
    (void)reserved;
    if (!pAccess)
        return SMB__NULL_ACCESS;
    size_t n = bytes / sizeof(SMB_handle);
    if (!handles || n == 0)
        return SMB__NULL_HANDLE;
    if (n > (size_t)zv_smb_access::kMaxAreas)
        return SMB__BAD_INDEX;
    auto *a = new zv_smb_access;
    for (size_t i = 0; i < n; i++) {
        zv_smb *s = liveArea(handles[i]);
        // Unused entries of the array are null; a live area is needed first.
        if (!s) {
            if (i == 0 || handles[i]) {
                for (uint32_t k = 0; k < a->count; k++)
                    unmapArea(a->areas[k]);
                delete a;
                return SMB__NULL_HANDLE;
            }
            break;
        }
        if (ZV_status_t r = mapArea(s->fd, s->size, a->areas[i])) {
            for (uint32_t k = 0; k < a->count; k++)
                unmapArea(a->areas[k]);
            delete a;
            return r;
        }
        a->count = (uint32_t)i + 1;
    }
    HandleRegistry::instance().add(a);
    *pAccess = a;
    return 0;
}

ZV_status_t smb_access_release(SMB_access_handle access)
{
    CancelHold hold;
    if (!access || !HandleRegistry::instance().remove(access))
        return SMB__NULL_ACCESS;
    for (uint32_t k = 0; k < access->count; k++)
        unmapArea(access->areas[k]);
    delete access;
    return 0;
}

ZV_status_t smb_access_write_u64(SMB_access_handle access, uint32_t area, uint32_t reserved, uint64_t offset,
                                 uint64_t value)
{
    (void)reserved;
    if (!access)
        return SMB__NULL_ACCESS;
    if (area >= access->count)
        return SMB__BAD_INDEX;
    const zv_mapping &m = access->areas[area];
    if (offset % 8 != 0 || offset > m.size || m.size - offset < 8)
        return SMB__BAD_OFFSET;
    // The word is published with release order: whatever the writer stored
    // before (a transferred message) is visible to a reader that sees it.
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t *>(m.base + offset)).store(value, std::memory_order_release);
    return mappingLost(m) ? SMB__AREA_LOST : 0;
}

ZV_status_t smb_lock(SMB_handle handle, char *holder, size_t holderLen)
{
    CancelHold hold;
    zv_smb *h = liveArea(handle);
    if (!h || h->fd < 0)
        return SMB__NULL_HANDLE;
    return lockObject(h->fd, holder, holderLen);
}

ZV_status_t smb_holder(const char *name, char *holder, size_t holderLen)
{
    CancelHold hold;
    if (!name)
        return SMB__BAD_ARG;
    std::string obj;
    if (ZV_status_t r = objectName(name, obj))
        return r;
    int fd = shm_open(obj.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT ? SMB__NOT_FOUND : SMB__SYSTEM;
    // Taken and let go at once: held only when somebody else holds it.
    ZV_status_t r = lockObject(fd, holder, holderLen);
    close(fd); // lets go of the lock taken
    return r;
}

ZV_status_t smb_check(SMB_handle handle, uint32_t flags)
{
    CancelHold hold;
    if (!handle)
        return SMB__NULL_HANDLE;
    // The cheap check: no mapping anywhere in the process faulted.
    if (!(flags & SMB_CHECK_OBJECT) && !guardAnyLost())
        return 0;
    zv_smb *h = liveArea(handle);
    if (!h)
        return SMB__NULL_HANDLE;
    if (guardLost(h->guard) || guardLostObject(h->ino))
        return SMB__AREA_LOST;
    if (!(flags & SMB_CHECK_OBJECT))
        return 0;
    struct stat st {};
    if (fstat(h->fd, &st) != 0 || (uint64_t)st.st_size != h->size)
        return SMB__AREA_LOST;
    // Replaced or removed: the name no longer leads to this object.
    std::string obj;
    if (objectName(h->name.c_str(), obj) != 0)
        return SMB__AREA_LOST;
    int fd = shm_open(obj.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return SMB__AREA_LOST;
    struct stat now {};
    bool same = fstat(fd, &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev;
    close(fd);
    return same ? 0 : SMB__AREA_LOST;
}

ZV_status_t smb_stat(const char *name, uint64_t *pSize, char *file, size_t fileLen)
{
    CancelHold hold;
    if (!name || !pSize)
        return SMB__BAD_ARG;
    std::string obj;
    if (ZV_status_t r = objectName(name, obj))
        return r;
    if (file && fileLen > 0)
        std::snprintf(file, fileLen, "/dev/shm%s", obj.c_str());
    int fd = shm_open(obj.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT ? SMB__NOT_FOUND : SMB__SYSTEM;
    struct stat st {};
    int r = fstat(fd, &st);
    close(fd);
    if (r != 0)
        return SMB__SYSTEM;
    *pSize = (uint64_t)st.st_size;
    return 0;
}

ZV_status_t smb_remove(const char *name)
{
    CancelHold hold;
    if (!name)
        return SMB__BAD_ARG;
    std::string obj;
    if (ZV_status_t r = objectName(name, obj))
        return r;
    if (shm_unlink(obj.c_str()) != 0)
        return errno == ENOENT ? SMB__NOT_FOUND : SMB__SYSTEM;
    return 0;
}

} // extern "C"
