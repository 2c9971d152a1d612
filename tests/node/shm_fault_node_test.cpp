// Two real nodes (examples/two-ce) with messages flowing both ways while the
// areas of the direction from compute element 1 to 2 are damaged from
// outside: cut short, replaced by one of another size, written over with
// random bytes, or the receiving node killed and started again. Neither node
// crashes, the link comes back by itself, and the receiver's numbers are in
// order: every gap is a message the sender counted lost, every repeat one it
// sent again after the receiver died.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "common/yw_test_shm.h"
#include "yw_node_test_util.h"

using namespace yw_node_test;

namespace {

constexpr uint64_t kData = 65536, kCtrl = 4096;

struct CeNode {
    TempDir dir;
    std::unique_ptr<Node> node;
    std::string earlier; // output of runs before a restart
    explicit CeNode(int ceid) { start(ceid); }
    void start(int ceid)
    {
        std::string src = std::string(TURV_SOURCE_DIR) + "/examples/two-ce/ce" + std::to_string(ceid) + "/";
        for (const char *f : {"turv_sys_cfg.xml", "turv_app_cfg.xml"})
            std::filesystem::copy_file(src + f, dir.path() + "/" + f, std::filesystem::copy_options::overwrite_existing);
        setenv("ZV_ceid", std::to_string(ceid).c_str(), 1);
        setenv("TURV_SHM_COUNT", "0", 1);
        setenv("TURV_SHM_PERIOD_US", "300", 1);
        node = std::make_unique<Node>(dir.path());
    }
    void restart(int ceid)
    {
        node->kill();
        earlier += node->output();
        node.reset();
        start(ceid);
    }
    std::string all() { return earlier + node->output(); }
};

std::string objFile(const std::string &cluster, const char *area)
{
    return "/zv_" + cluster + "_" + area;
}

void cut(const std::string &cluster, const char *area, off_t size)
{
    int fd = shm_open(objFile(cluster, area).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << area;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

void replace(const std::string &cluster, const char *area, off_t size)
{
    shm_unlink(objFile(cluster, area).c_str());
    int fd = shm_open(objFile(cluster, area).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << area;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// Random bytes over the first page of an area, as a stray program would.
void scribble(const std::string &cluster, const char *area)
{
    int fd = shm_open(objFile(cluster, area).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << area;
    std::vector<unsigned char> junk(4096);
    std::mt19937 rng(12345);
    for (auto &c : junk)
        c = (unsigned char)rng();
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 0), (ssize_t)junk.size());
    close(fd);
}

// Numbers of "shm_receiver: got N" lines, in order.
std::vector<long long> received(const std::string &out)
{
    std::vector<long long> v;
    const std::string key = "shm_receiver: got ";
    for (size_t p = out.find(key); p != std::string::npos; p = out.find(key, p + 1))
        v.push_back(std::atoll(out.c_str() + p + key.size()));
    return v;
}

// The sum of the counts a node printed before text in its lines.
long long counted(const std::string &out, const std::string &text, const std::string &before)
{
    long long n = 0;
    for (size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1)) {
        size_t b = out.rfind(before, p);
        if (b != std::string::npos)
            n += std::atoll(out.c_str() + b + before.size());
    }
    return n;
}

struct Damage {
    const char *what;
    std::function<void(const std::string &cluster, CeNode &sender, CeNode &receiver)> act;
};

void runDamage(const Damage &d)
{
    SCOPED_TRACE(d.what);
    yw_common_test::ShmCluster shm;
    CeNode a(1), b(2);
    ASSERT_TRUE(b.node->waitFor("shm_receiver: got 200\n", 60s)) << b.node->output().substr(0, 4000);
    ASSERT_TRUE(a.node->waitFor("shm_receiver: got 200\n", 60s)) << a.node->output().substr(0, 4000);
    size_t fromA = a.node->output().size();
    d.act(shm.name(), a, b);
    // Back by itself: well past where it was, both ways.
    long long at = received(b.all()).back();
    std::string want = "shm_receiver: got " + std::to_string(at + 3000) + "\n";
    bool back = b.node->waitFor(want, 90s);
    ASSERT_TRUE(back) << a.node->output().substr(fromA) << "-----\n" << b.node->output().substr(b.node->output().size() > 6000 ? b.node->output().size() - 6000 : 0);
    long long atA = received(a.node->output()).back();
    EXPECT_TRUE(a.node->waitFor("shm_receiver: got " + std::to_string(atA + 100) + "\n", 60s));
    // In order: gaps only as many as the sender counted lost, repeats only
    // after the receiver started again, no more than were sent again.
    std::vector<long long> got = received(b.all());
    long long missing = 0, repeated = 0;
    for (size_t i = 1; i < got.size(); i++) {
        if (got[i] > got[i - 1])
            missing += got[i] - got[i - 1] - 1;
        else
            repeated += got[i - 1] - got[i] + 1;
    }
    std::string outA = a.node->output();
    long long lost = counted(outA, " sent messages lost with area", "ipc ce1_to_ce2 ");
    long long again = counted(outA, " messages not acknowledged on the last link are sent again", "ipc ce1_to_ce2 ");
    EXPECT_EQ(missing, lost) << outA.substr(fromA);
    EXPECT_LE(repeated, again) << outA.substr(fromA);
    EXPECT_FALSE(has(outA, "SIGBUS") || has(b.all(), "SIGBUS"));
}

TEST(ShmFaultNode, AnAreaCutShortOrReplacedTakesTheLinkDownAndBackWithoutCrashOrDisorder)
{
    const char *areas[] = {"smb_100_0_1_tx", "smb_100_1_1_tx", "smb_200_0_2_rx", "smb_200_1_2_rx"};
    std::vector<Damage> rows;
    for (const char *area : areas) {
        const bool data = std::strstr(area, "_0_") != nullptr;
        rows.push_back({area, [area](const std::string &c, CeNode &, CeNode &) { cut(c, area, 0); }});
        rows.push_back({area, [area, data](const std::string &c, CeNode &, CeNode &) {
                            cut(c, area, (off_t)(data ? kData / 2 : 8));
                        }});
        rows.push_back({area, [area, data](const std::string &c, CeNode &, CeNode &) {
                            replace(c, area, (off_t)(data ? 2 * kData : 2 * kCtrl));
                        }});
    }
    for (const Damage &d : rows)
        runDamage(d);
}

TEST(ShmFaultNode, RandomBytesInAControlAreaOrAReceiverRestartLoseNothingSilently)
{
    const Damage rows[] = {
        {"sender's control area written over",
         [](const std::string &c, CeNode &, CeNode &) { scribble(c, "smb_100_1_1_tx"); }},
        {"receiver's control area written over",
         [](const std::string &c, CeNode &, CeNode &) { scribble(c, "smb_200_1_2_rx"); }},
        {"receiving node killed and started again", [](const std::string &, CeNode &, CeNode &b) { b.restart(2); }},
    };
    for (const Damage &d : rows)
        runDamage(d);
}

} // namespace

namespace {

TEST(ShmFaultNode, StaleAreasOfAnotherSizeAreMadeAgainByTheirOwnEndWithALineNamingFileAndSizes)
{
    // Left by an earlier run configured otherwise: each end makes its own
    // areas again at the configured size, and the link comes up.
    yw_common_test::ShmCluster shm;
    const struct {
        const char *area;
        uint64_t size, want;
        int owner; // compute element whose node makes it again
    } stale[] = {
        {"smb_100_0_1_tx", 2 * kData, kData, 1},
        {"smb_100_1_1_tx", 3 * kCtrl, kCtrl, 1},
        {"smb_200_0_2_rx", kData / 2, kData, 2},
        {"smb_200_1_2_rx", 2 * kCtrl, kCtrl, 2},
    };
    for (const auto &s : stale)
        replace(shm.name(), s.area, (off_t)s.size);
    CeNode a(1), b(2);
    ASSERT_TRUE(b.node->waitFor("shm_receiver: got 100\n", 60s)) << b.node->output().substr(0, 4000);
    for (const auto &s : stale) {
        CeNode &n = s.owner == 1 ? a : b;
        std::string line = std::string(s.area) + " (file /dev/shm" + objFile(shm.name(), s.area) + ", " +
                           std::to_string(s.size) + " bytes, configured " + std::to_string(s.want) +
                           "): made again at " + std::to_string(s.want) + " bytes\n";
        EXPECT_TRUE(has(n.node->output(), line)) << line << n.node->output().substr(0, 4000);
    }
}

} // namespace
