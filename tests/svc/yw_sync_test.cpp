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

TEST(SyncResources, OneOfEachKindAndAStaleSharedMemoryObject)
{
    setUp();
    const std::string name = shmName("stale");
    shm_unlink(name.c_str());
    // A node killed while it held the object: made, sized, marked, killed.
    pid_t pid = fork();
    if (pid == 0) {
        int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd < 0 || ftruncate(fd, 4096) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
            _exit(1);
        raise(SIGKILL);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(st));

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
    // The new object has its size before anything maps it.
    struct stat sb {};
    ASSERT_EQ(fstat(YW_g_sync[ids[3]].sync_obj_id.shm->fd, &sb), 0);
    EXPECT_EQ(sb.st_size, 8192);
    void *addr = nullptr;
    YW_P_sharedMap_arg_t m{YW_SHM_ATTR_RW};
    ASSERT_EQ(YW_P_mapSharedMemory(YW_g_sync[ids[3]].sync_obj_id.shm, &addr, &m), 0);
    static_cast<char *>(addr)[8191] = 1;

    // Deleting unmaps, closes and unlinks.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(YW_deleteSync(ids[i]), 0) << names[i];
    EXPECT_LT(shm_open(name.c_str(), O_RDONLY, 0), 0);

    // An object held by a running node is not taken from it.
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    YW_sync_id_t sid;
    EXPECT_EQ(YW_createSync(&cfgs[3], &sid), YW_FAIL);
    EXPECT_EQ(YW_deleteSync(sid), 0);
    struct stat still {};
    EXPECT_EQ(fstat(fd, &still), 0);
    EXPECT_EQ(shm_unlink(name.c_str()), 0);
    close(fd);
}

// Two nodes started at the same moment with one shared-memory resource name,
// on a free name and on one left by a killed run: one gets the object under
// the name, the other is refused, and neither removes the other's.
TEST(SyncResources, TwoNodesCreatingOneSharedMemoryNameAtOnce)
{
    setUp();
    const std::string name = shmName("race");
    shm_unlink(name.c_str());
    struct Child {
        int ready, done, result, fdsLeft;
        ino_t ino;
    };
    struct Shared {
        int go, release;
        Child c[2];
    };
    auto *sh = static_cast<Shared *>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(sh, MAP_FAILED);
    auto ld = [](int &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); };
    auto st = [](int &v, int x) { __atomic_store_n(&v, x, __ATOMIC_RELEASE); };
    auto openFds = [] {
        int n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec); !ec && it != decltype(it){};
             it.increment(ec))
            ++n;
        return n;
    };
    YW_sync_cfg_t cfg{};
    cfg.name = const_cast<char *>(name.c_str());
    cfg.sync_type = YW_SYNC_TYPE_SHM;
    cfg.shm_size = 4096;
    cfg.shm_mode = YW_SHM_MODE_CREATE | YW_SHM_MODE_EXCL;
    cfg.shm_attr = YW_SHM_ATTR_RW;

    const auto end = std::chrono::steady_clock::now() + 3s;
    int rounds = 0, takenOver = 0;
    std::vector<pid_t> all;
    for (; rounds < 400 && std::chrono::steady_clock::now() < end; ++rounds) {
        const bool stale = rounds % 2 == 1;
        if (stale) { // made and sized, no node holds it
            int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, 4096), 0);
            close(fd);
        }
        *sh = Shared{};
        pid_t pids[2];
        for (int k = 0; k < 2; ++k) {
            pids[k] = fork();
            ASSERT_GE(pids[k], 0);
            if (pids[k] == 0) {
                Child &me = sh->c[k];
                int fds = openFds();
                st(me.ready, 1);
                auto limit = std::chrono::steady_clock::now() + 5s;
                while (!ld(sh->go) && std::chrono::steady_clock::now() < limit) {
                }
                YW_sync_id_t id;
                int fd = -1;
                me.result = YW_createSync(&cfg, &id);
                struct stat sb {};
                if (me.result == 0 && fstat(fd = YW_g_sync[id].sync_obj_id.shm->fd, &sb) == 0)
                    me.ino = sb.st_ino;
                st(me.done, 1);
                while (!ld(sh->release) && std::chrono::steady_clock::now() < limit) {
                }
                YW_deleteSync(id);
                me.fdsLeft = openFds() - fds;
                _exit(0);
            }
        }
        ASSERT_TRUE(waitFor([&] { return ld(sh->c[0].ready) && ld(sh->c[1].ready); }, 5s));
        st(sh->go, 1);
        ASSERT_TRUE(waitFor([&] { return ld(sh->c[0].done) && ld(sh->c[1].done); }, 5s));
        // While both run: one object, held by one of them, is under the name.
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        struct stat sb {};
        EXPECT_TRUE(fd >= 0 && fstat(fd, &sb) == 0);
        if (fd >= 0)
            close(fd);
        st(sh->release, 1);
        for (pid_t p : pids) {
            int ws = 0;
            EXPECT_EQ(waitpid(p, &ws, 0), p);
            EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
            all.push_back(p);
        }
        const Child &a = sh->c[0], &b = sh->c[1];
        ASSERT_EQ((a.result == 0) + (b.result == 0), 1)
            << "round " << rounds << (stale ? " (stale)" : "") << ": results " << a.result << " " << b.result
            << ", objects " << a.ino << " " << b.ino;
        EXPECT_EQ((a.result == 0 ? b : a).result, YW_FAIL);
        EXPECT_EQ(sb.st_ino, (a.result == 0 ? a : b).ino) << "round " << rounds;
        EXPECT_EQ(a.fdsLeft, 0);
        EXPECT_EQ(b.fdsLeft, 0);
        // The holder removed its object when it deleted the resource.
        ASSERT_LT(shm_open(name.c_str(), O_RDONLY, 0), 0) << "round " << rounds;
        takenOver += stale;
    }
    EXPECT_GE(rounds, 20);
    EXPECT_GT(takenOver, 0);
    // No object of the two nodes' making is left behind under another name.
    for (const auto &e : std::filesystem::directory_iterator("/dev/shm"))
        for (pid_t p : all)
            EXPECT_EQ(e.path().filename().string().find("." + std::to_string(p) + "."), std::string::npos)
                << e.path();
    munmap(sh, sizeof(Shared));
}
