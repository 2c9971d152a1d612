/*
 * POSIX shared memory.
 */
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "yw_osa_priv.h"

YW_ret_t YW_P_createSharedMemory(YW_P_sharedmemory_arg_t *arg, YW_P_shm_t *shm)
{
    if (!arg || !arg->name || !shm)
        return YW_FAIL;
    size_t nameLen = strnlen(arg->name, YW_P_SHM_NAME_LEN);
    if (nameLen == 0 || nameLen >= YW_P_SHM_NAME_LEN)
        return YW_FAIL; /* does not fit the entry's name */

    auto *e = static_cast<YW_P_shm_entry_t *>(YW_P_malloc(sizeof(YW_P_shm_entry_t)));
    if (!e)
        return YW_FAIL;
    memset(e, 0, sizeof(*e));

    int flags = 0;
    if (arg->mode & YW_SHM_MODE_CREATE)
        flags |= O_CREAT;
    if (arg->mode & YW_SHM_MODE_EXCL)
        flags |= O_EXCL;
    const bool rw = (arg->attr & YW_SHM_ATTR_RW) == YW_SHM_ATTR_RW;
    flags |= rw ? O_RDWR : O_RDONLY;

    int fd = shm_open(arg->name, flags, 0777);
    if (fd < 0) {
        YW_P_free(e);
        return YW_FAIL;
    }
    /* A fresh object has size 0: grow it to the requested size so that a
     * mapping of that length is backed (else access faults with SIGBUS). */
    if (rw && arg->size > 0) {
        struct stat st;
        if (fstat(fd, &st) != 0 ||
            (st.st_size < (off_t)arg->size && ftruncate(fd, (off_t)arg->size) != 0)) {
            close(fd);
            /* An object this call made (exclusive creation) is not left
             * behind unusable. */
            if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
                shm_unlink(arg->name);
            YW_P_free(e);
            return YW_FAIL;
        }
    }
    memcpy(e->name, arg->name, nameLen);
    e->name[nameLen] = '\0';
    e->fd = fd;
    e->length = arg->size;
    e->phyAddr = arg->physAddress;
    e->virAddr = nullptr;
    e->refCount = 0;
    *shm = e;
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteSharedMemory(YW_P_shm_t shm)
{
    if (!shm)
        return YW_FAIL;
    int rc = shm_unlink(shm->name);
    /* A name already removed (by another entry or process on the same
     * object) leaves nothing to unlink: the entry is released all the same,
     * else its descriptor could never be given back. */
    if (rc != 0 && errno == ENOENT)
        rc = 0;
    if (rc == 0) {
        /* A live mapping stays valid for its users; only the name and the
         * descriptor go. */
        close(shm->fd);
        YW_P_free(shm);
    }
    return yw_osa::ret(rc);
}

YW_ret_t YW_P_mapSharedMemory(YW_P_shm_t shm, void **addr, YW_P_sharedMap_arg_t *arg)
{
    if (!shm)
        return YW_FAIL;
    if (shm->refCount > 0) {
        if (addr)
            *addr = shm->virAddr;
        return YW_SUCCESS;
    }
    if (addr)
        shm->phyAddr = *addr;
    YW_uint32_t attr = arg ? arg->attr : 0;
    int prot = PROT_NONE;
    if (attr & YW_SHM_ATTR_RD)
        prot |= PROT_READ;
    if (attr & YW_SHM_ATTR_WR)
        prot |= PROT_WRITE;
    if (attr & YW_SHM_ATTR_EX)
        prot |= PROT_EXEC;
    if (shm->length <= 0)
        return YW_FAIL;
    /* Pages past the end of the object fault (SIGBUS) on their first access:
     * an object smaller than the entry's length (not sized yet by its
     * creator, or made smaller) is not mapped. */
    struct stat st;
    if (fstat(shm->fd, &st) != 0 || st.st_size < (off_t)shm->length)
        return YW_FAIL;
    void *p = mmap(shm->phyAddr, (size_t)shm->length, prot, MAP_SHARED, shm->fd, 0);
    if (p == MAP_FAILED)
        return YW_FAIL;
    shm->virAddr = p;
    shm->refCount = 1;
    if (addr)
        *addr = p;
    return YW_SUCCESS;
}

YW_ret_t YW_P_unmapSharedMemory(YW_P_shm_t shm)
{
    if (!shm || shm->refCount == 0)
        return YW_FAIL;
    int rc = munmap(shm->virAddr, (size_t)shm->length);
    if (rc != 0)
        return yw_osa::ret(rc);
    /* The length is kept so the entry can be mapped again. */
    shm->virAddr = nullptr;
    shm->refCount--;
    return YW_SUCCESS;
}
