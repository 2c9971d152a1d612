// Resource and module services, and the result codes and configuration
// words the three services share the tables of.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "yw_svc_test_util.h"

using namespace yw_svc_test;

TEST(SyncConfig, OptionAndAttributeWords)
{
    struct Row {
        const char *key, *value;
        int YW_sync_cfg_t::*field;
        int want;
    } rows[] = {
        {"options", "PRIO PSHAR", &YW_sync_cfg_t::options, 0x10401},
        {"options", "RECUR", &YW_sync_cfg_t::options, 0},
        {"options", "PRIO RECUR SAFEDEL", &YW_sync_cfg_t::options, 0x5},
        {"options", "", &YW_sync_cfg_t::options, 0x400},
        {"attr", "RW EX", &YW_sync_cfg_t::shm_attr, 0x70},
        {"attr", "RD", &YW_sync_cfg_t::shm_attr, 0x10},
        {"attr", "WR", &YW_sync_cfg_t::shm_attr, 0x20},
        {"count", "4", &YW_sync_cfg_t::sem_count, 4},
    };
    for (const Row &r : rows) {
        YW_sync_cfg_t c{};
        ASSERT_EQ(YW_sync_cfg_setAttribute(&c, r.key, r.value), 0);
        EXPECT_EQ(c.*r.field, r.want) << r.key << "=" << r.value;
    }
    struct TypeRow {
        const char *word;
        YW_sync_type_t type;
    } types[] = {{"mutex", YW_SYNC_TYPE_MUTEX},
                 {"semaphore", YW_SYNC_TYPE_SEM},
                 {"sharedmemory", YW_SYNC_TYPE_SHM},
                 {"Mutex", YW_SYNC_TYPE_INVALID},
                 {"mutexes", YW_SYNC_TYPE_INVALID}};
    for (const TypeRow &t : types) {
        YW_sync_cfg_t c{};
        YW_sync_cfg_setAttribute(&c, "type", t.word);
        EXPECT_EQ(c.sync_type, t.type) << t.word;
    }
    EXPECT_EQ(YW_sync_cfg_setAttribute(nullptr, "type", "mutex"), YW_FAIL);
}

TEST(SvcConfig, LoadersReadTheirSectionsAndStopAtTheirTableSize)
{
    setUp();
    std::string xml = "<c><fw><timerConf>";
    for (int i = 0; i < YW_TIMER_MAX + 1; ++i)
        xml += "<timerDef name=\"tm" + std::to_string(i) + "\" source=\"SYS\" repeat=\"-1\" interval=\"5\"/>";
    xml += "</timerConf><resourceConf><resourceDef name=\"/r\" type=\"sharedmemory\" size=\"64\" addr=\"10\"/>"
           "</resourceConf><dymConf><dymDef folder=\"a\" filename=\"1.so\"/><dymDef folder=\"b\" "
           "filename=\"2.so\"/><dymDef folder=\"c\" filename=\"3.so\"/></dymConf></fw></c>";
    YW_frw_cfg_element_t *base = loadXml(xml);
    ASSERT_NE(base, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadSections(base), (std::array<YW_ret_t, 3>{}));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("only 128 timerDef entries are read, the rest are ignored\n"), std::string::npos) << out;
    EXPECT_NE(out.find("only 2 dymDef entries are read, the rest are ignored\n"), std::string::npos) << out;
    EXPECT_STREQ(YW_g_timer_cfg[127].name, "tm127");
    EXPECT_EQ(YW_g_timer_cfg[127].interval, 5u);
    EXPECT_EQ(YW_g_timer_cfg[0].repeat, -1);
    EXPECT_STREQ(YW_g_dym_cfg[1].filename, "2.so");
    EXPECT_EQ(YW_g_sync_cfg[0].shm_mode, YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL);
    EXPECT_EQ(YW_g_sync_cfg[0].shm_size, 64);
    EXPECT_EQ(YW_g_sync_cfg[0].shm_addr, reinterpret_cast<YW_addr_t>(0x10));
    EXPECT_EQ(YW_g_sync_cfg[1].name, nullptr);
    EXPECT_EQ(YW_loadDyModuleServiceManageConfig(base, nullptr), YW_ERR_ARG_NULL);
    for (auto &c : YW_g_timer_cfg)
        c = YW_timer_cfg_t{};
    for (auto &c : YW_g_dym_cfg)
        c = YW_dym_cfg_t{};
    YW_g_sync_cfg[0] = YW_sync_cfg_t{};
}

TEST(SvcResults, ResultCodesOfTheServices)
{
    setUp();
    YW_timer_cfg_t tc{};
    tc.name = const_cast<char *>("t_codes");
    tc.interval = 10000000000ULL;
    YW_timer_id_t tid;
    ASSERT_EQ(YW_createTimer(&tc, &tid), 0);
    YW_dym_cfg_t d1{const_cast<char *>("a"), const_cast<char *>("x.so")};
    YW_dym_cfg_t d2{const_cast<char *>("b"), const_cast<char *>("x.so")};
    YW_dym_cfg_t d3{const_cast<char *>("c"), const_cast<char *>("x.so")};
    YW_dym_id_t did;
    ASSERT_EQ(YW_createDyModule(&d1, &did), 0);
    ASSERT_EQ(YW_createDyModule(&d2, &did), 0);
    YW_sync_cfg_t bad{};
    bad.name = const_cast<char *>("t_badtype");
    bad.sync_type = YW_SYNC_TYPE_INVALID;
    std::string tooLong = "/" + std::string(70, 'n');
    YW_sync_cfg_t longShm{};
    longShm.name = tooLong.data();
    longShm.sync_type = YW_SYNC_TYPE_SHM;
    longShm.shm_mode = 3;
    longShm.shm_attr = YW_SHM_ATTR_RW;
    std::string longFolder(600, 'f');
    YW_dym_cfg_t longPath{longFolder.data(), const_cast<char *>("x.so")};
    YW_sync_id_t sid;

    struct Row {
        const char *what;
        std::function<YW_ret_t()> call;
        YW_ret_t want;
    } rows[] = {
        {"timer created twice", [&] { return YW_createTimer(&tc, &tid); }, YW_ERR_CFG_AGAIN},
        {"third module", [&] { return YW_createDyModule(&d3, &did); }, YW_ERR_NO_FREE_TSE},
        {"stop a timer not started", [&] { return YW_stopTimer(tid); }, YW_ERR_AGAIN},
        {"start timer 200", [] { return YW_startTimer(200); }, YW_ERR_ENTITY_NULL},
        {"load module 5", [] { return YW_loadLibrary(5); }, YW_ERR_DYM_NULL},
        {"load a free module slot", [] { return YW_deleteDyModule(1) == 0 ? YW_loadLibrary(1) : YW_FAIL; },
         YW_ERR_ENTITY_NULL},
        {"start it", [&] { return YW_startTimer(tid); }, YW_SUCCESS},
        {"delete a started timer", [&] { return YW_deleteTimer(tid); }, YW_ERR_STATE},
        {"delete a free resource slot", [] { return YW_deleteSync(YW_SYNC_MAX - 1); }, YW_ERR_STATE},
        {"delete resource 128", [] { return YW_deleteSync(YW_SYNC_MAX); }, YW_FAIL},
        {"delete timer 200", [] { return YW_deleteTimer(200); }, YW_SUCCESS},
        {"resource of no type", [&] { return YW_createSync(&bad, &sid); }, YW_ERR_SYNC_TYPE},
        {"its slot frees", [&] { return YW_deleteSync(sid); }, YW_SUCCESS},
        {"shared-memory name too long", [&] { return YW_createSync(&longShm, &sid); }, YW_FAIL},
        {"its slot frees", [&] { return YW_deleteSync(sid); }, YW_SUCCESS},
        {"module path too long", [&] {
             YW_dym_id_t l = 0;
             YW_createDyModule(&longPath, &l);
             return YW_loadLibrary(l);
         }, YW_FAIL},
        {"library that does not load", [] { return YW_loadLibrary(0); }, YW_FAIL},
        {"symbol of a module not loaded", [] { void *a; return YW_findSymbol(0, "hello", &a); }, YW_ERR_DYM_STATE},
        {"unload a module not loaded", [] { return YW_unloadLibrary(0); }, YW_ERR_DYM_STATE},
        {"timer stops", [&] { return YW_stopTimer(tid); }, YW_SUCCESS},
        {"and goes", [&] { return YW_deleteTimer(tid); }, YW_SUCCESS},
    };
    testing::internal::CaptureStdout();
    for (auto &r : rows)
        EXPECT_EQ(r.call(), r.want) << r.what;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("path of module 1 does not fit 512 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("shared memory name does not fit 63 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("cannot load a/x.so: a/x.so: cannot open shared object file"), std::string::npos) << out;
    YW_deleteDyModule(0);
    YW_deleteDyModule(1);
}

namespace {

// A node that makes the shared-memory resource, writes into it and is
// killed: its object stays behind with its marks.
bool killedNodeMadeShm(YW_sync_cfg_t cfg)
{
    pid_t pid = fork();
    if (pid == 0) {
        YW_sync_id_t id;
        if (YW_createSync(&cfg, &id) != 0 || pwrite(YW_g_sync[id].sync_obj_id.shm->fd, "left", 4, 0) != 4)
            _exit(1);
        raise(SIGKILL);
    }
    int st = 0;
    return pid > 0 && waitpid(pid, &st, 0) == pid && WIFSIGNALED(st);
}

} // namespace

TEST(SyncResources, OneOfEachKindAndAStaleSharedMemoryObject)
{
    setUp();
    const std::string name = shmName("stale");
    shm_unlink(name.c_str());
    YW_sync_cfg_t cfgs[4]{};
    const char *names[] = {"t_mutex", "t_bsem", "t_csem", name.c_str()};
    YW_sync_type_t types[] = {YW_SYNC_TYPE_MUTEX, YW_SYNC_TYPE_SEM, YW_SYNC_TYPE_SEM, YW_SYNC_TYPE_SHM};
    for (int i = 0; i < 4; ++i) {
        cfgs[i].name = const_cast<char *>(names[i]);
        cfgs[i].sync_type = types[i];
    }
    cfgs[1].sem_count = 1;
    cfgs[2].sem_count = 4;
    cfgs[3].shm_size = 8192;
    cfgs[3].shm_mode = YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL;
    cfgs[3].shm_attr = YW_SHM_ATTR_RW;
    // A node killed while it held the object: made, written, killed.
    ASSERT_TRUE(killedNodeMadeShm(cfgs[3]));
    YW_sync_id_t ids[4];
    testing::internal::CaptureStdout();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(YW_createSync(&cfgs[i], &ids[i]), 0) << names[i];
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("shared memory " + name + " was left by an earlier run: removed and created again\n"),
              std::string::npos)
        << out;
    // The binary semaphore starts full, the counting one at 4.
    int v = -1;
    sem_getvalue(YW_g_sync[ids[1]].sync_obj_id.sem, &v);
    EXPECT_EQ(v, 1);
    sem_getvalue(YW_g_sync[ids[2]].sync_obj_id.sem, &v);
    EXPECT_EQ(v, 4);
    // The new object has its size before anything maps it, and is new.
    struct stat sb {};
    ASSERT_EQ(fstat(YW_g_sync[ids[3]].sync_obj_id.shm->fd, &sb), 0);
    EXPECT_EQ(sb.st_size, 8192);
    void *addr = nullptr;
    YW_P_sharedMap_arg_t m{YW_SHM_ATTR_RW};
    ASSERT_EQ(YW_P_mapSharedMemory(YW_g_sync[ids[3]].sync_obj_id.shm, &addr, &m), 0);
    EXPECT_EQ(static_cast<char *>(addr)[0], 0);
    static_cast<char *>(addr)[8191] = 1;

    EXPECT_EQ(access(("/dev/shm/.yw_sync_mark." + std::to_string(sb.st_ino)).c_str(), F_OK), 0);
    // Deleting unmaps, closes and unlinks.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(YW_deleteSync(ids[i]), 0) << names[i];
    EXPECT_LT(shm_open(name.c_str(), O_RDONLY, 0), 0);

    // Its mark went with it.
    EXPECT_NE(access(("/dev/shm/.yw_sync_mark." + std::to_string(sb.st_ino)).c_str(), F_OK), 0);
}

// An object the resource did not make is never wiped: one of another program
// (whatever the configured mode), and one a running node holds, are refused
// with a line naming them and keep their contents.
TEST(SyncResources, ForeignOrHeldSharedMemoryIsRefusedAndKeptByteForByte)
{
    setUp();
    const std::string name = shmName("foreign");
    YW_sync_cfg_t cfg{};
    cfg.name = const_cast<char *>(name.c_str());
    cfg.sync_type = YW_SYNC_TYPE_SHM;
    cfg.shm_size = 8192;
    cfg.shm_attr = YW_SHM_ATTR_RW;
    std::string bytes(3000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (char)(i * 7 + 1);
    // mode, the object is another program's (else a running node's)
    const struct {
        int mode;
        bool foreign;
    } rows[] = {{YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, true}, {YW_SHM_MODE_CREATE, true}, {0, true},
                {YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << row.mode << (row.foreign ? " foreign" : " held"));
        shm_unlink(name.c_str());
        cfg.shm_mode = row.mode;
        int fd = -1;
        pid_t holder = -1;
        int toHolder[2] = {-1, -1};
        if (row.foreign) {
            fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        } else {
            // A running node made it and writes into it.
            ASSERT_EQ(pipe(toHolder), 0);
            int ready[2];
            ASSERT_EQ(pipe(ready), 0);
            holder = fork();
            if (holder == 0) {
                close(toHolder[1]); // it ends when the test closes its end
                close(ready[0]);
                YW_sync_id_t id;
                char c = 0;
                if (YW_createSync(&cfg, &id) != 0 ||
                    pwrite(YW_g_sync[id].sync_obj_id.shm->fd, bytes.data(), bytes.size(), 0) != (ssize_t)bytes.size())
                    _exit(1);
                if (write(ready[1], "r", 1) != 1 || read(toHolder[0], &c, 1) < 0)
                    _exit(1);
                _exit(0);
            }
            char c = 0;
            ASSERT_EQ(read(ready[0], &c, 1), 1);
            close(ready[0]);
            close(ready[1]);
            fd = shm_open(name.c_str(), O_RDONLY, 0);
            ASSERT_GE(fd, 0);
        }
        struct stat before {};
        ASSERT_EQ(fstat(fd, &before), 0);
        YW_sync_id_t sid = YW_SYNC_MAX;
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_createSync(&cfg, &sid), YW_FAIL);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("shared memory " + name +
                           (row.foreign ? " exists and was not made by this system: left as it is\n"
                                        : " exists and is held by a running node: left as it is\n")),
                  std::string::npos)
            << out;
        EXPECT_EQ(YW_deleteSync(sid), 0); // the slot without an object goes
        // The same object under the name, with the same size and bytes.
        int again = shm_open(name.c_str(), O_RDONLY, 0);
        ASSERT_GE(again, 0);
        struct stat after {};
        ASSERT_EQ(fstat(again, &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        std::string now(bytes.size(), '\0');
        EXPECT_EQ(pread(again, now.data(), now.size(), 0), (ssize_t)now.size());
        EXPECT_EQ(now, bytes);
        close(again);
        close(fd);
        if (holder > 0) {
            close(toHolder[1]);
            close(toHolder[0]);
            int ws = 0;
            EXPECT_EQ(waitpid(holder, &ws, 0), holder);
            EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
        }
        shm_unlink(name.c_str());
    }
}

// Two nodes started at the same moment with one shared-memory resource name,
// on a free name and on one left by a killed run: one gets the object under
// the name, the other is refused, and neither removes the other's.
TEST(SyncResources, TwoNodesCreatingOneSharedMemoryNameAtOnce)
{
    setUp();
    const std::string name = shmName("race");
    shm_unlink(name.c_str());
    struct Shared {
        int ready, go, done, release;
        int result[2], fdLeak[2];
        ino_t ino[2];
    };
    auto *sh = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(sh, MAP_FAILED);
    auto ld = [](int &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); };
    auto spin = [&](int &v, int want) {
        auto end = std::chrono::steady_clock::now() + 5s;
        while (ld(v) < want && std::chrono::steady_clock::now() < end) {
        }
        return ld(v) >= want;
    };
    auto lowestFreeFd = [] {
        int f = dup(0);
        close(f);
        return f;
    };
    YW_sync_cfg_t cfg{};
    cfg.name = const_cast<char *>(name.c_str());
    cfg.sync_type = YW_SYNC_TYPE_SHM;
    cfg.shm_size = 4096;
    cfg.shm_mode = YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL;
    cfg.shm_attr = YW_SHM_ATTR_RW;

    const auto end = std::chrono::steady_clock::now() + 2s;
    int rounds = 0;
    std::vector<pid_t> pids;
    for (; rounds < 200 && std::chrono::steady_clock::now() < end; ++rounds) {
        if (rounds % 2) { // a killed run's object: made and marked, no longer held
            ASSERT_TRUE(killedNodeMadeShm(cfg));
        }
        *sh = Shared{};
        for (int k = 0; k < 2; ++k) {
            pid_t p = fork();
            if (p == 0) {
                int fd0 = lowestFreeFd();
                __atomic_add_fetch(&sh->ready, 1, __ATOMIC_ACQ_REL);
                spin(sh->go, 1);
                YW_sync_id_t id;
                struct stat sb {};
                sh->result[k] = YW_createSync(&cfg, &id);
                if (sh->result[k] == 0 && fstat(YW_g_sync[id].sync_obj_id.shm->fd, &sb) == 0)
                    sh->ino[k] = sb.st_ino;
                __atomic_add_fetch(&sh->done, 1, __ATOMIC_ACQ_REL);
                spin(sh->release, 1);
                YW_deleteSync(id);
                sh->fdLeak[k] = lowestFreeFd() != fd0;
                _exit(0);
            }
            ASSERT_GT(p, 0);
            pids.push_back(p);
        }
        ASSERT_TRUE(spin(sh->ready, 2));
        __atomic_store_n(&sh->go, 1, __ATOMIC_RELEASE);
        ASSERT_TRUE(spin(sh->done, 2));
        // While both run, the name holds the object of the one that got it.
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        struct stat sb {};
        EXPECT_TRUE(fd >= 0 && fstat(fd, &sb) == 0);
        close(fd);
        __atomic_store_n(&sh->release, 1, __ATOMIC_RELEASE);
        for (int k = 1; k <= 2; ++k) {
            int ws = 0;
            EXPECT_TRUE(waitpid(pids[pids.size() - k], &ws, 0) > 0 && WIFEXITED(ws));
        }
        const int won = sh->result[0] == 0 ? 0 : 1;
        ASSERT_EQ(sh->result[won], 0) << "round " << rounds;
        ASSERT_EQ(sh->result[1 - won], YW_FAIL) << "round " << rounds << ": two objects " << sh->ino[0] << " "
                                                << sh->ino[1];
        EXPECT_EQ(sb.st_ino, sh->ino[won]) << "round " << rounds;
        EXPECT_FALSE(sh->fdLeak[0] || sh->fdLeak[1]) << "round " << rounds;
        // Deleting the resource removed the object; nothing else is left.
        ASSERT_LT(shm_open(name.c_str(), O_RDONLY, 0), 0) << "round " << rounds;
    }
    EXPECT_GE(rounds, 20);
    for (const auto &e : std::filesystem::directory_iterator("/dev/shm"))
        for (pid_t p : pids)
            EXPECT_EQ(e.path().filename().string().find("." + std::to_string(p) + "."), std::string::npos) << e.path();
    munmap(sh, sizeof(Shared));
}

// Deleting a shared-memory resource removes the node's own object only: an
// object that replaced it under the name, or a name gone, is left as it is
// with a line, and the slot is freed either way.
TEST(SyncResources, DeleteRemovesOnlyTheNodesOwnObject)
{
    setUp();
    const std::string name = shmName("replaced");
    YW_sync_cfg_t cfg{};
    cfg.name = const_cast<char *>(name.c_str());
    cfg.sync_type = YW_SYNC_TYPE_SHM;
    cfg.shm_size = 4096;
    cfg.shm_attr = YW_SHM_ATTR_RW;
    const std::string bytes = "another program's object";
    enum What { OWN, REPLACED, REMOVED };
    const struct {
        What what;
        bool line;      // the "left as it is" line
        bool nameAfter; // an object under the name afterwards
    } rows[] = {{OWN, false, false}, {REPLACED, true, true}, {REMOVED, true, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << row.what);
        shm_unlink(name.c_str());
        YW_sync_id_t sid = YW_SYNC_MAX;
        ASSERT_EQ(YW_createSync(&cfg, &sid), 0);
        struct stat foreign {};
        if (row.what != OWN)
            ASSERT_EQ(shm_unlink(name.c_str()), 0);
        if (row.what == REPLACED) {
            int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
            ASSERT_EQ(fstat(fd, &foreign), 0);
            close(fd);
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_deleteSync(sid), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("shared memory " + name + " is no longer this node's object: the name is left as it is\n") !=
                      std::string::npos,
                  row.line)
            << out;
        EXPECT_EQ(YW_g_sync[sid].cfg, nullptr);
        int again = shm_open(name.c_str(), O_RDONLY, 0);
        EXPECT_EQ(again >= 0, row.nameAfter);
        if (again >= 0) {
            struct stat now {};
            ASSERT_EQ(fstat(again, &now), 0);
            EXPECT_EQ(now.st_ino, foreign.st_ino);
            std::string got(bytes.size(), '\0');
            EXPECT_EQ(pread(again, got.data(), got.size(), 0), (ssize_t)got.size());
            EXPECT_EQ(got, bytes);
            close(again);
        }
        shm_unlink(name.c_str());
    }
}
