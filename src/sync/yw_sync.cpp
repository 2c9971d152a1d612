// Synchronisation resources: the "resourceConf" loader, creation and deletion
// of the configured mutexes, semaphores and shared-memory objects, and the
// listing of the command "ss".
//
// Shared-memory objects are created exclusively under their configured
// name: a second creator of a name fails and leaves the object as it is.
// An object this system made carries two marks: a mark file beside it in the
// shared-memory folder, named after the object's inode and holding its name
// (written before the object appears under its name), and an exclusive lock
// on the object's descriptor, held by the node that made it and dropped by
// the kernel when that node ends, also when it is killed. Only an object
// with the mark file whose lock nobody holds is taken over (removed and made
// again, with one line): it was left by a node that ended without deleting
// it. An object of another program, or one a running node holds, is refused
// with a line naming it.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_svc_cfg.h"
#include "log/yw_log.h"
#include "osa/yw_osa_guard.h"
#include "sync/yw_sync.h"
#include "sync/yw_sync_ssm.h"

#define YW_SYNC_CFG_TAG "resourceDef"
#define YW_SYNC_LINE_SZ 128

extern "C" {
YW_sync_cfg_t YW_g_sync_cfg[YW_SYNC_MAX];
YW_sync_t YW_g_sync[YW_SYNC_MAX];
const char *const YW_g_sync_type_name[YW_SYNC_TYPE_MAX] = {"invalid", "mutex", "semaphore", "sharedmemory"};
}

namespace {

YW_P_mutex_t yw_sync_lock()
{
    return YW_g_sync_ssm_ctx.lock;
}

bool yw_sync_isStatic(const YW_sync_cfg_t *cfg)
{
    return cfg >= &YW_g_sync_cfg[0] && cfg < &YW_g_sync_cfg[YW_SYNC_MAX];
}

YW_sync_cfg_t *yw_sync_cfgCopy(const YW_sync_cfg_t *cfg)
{
    return YW_svc_cfgCopy(cfg, {&YW_sync_cfg_t::name});
}

void yw_sync_cfgFree(YW_sync_cfg_t *cfg)
{
    if (!yw_sync_isStatic(cfg))
        YW_svc_cfgFree(cfg, {&YW_sync_cfg_t::name});
}

// The name of a shared-memory object as a file under `dir`: leading slashes
// dropped as shm_open drops them; empty when it names no single entry.
std::string yw_sync_shmPath(const std::string &dir, const char *name)
{
    while (*name == '/')
        ++name;
    if (!*name || std::strchr(name, '/') || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return {};
    return dir + "/" + name;
}

bool yw_sync_sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory in which shm_open keeps its objects: the one that holds the
// object `probe`, open on `fd`. /dev/shm is tried first, then each tmpfs
// mount; empty when none holds it.
std::string yw_sync_shmDir(const char *probe, int fd)
{
    struct stat want {};
    if (fstat(fd, &want) != 0)
        return {};
    auto holds = [&](const std::string &dir) {
        std::string path = yw_sync_shmPath(dir, probe);
        struct stat sb {};
        return !path.empty() && stat(path.c_str(), &sb) == 0 && yw_sync_sameFile(sb, want);
    };
    if (holds("/dev/shm"))
        return "/dev/shm";
    std::string found;
    FILE *m = std::fopen("/proc/self/mounts", "re");
    if (!m)
        return found;
    char line[512], dir[256], type[32];
    // A line longer than the buffer is read in pieces; a piece that parses
    // as a mount is still checked against the probe itself.
    while (found.empty() && std::fgets(line, sizeof line, m))
        if (std::sscanf(line, "%*s %255s %31s", dir, type) == 2 && std::strcmp(type, "tmpfs") == 0 &&
            !std::strchr(dir, '\\') && holds(dir))
            found = dir;
    std::fclose(m);
    return found;
}

// The object's name as a file name: without its leading slashes.
const char *yw_sync_shmBase(const char *name)
{
    while (*name == '/')
        ++name;
    return name;
}

// The mark file of the object with inode `ino` in the folder `dir`.
std::string yw_sync_markPath(const std::string &dir, ino_t ino)
{
    return dir + "/.yw_sync_mark." + std::to_string((unsigned long long)ino);
}

// Writes the mark file of a new object (inode `ino`, name `name`).
bool yw_sync_writeMark(const std::string &dir, ino_t ino, const char *name)
{
    const std::string text = std::string(yw_sync_shmBase(name)) + "\n";
    int fd = open(yw_sync_markPath(dir, ino).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    return ok;
}

// True when the object with inode `ino` has the mark file of an object of
// this name. The file is read only as far as a name can reach.
bool yw_sync_hasMark(const std::string &dir, ino_t ino, const char *name)
{
    int fd = open(yw_sync_markPath(dir, ino).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[YW_P_SHM_NAME_LEN + 2];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    const std::string want = std::string(yw_sync_shmBase(name)) + "\n";
    return n == (ssize_t)want.size() && std::memcmp(buf, want.data(), want.size()) == 0;
}

// What stands under a name that exclusive creation found taken.
enum class yw_sync_found { TAKEN_OVER, HELD, FOREIGN };

// Removes the object at `path` when this system made it and no running node
// holds it. The lock is taken and held while the object is checked and
// removed, and the name must still hold the object that was locked: two
// nodes that find the same left object cannot remove the new one that
// either of them puts in its place.
yw_sync_found yw_sync_shmTakeStale(const std::string &dir, const std::string &path, const char *name)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return yw_sync_found::HELD; // gone meanwhile: another creator's turn
    struct stat held {}, now {};
    yw_sync_found f = yw_sync_found::FOREIGN;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && yw_sync_hasMark(dir, held.st_ino, name)) {
        f = yw_sync_found::HELD;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &now) == 0 && yw_sync_sameFile(held, now) &&
            unlink(path.c_str()) == 0) {
            unlink(yw_sync_markPath(dir, held.st_ino).c_str());
            f = yw_sync_found::TAKEN_OVER;
        }
    }
    close(fd);
    return f;
}

// Exclusive creation. The object is made under a private name, sized,
// locked and given its mark file there, and only then linked under its own
// name (link fails when the name exists): no other node finds it under that
// name before it is marked as this system's and held.
YW_ret_t yw_sync_createShmExcl(const YW_P_sharedmemory_arg_t &a, YW_P_shm_t *out)
{
    static std::atomic<unsigned> seq{0};
    char tmpName[YW_P_SHM_NAME_LEN];
    YW_P_shm_t e = nullptr;
    for (int tries = 0; !e && tries < 4; ++tries) {
        std::snprintf(tmpName, sizeof tmpName, "/.yw_sync.%d.%u", (int)getpid(), seq++);
        YW_P_sharedmemory_arg_t t = a;
        t.name = tmpName;
        if (YW_P_createSharedMemory(&t, &e) != YW_SUCCESS)
            e = nullptr;
    }
    if (!e)
        return YW_FAIL;
    if (flock(e->fd, LOCK_EX | LOCK_NB) != 0)
        std::printf("%s:%d shared memory %s not marked as this node's\n", "YW_createSync", __LINE__, a.name);
    const std::string dir = yw_sync_shmDir(tmpName, e->fd);
    const std::string from = yw_sync_shmPath(dir, tmpName), to = yw_sync_shmPath(dir, a.name);
    struct stat own {};
    bool marked = false;
    int rc = -1;
    if (dir.empty()) {
        std::printf("%s:%d shared memory %s: folder of shared-memory objects not found\n", "YW_createSync",
                    __LINE__, a.name);
    } else if (to.empty()) {
        std::printf("%s:%d shared memory %s: not a single name\n", "YW_createSync", __LINE__, a.name);
    } else if (fstat(e->fd, &own) != 0 || !(marked = yw_sync_writeMark(dir, own.st_ino, a.name))) {
        std::printf("%s:%d shared memory %s: its mark cannot be written\n", "YW_createSync", __LINE__, a.name);
    } else if ((rc = link(from.c_str(), to.c_str())) != 0 && errno == EEXIST) {
        switch (yw_sync_shmTakeStale(dir, to, a.name)) {
        case yw_sync_found::TAKEN_OVER:
            if ((rc = link(from.c_str(), to.c_str())) == 0)
                std::printf("%s:%d shared memory %s was left by an earlier run: removed and created again\n",
                            "YW_createSync", __LINE__, a.name);
            break;
        case yw_sync_found::HELD:
            std::printf("%s:%d shared memory %s exists and is held by a running node: left as it is\n",
                        "YW_createSync", __LINE__, a.name);
            break;
        case yw_sync_found::FOREIGN:
            std::printf("%s:%d shared memory %s exists and was not made by this system: left as it is\n",
                        "YW_createSync", __LINE__, a.name);
            break;
        }
    }
    if (rc != 0) {
        if (marked)
            unlink(yw_sync_markPath(dir, own.st_ino).c_str());
        YW_P_deleteSharedMemory(e); // removes the private name
        return YW_FAIL;
    }
    unlink(from.c_str());
    size_t n = strnlen(a.name, YW_P_SHM_NAME_LEN - 1);
    std::memcpy(e->name, a.name, n);
    e->name[n] = '\0';
    *out = e;
    return YW_SUCCESS;
}

YW_ret_t yw_sync_createShm(const YW_sync_cfg_t *cfg, YW_P_shm_t *out)
{
    if (!cfg->name || strnlen(cfg->name, YW_P_SHM_NAME_LEN) >= YW_P_SHM_NAME_LEN) {
        std::printf("%s:%d shared memory name does not fit %d bytes\n", "YW_createSync", __LINE__,
                    YW_P_SHM_NAME_LEN - 1);
        return YW_FAIL;
    }
    if (cfg->shm_size < 0 || cfg->shm_size > (YW_int64_t)UINT32_MAX) {
        std::printf("%s:%d shared memory %s size %lld out of range\n", "YW_createSync", __LINE__, cfg->name,
                    (long long)cfg->shm_size);
        return YW_FAIL;
    }
    // Always exclusive, whatever the mode says: a resource opening an object
    // it did not make would resize it and unlink it at deletion.
    YW_P_sharedmemory_arg_t a{cfg->name, YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, (YW_uint32_t)cfg->shm_size,
                              cfg->shm_addr, (YW_uint32_t)cfg->shm_attr};
    return yw_sync_createShmExcl(a, out);
}

// Deletes a shared-memory object this node made, with its mark file. Only
// the node's own object is removed: when its name now leads to another
// object (one that replaced it) or to none, the name is left as it is, with
// a line, and only the node's own descriptor and mark go.
YW_ret_t yw_sync_deleteShm(YW_P_shm_t shm)
{
    if (shm->refCount > 0 && YW_P_unmapSharedMemory(shm) != YW_SUCCESS)
        return YW_FAIL;
    struct stat own {};
    std::string mark;
    bool ours = false;
    if (fstat(shm->fd, &own) == 0) {
        std::string dir = yw_sync_shmDir(shm->name, shm->fd);
        if (dir.empty())
            dir = "/dev/shm";
        mark = yw_sync_markPath(dir, own.st_ino);
        std::string path = yw_sync_shmPath(dir, shm->name);
        struct stat now {};
        ours = !path.empty() && lstat(path.c_str(), &now) == 0 && yw_sync_sameFile(now, own);
    }
    if (!ours) {
        std::printf("%s:%d shared memory %s is no longer this node's object: the name is left as it is\n",
                    "YW_deleteSync", __LINE__, shm->name);
        close(shm->fd);
        YW_P_free(shm);
        if (!mark.empty())
            unlink(mark.c_str());
        return YW_SUCCESS;
    }
    YW_ret_t r = YW_P_deleteSharedMemory(shm); // unlinks the name and closes it
    if (r == YW_SUCCESS && !mark.empty())
        unlink(mark.c_str());
    return r;
}

// Deletes the slot's object by type; a slot without an object has nothing
// to delete. Resource lock held.
YW_ret_t yw_sync_deleteObject(YW_sync_t *s)
{
    YW_sync_obj_t &o = s->sync_obj_id;
    switch (s->cfg ? s->cfg->sync_type : YW_SYNC_TYPE_INVALID) {
    case YW_SYNC_TYPE_SEM:
        return o.sem ? YW_P_deleteSemaphore(o.sem) : YW_SUCCESS;
    case YW_SYNC_TYPE_MUTEX:
        return o.mutex ? YW_P_deleteMutex(o.mutex) : YW_SUCCESS;
    case YW_SYNC_TYPE_SHM:
        return o.shm ? yw_sync_deleteShm(o.shm) : YW_SUCCESS;
    default:
        return o.mutex ? YW_ERR_SYNC_TYPE : YW_SUCCESS;
    }
}

} // namespace

extern "C" {

YW_ret_t YW_sync_cfg_setAttribute(YW_sync_cfg_t *cfg, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (!key)
        return YW_SUCCESS;
    const char *v = value ? value : "";
    if (std::strcmp(key, "name") == 0) {
        cfg->name = const_cast<char *>(value);
    } else if (std::strcmp(key, "type") == 0) {
        cfg->sync_type = YW_SYNC_TYPE_INVALID;
        for (int t = YW_SYNC_TYPE_MUTEX; t < YW_SYNC_TYPE_MAX; ++t)
            if (std::strcmp(v, YW_g_sync_type_name[t]) == 0)
                cfg->sync_type = (YW_sync_type_t)t;
    } else if (std::strcmp(key, "count") == 0) {
        cfg->sem_count = std::atoi(v);
    } else if (std::strcmp(key, "addr") == 0) {
        cfg->shm_addr = reinterpret_cast<YW_addr_t>(std::strtol(v, nullptr, 16));
    } else if (std::strcmp(key, "size") == 0) {
        cfg->shm_size = std::strtol(v, nullptr, 10);
    } else if (std::strcmp(key, "attr") == 0) {
        int a = 0;
        if (std::strstr(v, "RW"))
            a |= YW_SHM_ATTR_RW;
        if (std::strstr(v, "RD"))
            a |= YW_SHM_ATTR_RD;
        if (std::strstr(v, "WR"))
            a |= YW_SHM_ATTR_WR;
        if (std::strstr(v, "EX"))
            a |= YW_SHM_ATTR_EX;
        cfg->shm_attr = a;
    } else if (std::strcmp(key, "options") == 0) {
        int o = std::strstr(v, "PRIO") ? YW_SEM_Q_PRIORITY : 0;
        if (std::strstr(v, "RECUR"))
            o &= ~YW_SEM_NO_RECURSE;
        else
            o |= YW_SEM_NO_RECURSE;
        if (std::strstr(v, "PSHAR"))
            o |= YW_SEM_PROCESS_SHARED;
        if (std::strstr(v, "SAFEDEL"))
            o |= YW_SEM_DELETE_SAFE;
        cfg->options = o;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_loadSyncConfig(YW_frw_cfg_element_t *base, YW_sync_cfg_t *cfg, YW_frw_cfg_element_t **cursor)
{
    if (!base || !cfg)
        return YW_ERR_NO_CFG;
    YW_ret_t r = YW_svc_cfg_loadEntry(base, cfg, cursor, YW_SYNC_CFG_TAG, YW_sync_cfg_setAttribute, nullptr);
    if (cfg->sync_type == YW_SYNC_TYPE_SHM)
        cfg->shm_mode = YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL;
    return r;
}

YW_ret_t YW_loadSyncServiceManageConfig(YW_frw_cfg_element_t *base, YW_sync_ssm_cfg_t *mcfg)
{
    if (!mcfg)
        return YW_ERR_ARG_NULL;
    YW_P_mutexGuard lk(yw_sync_lock());
    return YW_svc_cfg_loadTable(__func__, base, YW_g_sync_cfg, YW_SYNC_MAX, YW_SYNC_CFG_TAG, YW_loadSyncConfig);
}

int YW_sync_cfg_equal(const YW_sync_cfg_t *a, const YW_sync_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b)
        return 1;
    return a->name && b->name && std::strcmp(a->name, b->name) == 0;
}

YW_ret_t YW_createSync(YW_sync_cfg_t *cfg, YW_sync_id_t *id)
{
    if (!cfg)
        return YW_ERR_CFG_NULL;
    YW_P_mutexGuard lk(yw_sync_lock());
    YW_sync_t *s = nullptr;
    for (YW_sync_id_t i = 0; i < YW_SYNC_MAX; ++i) {
        if (YW_g_sync[i].cfg && YW_sync_cfg_equal(YW_g_sync[i].cfg, cfg))
            return YW_ERR_CFG_AGAIN;
        if (!s && !YW_g_sync[i].cfg)
            s = &YW_g_sync[i];
    }
    if (!s)
        return YW_ERR_NO_FREE_TSE;
    YW_sync_cfg_t *use = yw_sync_isStatic(cfg) ? cfg : yw_sync_cfgCopy(cfg);
    if (!use)
        return YW_ERR_NO_MEM;
    s->cfg = use;
    s->status.state = YW_SYNC_STATE_ASSIGNED;
    s->sync_obj_id = YW_sync_obj_t{};
    YW_ret_t r;
    switch (use->sync_type) {
    case YW_SYNC_TYPE_SEM:
        if (use->sem_count != 1) {
            YW_P_csem_arg_t a{use->options, use->sem_count};
            r = YW_P_createCountSemaphore(&a, &s->sync_obj_id.sem);
        } else {
            YW_P_bsem_arg_t a{use->options, YW_SEM_B_STATE_FULL};
            r = YW_P_createBinarySemaphore(&a, &s->sync_obj_id.sem);
        }
        break;
    case YW_SYNC_TYPE_SHM:
        r = yw_sync_createShm(use, &s->sync_obj_id.shm);
        break;
    case YW_SYNC_TYPE_MUTEX:
        r = YW_P_createMutex(use->options, &s->sync_obj_id.mutex);
        break;
    default:
        r = YW_ERR_SYNC_TYPE;
        break;
    }
    if (r != YW_SUCCESS)
        s->sync_obj_id = YW_sync_obj_t{};
    if (id)
        *id = s->sync_id;
    yw_count_inc(r == YW_SUCCESS ? YW_g_sync_ssm_ctx.status.nsyncs : YW_g_sync_ssm_ctx.status.nsyncCreateFail);
    return r;
}

YW_ret_t YW_deleteSync(YW_sync_id_t id)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    if (id >= YW_SYNC_MAX)
        return YW_FAIL;
    YW_sync_t *s = &YW_g_sync[id];
    YW_P_mutexGuard lk(yw_sync_lock());
    if (s->status.state != YW_SYNC_STATE_ASSIGNED)
        return YW_ERR_STATE;
    bool hadObject = s->sync_obj_id.mutex != nullptr;
    YW_ret_t r = yw_sync_deleteObject(s);
    if (r == YW_SUCCESS) {
        yw_sync_cfgFree(s->cfg);
        s->cfg = nullptr;
        s->status.state = 0;
        s->sync_obj_id = YW_sync_obj_t{};
        if (hadObject)
            YW_svc_countDec(YW_g_sync_ssm_ctx.status.nsyncs);
    }
    return r;
}

YW_ret_t YW_inqSync(YW_sync_id_t id, YW_sync_status_t *status)
{
    if (id >= YW_SYNC_MAX || !status)
        return YW_FAIL;
    YW_P_mutexGuard lk(yw_sync_lock());
    *status = YW_g_sync[id].status;
    return YW_SUCCESS;
}

YW_size_t YW_sync_toString(const YW_sync_t *s, char *bp, YW_size_t blen)
{
    if (!s || !bp || blen < 1)
        return 0;
    int n;
    if (s->cfg)
        n = std::snprintf(bp, (size_t)blen, "sync_id=%d \ncfg: name=%s sync_type=%d \nstatus: state=0x%x ",
                          (int)s->sync_id, s->cfg->name ? s->cfg->name : "NULL", (int)s->cfg->sync_type,
                          (unsigned)s->status.state);
    else
        n = std::snprintf(bp, (size_t)blen, "sync_id=%d \ncfg: null\nstatus: state=0x%x ", (int)s->sync_id,
                          (unsigned)s->status.state);
    if (n < 0)
        return 0;
    return n >= blen ? blen - 1 : n;
}

int YW_sync_showSyncs(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    YW_printf("\t*** sync object list ***\n");
    for (YW_sync_id_t i = 0; i < YW_SYNC_MAX; ++i) {
        char line[YW_SYNC_LINE_SZ];
        {
            YW_P_mutexGuard lk(yw_sync_lock());
            YW_sync_toString(&YW_g_sync[i], line, sizeof line);
        }
        YW_printf("  %s\n", line);
    }
    return 0;
}

} /* extern "C" */
