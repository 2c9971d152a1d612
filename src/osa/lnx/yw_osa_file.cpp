/*
 * Files and directories.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "yw_osa_priv.h"

YW_ret_t YW_P_openFile(const char *name, int flags, int mode, YW_P_file_t *fd)
{
    if (!fd || !name)
        return YW_FAIL;
    int f = (flags & O_CREAT) ? open(name, flags, (mode_t)mode) : open(name, flags);
    if (f < 0)
        return YW_FAIL;
    *fd = f;
    return YW_SUCCESS;
}

YW_ret_t YW_P_closeFile(YW_P_file_t fd)
{
    return yw_osa::ret(close(fd));
}

YW_ret_t YW_P_createFile(const char *name, int mode, YW_P_file_t *fd)
{
    if (!name)
        return YW_FAIL;
    int f = creat(name, (mode_t)mode);
    if (f < 0)
        return yw_osa::ret(f);
    if (fd)
        *fd = f;
    else
        close(f);
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteFile(const char *name)
{
    if (!name)
        return YW_FAIL;
    return yw_osa::ret(unlink(name));
}

namespace {

/* Writes all of buf; false on a write error. */
bool writeAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        buf += n;
        len -= (size_t)n;
    }
    return true;
}

} // namespace

namespace {

/* Copies src to its end into dst: 0, -1 on a read error, 1 on a write error. */
YW_ret_t copyData(int src, int dst)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(src, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return YW_FAIL;
        }
        if (n == 0)
            return YW_SUCCESS;
        if (!writeAll(dst, buf, (size_t)n))
            return yw_osa::ret(1);
    }
}

} // namespace

YW_ret_t YW_P_copyFile(const char *in, const char *out)
{
    if (!in || !out)
        return YW_FAIL;
    int src = open(in, O_RDONLY | O_CLOEXEC);
    if (src < 0)
        return YW_FAIL;
    int dst = open(out, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (dst < 0) {
        close(src);
        return YW_FAIL;
    }
    /* Copying a file onto itself would truncate the source first. */
    struct stat ss, ds;
    if (fstat(src, &ss) != 0 || fstat(dst, &ds) != 0 ||
        (ss.st_dev == ds.st_dev && ss.st_ino == ds.st_ino) ||
        (S_ISREG(ds.st_mode) && ftruncate(dst, 0) != 0)) {
        close(src);
        close(dst);
        return YW_FAIL;
    }
    YW_ret_t result = copyData(src, dst);
    close(src);
    if (close(dst) != 0 && result == YW_SUCCESS)
        result = yw_osa::ret(1);
    return result;
}

YW_ret_t yw_osa::replaceFile(const char *in, const char *out, int mode)
{
    if (!in || !out)
        return YW_FAIL;
    char tmp[YW_P_PATH_MAX];
    int len = snprintf(tmp, sizeof(tmp), "%s.XXXXXX", out);
    if (len < 0 || (size_t)len >= sizeof(tmp))
        return YW_FAIL;
    int src = open(in, O_RDONLY | O_CLOEXEC);
    if (src < 0)
        return YW_FAIL;
    int dst = mkostemp(tmp, O_CLOEXEC);
    if (dst < 0) {
        close(src);
        return YW_FAIL;
    }
    YW_ret_t result = copyData(src, dst);
    close(src);
    if (result == YW_SUCCESS && (fchmod(dst, (mode_t)mode) != 0 || fsync(dst) != 0))
        result = yw_osa::ret(1);
    if (close(dst) != 0 && result == YW_SUCCESS)
        result = yw_osa::ret(1);
    /* The new content takes the name in one step; a symbolic link at `out`
     * is replaced, never written through. */
    if (result == YW_SUCCESS && rename(tmp, out) != 0)
        result = yw_osa::ret(1);
    if (result != YW_SUCCESS)
        unlink(tmp);
    return result;
}

YW_ret_t YW_P_renameFile(const char *oldName, const char *newName)
{
    if (!oldName || !newName)
        return YW_FAIL;
    return yw_osa::ret(rename(oldName, newName));
}

YW_ret_t YW_P_renameDirectory(const char *oldName, const char *newName)
{
    return YW_P_renameFile(oldName, newName);
}

YW_size_t YW_P_getFileSize(const char *name)
{
    if (!name)
        return -1;
    struct stat st;
    int rc = stat(name, &st);
    if (rc < 0)
        return rc;
    return (YW_size_t)st.st_size;
}

YW_size_t YW_P_read(YW_P_file_t fd, void *buf, YW_size_t len)
{
    if (!buf || len < 0)
        return -1;
    ssize_t n;
    do {
        n = read(fd, buf, (size_t)len);
    } while (n < 0 && errno == EINTR);
    return n;
}

YW_size_t YW_P_write(YW_P_file_t fd, const void *buf, YW_size_t len)
{
    if (!buf || len < 0)
        return -1;
    ssize_t n;
    do {
        n = write(fd, buf, (size_t)len);
    } while (n < 0 && errno == EINTR);
    return n;
}

YW_pos_t YW_P_lseek(YW_P_file_t fd, YW_pos_t pos, int whence)
{
    return (YW_pos_t)lseek(fd, (off_t)pos, whence);
}

YW_ret_t YW_P_creatDirectory(const char *path, int mode)
{
    if (!path)
        return YW_FAIL;
    return yw_osa::ret(mkdir(path, (mode_t)mode));
}

YW_ret_t YW_P_deleteDirectory(const char *path)
{
    if (!path)
        return YW_FAIL;
    return yw_osa::ret(rmdir(path));
}

YW_ret_t YW_P_findDirectory(const char *dir, const char *name)
{
    if (!dir || !name)
        return YW_FAIL;
    DIR *d = opendir(dir);
    if (!d)
        return YW_FAIL;
    YW_ret_t rc = YW_FAIL;
    while (struct dirent *ent = readdir(d)) {
        if (strcmp(ent->d_name, name) == 0) {
            rc = YW_SUCCESS;
            break;
        }
    }
    closedir(d);
    return rc;
}

const char *YW_P_getCurrentDirectory(void)
{
    /* Per thread, so concurrent callers do not overwrite each other. */
    thread_local char buf[YW_P_PATH_MAX];
    return getcwd(buf, sizeof(buf));
}

YW_ret_t YW_P_parsePath(const char *path, char *buffer, YW_size_t bufLen, char **comps)
{
    if (!path || !buffer || !comps || bufLen <= 0)
        return YW_FAIL;
    if (path != buffer) {
        size_t len = strnlen(path, (size_t)bufLen);
        if (len >= (size_t)bufLen)
            return YW_FAIL; /* does not fit the buffer */
        memmove(buffer, path, len + 1);
    } else if (strnlen(buffer, (size_t)bufLen) >= (size_t)bufLen) {
        return YW_FAIL;
    }
    char *save = nullptr;
    int n = 0;
    for (char *tok = strtok_r(buffer, "/", &save); tok; tok = strtok_r(nullptr, "/", &save)) {
        if (n == YW_P_PATH_COMPS_MAX)
            return YW_FAIL;
        comps[n++] = tok;
    }
    if (n < YW_P_PATH_COMPS_MAX)
        comps[n] = nullptr;
    return YW_SUCCESS;
}

YW_ret_t YW_P_setCurrentDirectory(const char *path)
{
    if (!path)
        return YW_FAIL;
    return chdir(path) == 0 ? YW_SUCCESS : YW_FAIL;
}
