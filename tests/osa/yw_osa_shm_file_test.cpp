// Shared memory, files and directories of the OS layer.
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <csignal>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osa/yw_osa.h"
#include "../../src/osa/lnx/yw_osa_priv.h"

namespace {

std::string uniqueShmName(const char *tag)
{
    return "/yw_osa_" + std::string(tag) + "_" + std::to_string(getpid());
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/yw_osa_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::string cmd = path; // removed file by file by the tests; rmdir last
        rmdir(cmd.c_str());
    }
    std::string file(const char *name) const { return path + "/" + name; }
};

void writeFile(const std::string &p, const std::string &content)
{
    FILE *f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string readFile(const std::string &p)
{
    std::string s;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f)
        return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// ---- shared memory ------------------------------------------------------------

TEST(OsaShm, CreatedAreaIsSizedAndSharedBetweenTwoEntries)
{
    std::string name = uniqueShmName("a");
    YW_P_sharedmemory_arg_t arg{name.c_str(), YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, 8192, nullptr,
                                YW_SHM_ATTR_RW};
    YW_P_shm_t a = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&arg, &a), 0);
    EXPECT_STREQ(a->name, name.c_str());
    EXPECT_EQ(a->length, 8192);
    EXPECT_EQ(a->refCount, 0u);

    // Exclusive creation of the same name fails.
    YW_P_shm_t dup = nullptr;
    EXPECT_EQ(YW_P_createSharedMemory(&arg, &dup), YW_FAIL);

    YW_P_sharedMap_arg_t rw{YW_SHM_ATTR_RW};
    void *p1 = nullptr, *p2 = nullptr;
    ASSERT_EQ(YW_P_mapSharedMemory(a, &p1, &rw), 0);
    ASSERT_NE(p1, nullptr);
    // Mapping the same entry again gives the same address.
    ASSERT_EQ(YW_P_mapSharedMemory(a, &p2, &rw), 0);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(a->refCount, 1u);
    // The whole length is backed (a fresh object would fault past 0 bytes).
    memset(p1, 0x5a, 8192);

    // A second entry on the same name sees the bytes.
    YW_P_sharedmemory_arg_t arg2{name.c_str(), 0, 8192, nullptr, YW_SHM_ATTR_RW};
    YW_P_shm_t b = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&arg2, &b), 0);
    void *q = nullptr;
    ASSERT_EQ(YW_P_mapSharedMemory(b, &q, &rw), 0);
    EXPECT_NE(q, p1);
    EXPECT_EQ(static_cast<unsigned char *>(q)[8191], 0x5a);
    static_cast<unsigned char *>(q)[0] = 0x11;
    EXPECT_EQ(static_cast<unsigned char *>(p1)[0], 0x11);

    EXPECT_EQ(YW_P_unmapSharedMemory(b), 0);
    EXPECT_EQ(YW_P_unmapSharedMemory(a), 0);
    EXPECT_EQ(YW_P_unmapSharedMemory(a), YW_FAIL); // twice
    // Mapped again after an unmap.
    ASSERT_EQ(YW_P_mapSharedMemory(a, &p1, &rw), 0);
    EXPECT_EQ(static_cast<unsigned char *>(p1)[0], 0x11);
    EXPECT_EQ(YW_P_unmapSharedMemory(a), 0);

    EXPECT_EQ(YW_P_deleteSharedMemory(a), 0);
    // The name is gone already: the second entry is released all the same,
    // its descriptor with it.
    const int bfd = b->fd;
    EXPECT_EQ(YW_P_deleteSharedMemory(b), 0);
    EXPECT_EQ(fcntl(bfd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(OsaShm, ObjectSmallerThanTheEntryIsNotMapped)
{
    // A read-only creation does not size the object: mapping its 0 bytes as
    // 4096 would fault on the first read, so the mapping is refused.
    std::string name = uniqueShmName("s");
    YW_P_sharedmemory_arg_t rdArg{name.c_str(), YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, 4096, nullptr,
                                  YW_SHM_ATTR_RD};
    YW_P_shm_t r = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&rdArg, &r), 0);
    YW_P_sharedMap_arg_t rd{YW_SHM_ATTR_RD};
    void *p = nullptr;
    EXPECT_EQ(YW_P_mapSharedMemory(r, &p, &rd), YW_FAIL);
    EXPECT_EQ(r->refCount, 0u);

    // Once a writer has sized it to the full length, it maps and reads.
    YW_P_sharedmemory_arg_t rwArg{name.c_str(), 0, 4096, nullptr, YW_SHM_ATTR_RW};
    YW_P_shm_t w = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&rwArg, &w), 0);
    p = nullptr;
    ASSERT_EQ(YW_P_mapSharedMemory(r, &p, &rd), 0);
    EXPECT_EQ(static_cast<unsigned char *>(p)[4095], 0);
    EXPECT_EQ(YW_P_unmapSharedMemory(r), 0);

    // An entry longer than the object is refused too.
    YW_P_sharedmemory_arg_t longArg{name.c_str(), 0, 8192, nullptr, YW_SHM_ATTR_RD};
    YW_P_shm_t l = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&longArg, &l), 0);
    EXPECT_EQ(YW_P_mapSharedMemory(l, &p, &rd), YW_FAIL);

    EXPECT_EQ(YW_P_deleteSharedMemory(w), 0);
    EXPECT_EQ(YW_P_deleteSharedMemory(r), 0);
    EXPECT_EQ(YW_P_deleteSharedMemory(l), 0);
}

TEST(OsaShm, WriteOnlyAttributeOpensReadOnly)
{
    std::string name = uniqueShmName("w");
    YW_P_sharedmemory_arg_t rwArg{name.c_str(), YW_SHM_MODE_CREATE, 4096, nullptr, YW_SHM_ATTR_RW};
    YW_P_shm_t owner = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&rwArg, &owner), 0);
    YW_P_sharedmemory_arg_t wArg{name.c_str(), 0, 4096, nullptr, YW_SHM_ATTR_WR};
    YW_P_shm_t w = nullptr;
    ASSERT_EQ(YW_P_createSharedMemory(&wArg, &w), 0);
    EXPECT_EQ(fcntl(w->fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    // A writable shared mapping of a read-only descriptor is refused.
    YW_P_sharedMap_arg_t wr{YW_SHM_ATTR_WR};
    void *p = nullptr;
    EXPECT_EQ(YW_P_mapSharedMemory(w, &p, &wr), YW_FAIL);
    YW_P_sharedMap_arg_t rd{YW_SHM_ATTR_RD};
    EXPECT_EQ(YW_P_mapSharedMemory(w, &p, &rd), 0);
    EXPECT_EQ(YW_P_unmapSharedMemory(w), 0);
    EXPECT_EQ(YW_P_deleteSharedMemory(owner), 0);
    EXPECT_EQ(YW_P_deleteSharedMemory(w), 0);
}

TEST(OsaShm, AreaThatCannotBeSizedIsNotLeftBehind)
{
    // A file-size limit below the area's size makes the sizing fail.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = 4096;
    void (*oldXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    std::string name = uniqueShmName("f");
    YW_P_sharedmemory_arg_t arg{name.c_str(), YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, 65536, nullptr,
                                YW_SHM_ATTR_RW};
    YW_P_shm_t s = nullptr;
    YW_ret_t rc = YW_P_createSharedMemory(&arg, &s);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldXfsz);
    EXPECT_EQ(rc, YW_FAIL);
    EXPECT_EQ(s, nullptr);
    // The exclusive creation made the object; the failure removed it again.
    EXPECT_EQ(shm_unlink(name.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(OsaShm, NameThatDoesNotFitIsRefused)
{
    std::string longName = "/" + std::string(YW_P_SHM_NAME_LEN, 'x');
    YW_P_sharedmemory_arg_t arg{longName.c_str(), YW_SHM_MODE_CREATE, 4096, nullptr, YW_SHM_ATTR_RW};
    YW_P_shm_t s = nullptr;
    EXPECT_EQ(YW_P_createSharedMemory(&arg, &s), YW_FAIL);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(shm_unlink(longName.c_str()), -1); // nothing was created
    EXPECT_EQ(YW_P_createSharedMemory(nullptr, &s), YW_FAIL);
}

// ---- files ---------------------------------------------------------------------

TEST(OsaFile, CopyTruncatesTheDestinationAndReportsFailures)
{
    TempDir d;
    std::string src = d.file("src"), dst = d.file("dst");
    std::string big(10000, 'b');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)('a' + i % 26);
    writeFile(src, big);
    writeFile(dst, std::string(20000, 'z')); // longer than the source
    EXPECT_EQ(YW_P_copyFile(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(readFile(dst), big);

    writeFile(src, "short");
    EXPECT_EQ(YW_P_copyFile(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(readFile(dst), "short");

    EXPECT_EQ(YW_P_copyFile(d.file("missing").c_str(), dst.c_str()), YW_FAIL);
    EXPECT_EQ(YW_P_copyFile(src.c_str(), d.file("no/such/dir").c_str()), YW_FAIL);
    // Reading a directory fails: a read error is reported.
    EXPECT_EQ(YW_P_copyFile(d.path.c_str(), dst.c_str()), YW_FAIL);
    // A copy onto itself would destroy the source.
    EXPECT_EQ(YW_P_copyFile(src.c_str(), src.c_str()), YW_FAIL);
    EXPECT_EQ(readFile(src), "short");
    // A full device is a write error.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(YW_P_copyFile(src.c_str(), "/dev/full"), 1);
    }

    // No descriptor is left open by a copy.
    int before = open("/dev/null", O_RDONLY);
    close(before);
    for (int i = 0; i < 5; ++i)
        YW_P_copyFile(src.c_str(), dst.c_str());
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(before, after);

    unlink(src.c_str());
    unlink(dst.c_str());
}

// The time zone is set by replacing /etc/localtime, which is usually a link
// into the zone folder: writing through the link would overwrite that zone's
// own file. The replacement takes the name and leaves the link's target alone.
TEST(OsaFile, ReplaceTakesTheNameAndNeverWritesThroughALink)
{
    TempDir d;
    std::string zoneA = d.file("zoneA"), zoneB = d.file("zoneB"), local = d.file("localtime");
    writeFile(zoneA, "zone A");
    writeFile(zoneB, "zone B, longer");
    ASSERT_EQ(symlink(zoneA.c_str(), local.c_str()), 0);

    EXPECT_EQ(yw_osa::replaceFile(zoneB.c_str(), local.c_str(), 0644), 0);
    struct stat st;
    ASSERT_EQ(lstat(local.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(readFile(local), "zone B, longer");
    EXPECT_EQ(readFile(zoneA), "zone A");

    // The zone already in force (the link points at the source itself).
    unlink(local.c_str());
    ASSERT_EQ(symlink(zoneB.c_str(), local.c_str()), 0);
    EXPECT_EQ(yw_osa::replaceFile(zoneB.c_str(), local.c_str(), 0644), 0);
    EXPECT_EQ(readFile(local), "zone B, longer");
    EXPECT_EQ(readFile(zoneB), "zone B, longer");

    // Failures leave the destination as it was and no temporary file behind.
    EXPECT_EQ(yw_osa::replaceFile(d.file("missing").c_str(), local.c_str(), 0644), YW_FAIL);
    EXPECT_EQ(yw_osa::replaceFile(zoneA.c_str(), d.file("no/such/dir/x").c_str(), 0644), YW_FAIL);
    EXPECT_EQ(yw_osa::replaceFile(d.path.c_str(), local.c_str(), 0644), YW_FAIL); // read error
    std::string huge = d.path + "/" + std::string(YW_P_PATH_MAX, 'n');
    EXPECT_EQ(yw_osa::replaceFile(zoneA.c_str(), huge.c_str(), 0644), YW_FAIL);
    EXPECT_EQ(readFile(local), "zone B, longer");
    int entries = 0;
    if (DIR *dir = opendir(d.path.c_str())) {
        while (struct dirent *e = readdir(dir))
            entries += e->d_name[0] != '.';
        closedir(dir);
    }
    EXPECT_EQ(entries, 3); // zoneA, zoneB, localtime

    unlink(local.c_str());
    unlink(zoneA.c_str());
    unlink(zoneB.c_str());
}

TEST(OsaFile, OpenReadWriteSeekAndSize)
{
    TempDir d;
    std::string p = d.file("f");
    YW_P_file_t fd = -1;
    EXPECT_EQ(YW_P_openFile(p.c_str(), O_RDWR, 0, &fd), YW_FAIL);
    ASSERT_EQ(YW_P_openFile(p.c_str(), O_RDWR | O_CREAT, 0600, &fd), 0);
    EXPECT_EQ(YW_P_write(fd, "hello world", 11), 11);
    EXPECT_EQ(YW_P_getFileSize(p.c_str()), 11);
    EXPECT_EQ(YW_P_lseek(fd, 6, SEEK_SET), 6);
    char buf[16] = {};
    EXPECT_EQ(YW_P_read(fd, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "world");
    // Offsets past 4 GiB are not cut to 32 bits.
    const YW_pos_t far = 5LL * 1024 * 1024 * 1024;
    EXPECT_EQ(YW_P_lseek(fd, far, SEEK_SET), far);
    EXPECT_EQ(YW_P_closeFile(fd), 0);
    EXPECT_EQ(YW_P_openFile(p.c_str(), O_RDONLY, 0, nullptr), YW_FAIL);
    EXPECT_LT(YW_P_getFileSize(d.file("none").c_str()), 0);

    std::string q = d.file("g");
    EXPECT_EQ(YW_P_renameFile(p.c_str(), q.c_str()), 0);
    EXPECT_EQ(YW_P_findDirectory(d.path.c_str(), "g"), 0);
    EXPECT_EQ(YW_P_findDirectory(d.path.c_str(), "f"), YW_FAIL);
    EXPECT_EQ(YW_P_findDirectory(d.file("none").c_str(), "g"), YW_FAIL);
    EXPECT_EQ(YW_P_deleteFile(q.c_str()), 0);
    EXPECT_NE(YW_P_deleteFile(q.c_str()), 0);

    YW_P_file_t cfd = -1;
    ASSERT_EQ(YW_P_createFile(p.c_str(), 0600, &cfd), 0);
    EXPECT_EQ(YW_P_write(cfd, "x", 1), 1);
    YW_P_closeFile(cfd);
    EXPECT_EQ(YW_P_getFileSize(p.c_str()), 1);
    EXPECT_EQ(YW_P_deleteFile(p.c_str()), 0);
}

TEST(OsaFile, DirectoriesAndTheCurrentDirectory)
{
    TempDir d;
    std::string sub = d.file("sub");
    EXPECT_EQ(YW_P_creatDirectory(sub.c_str(), 0700), 0);
    EXPECT_NE(YW_P_creatDirectory(sub.c_str(), 0700), 0);
    EXPECT_EQ(YW_P_findDirectory(d.path.c_str(), "sub"), 0);

    std::string old = YW_P_getCurrentDirectory();
    // The process's own directory changes (no child shell).
    EXPECT_EQ(YW_P_setCurrentDirectory(sub.c_str()), 0);
    char real[4096];
    ASSERT_NE(realpath(sub.c_str(), real), nullptr);
    EXPECT_STREQ(YW_P_getCurrentDirectory(), real);
    EXPECT_EQ(YW_P_setCurrentDirectory(d.file("none").c_str()), YW_FAIL);
    EXPECT_STREQ(YW_P_getCurrentDirectory(), real);
    // A name with shell characters is just a (missing) directory name.
    EXPECT_EQ(YW_P_setCurrentDirectory("; touch /tmp/yw_osa_should_not_exist"), YW_FAIL);
    EXPECT_NE(access("/tmp/yw_osa_should_not_exist", F_OK), 0);
    EXPECT_EQ(YW_P_setCurrentDirectory(old.c_str()), 0);

    std::string renamed = d.file("sub2");
    EXPECT_EQ(YW_P_renameDirectory(sub.c_str(), renamed.c_str()), 0);
    EXPECT_EQ(YW_P_deleteDirectory(renamed.c_str()), 0);
    EXPECT_NE(YW_P_deleteDirectory(renamed.c_str()), 0);
}

TEST(OsaFile, ParsePathSplitsOnSlashesWithinBounds)
{
    char buffer[256];
    char *comps[YW_P_PATH_COMPS_MAX];
    ASSERT_EQ(YW_P_parsePath("/usr//lib/", buffer, sizeof(buffer), comps), 0);
    EXPECT_STREQ(comps[0], "usr");
    EXPECT_STREQ(comps[1], "lib");
    EXPECT_EQ(comps[2], nullptr);

    // In place.
    char inplace[] = "a/b/c";
    ASSERT_EQ(YW_P_parsePath(inplace, inplace, sizeof(inplace), comps), 0);
    EXPECT_STREQ(comps[2], "c");

    // A path that does not fit the buffer is refused, not copied.
    char small[8];
    memset(small, 0x7f, sizeof(small));
    EXPECT_EQ(YW_P_parsePath("/abcdefgh", small, sizeof(small), comps), YW_FAIL);
    EXPECT_EQ(small[0], 0x7f);

    // 64 components fit exactly; 65 do not.
    std::string p64, p65;
    for (int i = 0; i < 64; ++i)
        p64 += "/x";
    p65 = p64 + "/y";
    char big[512];
    EXPECT_EQ(YW_P_parsePath(p64.c_str(), big, sizeof(big), comps), 0);
    EXPECT_STREQ(comps[63], "x");
    EXPECT_EQ(YW_P_parsePath(p65.c_str(), big, sizeof(big), comps), YW_FAIL);

    EXPECT_EQ(YW_P_parsePath(nullptr, buffer, sizeof(buffer), comps), YW_FAIL);
    EXPECT_EQ(YW_P_parsePath("/a", nullptr, 10, comps), YW_FAIL);
    EXPECT_EQ(YW_P_parsePath("/a", buffer, sizeof(buffer), nullptr), YW_FAIL);
}

} // namespace
