// The communication library on its own: areas (create, duplicate, attach,
// open, close), the create-attach race between two processes, word writes,
// DMA bounds, and the compute-element id.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/yw_test_shm.h"
#include "zv_api.h"

namespace {

// Every run uses its own cluster, so parallel runs never share an area; its
// objects are removed at the end.
class Cluster : public ::testing::Environment {
public:
    void SetUp() override
    {
        shm_ = std::make_unique<yw_common_test::ShmCluster>();
        name_ = shm_->name();
        setenv("ZV_smb_attach_pause", "500", 1);
    }
    void TearDown() override { shm_.reset(); }
    std::unique_ptr<yw_common_test::ShmCluster> shm_;
    std::string name_;
};
Cluster *g_cluster = static_cast<Cluster *>(::testing::AddGlobalTestEnvironment(new Cluster));

std::string objPath(const std::string &area)
{
    return "/zv_" + g_cluster->name_ + "_" + area;
}

TEST(Commlib, AreaCallsAndTheirCodes)
{
    SMB_handle a = nullptr, b = nullptr, o = nullptr;
    void *addr = nullptr;
    ASSERT_EQ(smb_create("area_a", SMB_SCOPE_GLOBAL, 4096, 1, 1, 0, &a), 0u);
    struct Row {
        const char *what;
        ZV_status_t got, want;
    };
    const Row rows[] = {
        {"duplicate", smb_create("area_a", SMB_SCOPE_GLOBAL, 4096, 1, 1, 0, &b), 0xFF041704u},
        {"32-char name", smb_create(std::string(32, 'n').c_str(), 4, 4096, 1, 1, 0, &b), 0xFF040804u},
        {"32-char open", smb_open(std::string(32, 'n').c_str(), 4, 0, 4096, 0, 0, &addr, &b), 0xFF040804u},
        {"slash in name", smb_create("a/b", 4, 4096, 1, 1, 0, &b), SMB__BAD_NAME},
        {"size 0", smb_create("area_z", 4, 0, 1, 1, 0, &b), SMB__BAD_ARG},
        {"attach other size", smb_attach("area_a", 4, 8192, 0, 0, &b), SMB__SIZE_MISMATCH},
        {"attach missing", smb_attach("area_none", 4, 4096, 0, 0, &b), SMB__NOT_FOUND},
        {"close null", smb_close(nullptr, 0), 0xFF041709u},
        {"close made-up", smb_close(reinterpret_cast<SMB_handle>(&addr), 0), 0xFF041709u},
        {"access out null", smb_access_setup(&a, sizeof a, nullptr, nullptr), 0xFF041718u},
        {"access release null", smb_access_release(nullptr), 0xFF041718u},
        {"write null access", smb_access_write_u64(nullptr, 0, 0, 0, 1), 0xFF041718u},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.got, r.want) << r.what;

    // Attach and open see the creator's area; a word written through an
    // access handle is seen through the mapping.
    ASSERT_EQ(smb_attach("area_a", 4, 4096, 0, 0, &b), 0u);
    ASSERT_EQ(smb_open("area_a", 4, 0, 4096, 0, 0, &addr, &o), 0u);
    SMB_access_handle acc = nullptr;
    SMB_handle arr[3] = {b, nullptr, nullptr};
    ASSERT_EQ(smb_access_setup(arr, sizeof arr, &acc, nullptr), 0u);
    const struct {
        uint32_t area;
        uint64_t off;
        ZV_status_t want;
    } writes[] = {{0, 0, 0}, {0, 8, 0}, {0, 4088, 0}, {0, 4, SMB__BAD_OFFSET}, {0, 4092, SMB__BAD_OFFSET},
                  {0, 4096, SMB__BAD_OFFSET}, {0, ~0ull - 7, SMB__BAD_OFFSET}, {1, 0, SMB__BAD_INDEX}};
    for (const auto &w : writes)
        EXPECT_EQ(smb_access_write_u64(acc, w.area, 0, w.off, 0x1122334455667788ull + w.off), w.want) << w.off;
    auto *words = static_cast<uint64_t *>(addr);
    EXPECT_EQ(words[0], 0x1122334455667788ull);
    EXPECT_EQ(words[1], 0x1122334455667790ull);
    EXPECT_EQ(words[511], 0x1122334455667788ull + 4088);
    // The access handle keeps its own mapping after its area is closed.
    EXPECT_EQ(smb_close(b, 0), 0u);
    EXPECT_EQ(smb_close(b, 0), 0xFF041709u);
    EXPECT_EQ(smb_access_write_u64(acc, 0, 0, 16, 42), 0u);
    EXPECT_EQ(words[2], 42u);
    EXPECT_EQ(smb_access_release(acc), 0u);
    EXPECT_EQ(smb_access_release(acc), 0xFF041718u);
    EXPECT_EQ(smb_close(o, 0), 0u);
    EXPECT_EQ(smb_close(a, 0), 0u);
}

TEST(Commlib, AttachWaitsForTheCreatorToSizeTheArea)
{
    // An object made but not yet sized, as a creator leaves it for a moment.
    int fd = shm_open(objPath("unsized").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    SMB_handle h = nullptr;
    setenv("ZV_smb_attach_pause", "0", 1);
    EXPECT_EQ(smb_attach("unsized", 4, 8192, 0, 0, &h), SMB__NOT_SIZED);
    setenv("ZV_smb_attach_pause", "5000", 1);
    std::thread sizer([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(ftruncate(fd, 8192), 0);
    });
    EXPECT_EQ(smb_attach("unsized", 4, 8192, 0, 0, &h), 0u);
    sizer.join();
    close(fd);
    EXPECT_EQ(smb_close(h, 0), 0u);
    setenv("ZV_smb_attach_pause", "500", 1);
}

TEST(Commlib, CreateAttachRaceBetweenTwoProcesses)
{
    // Two processes create-or-attach the same names at once: exactly one
    // creates each area, the other attaches, neither fails.
    constexpr int kRounds = 40;
    int pipes[2][2];
    pid_t pids[2];
    for (int p = 0; p < 2; p++) {
        ASSERT_EQ(pipe(pipes[p]), 0);
        pids[p] = fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) {
            std::string res;
            for (int i = 0; i < kRounds; i++) {
                std::string name = "race_" + std::to_string(i);
                SMB_handle h = nullptr;
                ZV_status_t r = smb_create(name.c_str(), 0x1000004, 12288, 1, 1, 0, &h);
                char c = 'C';
                if (r == SMB__DUPLICATE) {
                    r = smb_attach(name.c_str(), 0x1000004, 12288, 0, 0, &h);
                    c = 'A';
                }
                res += r == 0 ? c : 'F';
                smb_close(h, 0);
            }
            ssize_t n = write(pipes[p][1], res.data(), res.size());
            _exit(n == (ssize_t)res.size() ? 0 : 1);
        }
        close(pipes[p][1]);
    }
    std::string out[2];
    for (int p = 0; p < 2; p++) {
        char buf[kRounds];
        ssize_t n = read(pipes[p][0], buf, sizeof buf);
        out[p].assign(buf, n > 0 ? (size_t)n : 0);
        close(pipes[p][0]);
        int st = 0;
        waitpid(pids[p], &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    ASSERT_EQ(out[0].size(), (size_t)kRounds);
    ASSERT_EQ(out[1].size(), (size_t)kRounds);
    for (int i = 0; i < kRounds; i++) {
        std::string pair{out[0][i], out[1][i]};
        EXPECT_TRUE(pair == "CA" || pair == "AC") << "round " << i << ": " << pair;
    }
}

TEST(Commlib, AnAreaClaimedByALiveProcessIsRefusedWithItsIdAndFreeOnceItDies)
{
    SMB_handle mine = nullptr, again = nullptr;
    ASSERT_EQ(smb_create("claim_a", SMB_SCOPE_GLOBAL, 4096, 1, 1, 0, &mine), 0u);
    // Another process attaches and claims the area, then waits to be killed.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SMB_handle h = nullptr;
        char c = smb_attach("claim_a", SMB_SCOPE_GLOBAL, 4096, 0, 0, &h) == 0 && smb_lock(h, nullptr, 0) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    ASSERT_EQ(c, 'y');
    const std::string byChild = "process " + std::to_string(child) + " (";
    const std::string bySelf = "process " + std::to_string(getpid()) + " (";
    struct Row {
        const char *what;
        std::function<ZV_status_t(char *, size_t)> call;
        ZV_status_t want;
        std::string holder; // the start of the holder named, "" for none
    };
    const Row rows[] = {
        {"claim while another process holds it", [&](char *h, size_t n) { return smb_lock(mine, h, n); }, SMB__HELD,
         byChild},
        {"asked by name while another process holds it",
         [&](char *h, size_t n) { return smb_holder("claim_a", h, n); }, SMB__HELD, byChild},
        {"the holder killed: claimed",
         [&](char *h, size_t n) {
             kill(child, SIGKILL);
             waitpid(child, nullptr, 0);
             return smb_lock(mine, h, n);
         },
         0, ""},
        {"a second handle of this process", [&](char *h, size_t n) {
             EXPECT_EQ(smb_attach("claim_a", SMB_SCOPE_GLOBAL, 4096, 0, 0, &again), 0u);
             return smb_lock(again, h, n);
         },
         SMB__HELD, bySelf},
        {"the claiming handle closed: free",
         [&](char *h, size_t n) {
             smb_close(mine, 0);
             return smb_holder("claim_a", h, n);
         },
         0, ""},
        {"no such area", [&](char *h, size_t n) { return smb_holder("claim_none", h, n); }, SMB__NOT_FOUND, ""},
        {"null handle", [&](char *h, size_t n) { return smb_lock(nullptr, h, n); }, SMB__NULL_HANDLE, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        char holder[128] = "";
        EXPECT_EQ(r.call(holder, sizeof holder), r.want);
        if (!r.holder.empty()) {
            EXPECT_EQ(std::string(holder).rfind(r.holder, 0), 0u) << holder;
        }
    }
    smb_close(again, 0);
}

TEST(Commlib, TransfersStayWithinBothAreas)
{
    SMB_handle s = nullptr, d = nullptr, so = nullptr, dop = nullptr;
    void *sa = nullptr, *da = nullptr;
    ASSERT_EQ(smb_create("dx_src", 4, 8192, 1, 1, 0, &s), 0u);
    ASSERT_EQ(smb_create("dx_dst", 4, 4096, 1, 2, 0, &d), 0u);
    ASSERT_EQ(smb_open("dx_src", 4, 0, 8192, 0, 0, &sa, &so), 0u);
    ASSERT_EQ(smb_open("dx_dst", 4, 0, 4096, 0, 0, &da, &dop), 0u);
    for (int i = 0; i < 8192; i++)
        static_cast<uint8_t *>(sa)[i] = (uint8_t)(i * 7);
    DX_template t = nullptr;
    DX_transfer x = nullptr;
    EXPECT_EQ(dx_create(s, nullptr, nullptr, 0, 0, 0, 0, &t), DX__NULL_HANDLE);
    ASSERT_EQ(dx_create(s, d, nullptr, 0, 0, 0, 0, &t), 0u);
    EXPECT_EQ(dx_copy(t, 0, 0, 4097, 0, 0, 0, &x), DX__OUT_OF_BOUNDS);
    ASSERT_EQ(dx_copy(t, 0, 0, 64, 0, 0, 0, &x), 0u);
    EXPECT_EQ(dx_get_status(x, DX_POLL, 0), DX__NOT_STARTED);
    constexpr uint32_t kAll = DX_MOD_SRC_OFFSET | DX_MOD_DST_OFFSET | DX_MOD_COUNT | DX_POLL | DX_START;
    const struct {
        uint64_t so, dof, n;
        ZV_status_t want;
    } rows[] = {{0x1000, 0x800, 112, 0}, {8192 - 16, 4096 - 16, 16, 0}, {8192 - 16, 0, 17, DX__OUT_OF_BOUNDS},
                {0, 4096 - 8, 9, DX__OUT_OF_BOUNDS}, {~0ull, 0, 2, DX__OUT_OF_BOUNDS}, {0, 0, 0, 0}};
    for (const auto &r : rows) {
        std::memset(da, 0, 4096);
        ASSERT_EQ(dx_modify(x, r.so, r.dof, r.n, 0, kAll), r.want) << r.so << " " << r.n;
        if (r.want != 0)
            continue;
        ASSERT_EQ(dx_start(x, 0), 0u);
        EXPECT_EQ(dx_get_status(x, DX_POLL, 0), 0u);
        EXPECT_EQ(std::memcmp(static_cast<uint8_t *>(da) + r.dof, static_cast<uint8_t *>(sa) + r.so, r.n), 0);
        if (r.dof > 0) {
            EXPECT_EQ(static_cast<uint8_t *>(da)[r.dof - 1], 0);
        }
    }
    EXPECT_EQ(dx_destroy(t), DX__BAD_ARG) << "a template with a live transfer stays";
    EXPECT_EQ(dx_release(x, 0), 0u);
    EXPECT_EQ(dx_release(x, 0), DX__NULL_HANDLE);
    EXPECT_EQ(dx_destroy(t), 0u);
    EXPECT_EQ(dx_destroy(t), DX__NULL_HANDLE);
    for (SMB_handle h : {s, d, so, dop})
        EXPECT_EQ(smb_close(h, 0), 0u);
}

TEST(Commlib, ComputeElementIdComesFromTheEnvironment)
{
    // A value that is not a number within 64 bits gives 0 and is told apart
    // from one that is, with the text as it was set.
    const struct {
        const char *value;
        CEID want;
        bool number;
    } rows[] = {{"7", 7, true},       {"0x10", 16, true},         {"", 0, false},
                {"x1", 0, false},     {nullptr, 0, true},         {"4294967297", 4294967297ULL, true},
                {"abc", 0, false},    {" 7", 0, false},           {"-1", 0, false},
                {"7 ", 0, false},     {"99999999999999999999", 0, false}, {"010", 10, true},
                {"0x", 0, false}};
    for (const auto &r : rows) {
        pid_t p = fork();
        ASSERT_GE(p, 0);
        if (p == 0) {
            if (r.value)
                setenv("ZV_ceid", r.value, 1);
            else
                unsetenv("ZV_ceid");
            char raw[64] = "x";
            const ZV_status_t st = ce_getid_raw(raw, sizeof raw);
            char cut[3] = "x";
            ce_getid_raw(cut, sizeof cut);
            const std::string given = r.value ? r.value : "";
            _exit(ce_getid() == r.want && ce_getid() == r.want && st == (r.number ? 0u : CE__BAD_ID) &&
                          given == raw && given.substr(0, 2) == cut
                      ? 0
                      : 1);
        }
        int st = 0;
        waitpid(p, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << (r.value ? r.value : "unset");
    }
}

} // namespace

namespace {

// Cuts an area's object down to size bytes, as anyone with access may.
void cutArea(const char *area, off_t size)
{
    int fd = shm_open(objPath(area).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

} // namespace

TEST(Commlib, EveryCallOnAnAreaCutShortAnswersInsteadOfFaulting)
{
    // An area mapped every way (opened, word access, both ends of a
    // transfer), then cut short by someone else: each call that touches it
    // answers with a code, reads of the opened mapping give zeros, and only
    // handles of that area are affected.
    SMB_handle a = nullptr, o = nullptr, other = nullptr, oo = nullptr, b = nullptr;
    SMB_access_handle acc = nullptr, acc2 = nullptr;
    DX_template out = nullptr, in = nullptr, t2 = nullptr;
    DX_transfer xo = nullptr, xi = nullptr;
    void *addr = nullptr, *oaddr = nullptr;
    ASSERT_EQ(smb_create("cut", 4, 8192, 1, 1, 0, &a), 0u);
    ASSERT_EQ(smb_open("cut", 4, 0, 8192, 0, 0, &addr, &o), 0u);
    ASSERT_EQ(smb_create("uncut", 4, 8192, 1, 1, 0, &other), 0u);
    ASSERT_EQ(smb_open("uncut", 4, 0, 8192, 0, 0, &oaddr, &oo), 0u);
    ASSERT_EQ(smb_access_setup(&a, sizeof a, &acc, nullptr), 0u);
    ASSERT_EQ(dx_create(a, other, nullptr, 0, 0, 0, 0, &out), 0u);
    ASSERT_EQ(dx_create(other, a, nullptr, 0, 0, 0, 0, &in), 0u);
    ASSERT_EQ(dx_copy(out, 4096, 0, 4096, 0, 0, 0, &xo), 0u);
    ASSERT_EQ(dx_copy(in, 0, 4096, 4096, 0, 0, 0, &xi), 0u);
    EXPECT_EQ(smb_check(o, SMB_CHECK_OBJECT), 0u);
    cutArea("cut", 4096);
    uint64_t size = 0;
    char file[128] = "";
    struct Row {
        const char *what;
        std::function<ZV_status_t()> call;
        ZV_status_t want;
    };
    const Row rows[] = {
        {"object check sees the cut before any access", [&] { return smb_check(o, SMB_CHECK_OBJECT); }, SMB__AREA_LOST},
        {"cheap check before any fault", [&] { return smb_check(a, 0); }, 0u},
        {"word below the cut", [&] { return smb_access_write_u64(acc, 0, 0, 8, 1); }, 0u},
        {"word past the cut", [&] { return smb_access_write_u64(acc, 0, 0, 4096 + 8, 1); }, SMB__AREA_LOST},
        {"every handle of the area is lost", [&] { return smb_check(o, 0); }, SMB__AREA_LOST},
        {"the other area is not", [&] { return smb_check(oo, SMB_CHECK_OBJECT); }, 0u},
        {"transfer out of the cut part", [&] { return dx_start(xo, 0); }, DX__AREA_LOST},
        {"transfer into the cut part", [&] { return dx_start(xi, 0); }, DX__AREA_LOST},
        {"reading the opened mapping past the cut",
         [&] { return (ZV_status_t)static_cast<volatile uint8_t *>(addr)[6000]; }, 0u},
        {"new word access", [&] { return smb_access_setup(&a, sizeof a, &acc2, nullptr); }, SMB__AREA_LOST},
        {"new transfer template", [&] { return dx_create(a, other, nullptr, 0, 0, 0, 0, &t2); }, DX__AREA_LOST},
        {"attach at the old size", [&] { return smb_attach("cut", 4, 8192, 0, 0, &b); }, SMB__SIZE_MISMATCH},
        {"open at the old size", [&] { return smb_open("cut", 4, 0, 8192, 0, 0, &addr, &b); }, SMB__SIZE_MISMATCH},
        {"size and file of the area", [&] { return smb_stat("cut", &size, file, sizeof file); }, 0u},
        {"removed to be made again", [&] { return smb_remove("cut"); }, 0u},
        {"a removed area's handles are lost", [&] { return smb_check(a, SMB_CHECK_OBJECT); }, SMB__AREA_LOST},
        {"made again", [&] { return smb_create("cut", 4, 8192, 1, 1, 0, &b); }, 0u},
        {"no longer found", [&] { return smb_stat("gone", &size, nullptr, 0); }, SMB__NOT_FOUND},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.call(), r.want) << r.what;
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(std::string(file), "/dev/shm" + objPath("cut"));
    // Released, the lost mappings no longer count.
    EXPECT_EQ(dx_release(xo, 0), 0u);
    EXPECT_EQ(dx_release(xi, 0), 0u);
    EXPECT_EQ(dx_destroy(out), 0u);
    EXPECT_EQ(dx_destroy(in), 0u);
    EXPECT_EQ(smb_access_release(acc), 0u);
    EXPECT_EQ(smb_close(o, 0), 0u);
    EXPECT_EQ(smb_check(b, 0), 0u);
    for (SMB_handle h : {a, b, oo, other})
        EXPECT_EQ(smb_close(h, 0), 0u);
}
