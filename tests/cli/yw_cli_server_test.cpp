// The command interface's TCP server, spoken to over 127.0.0.1 in the test
// process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <memory>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cli/cli_client.h"
#include "cli/yw_cli.h"
#include "osa/yw_osa.h"

using clitest::Client;

namespace {

const std::string kPrompt = "<<";
const std::string kBuiltinsLs = "ls help q hv \n";
const std::string kHvHelp = "hv addr -s len -l [b/s/i/l] -i 0/1\n";

// Open descriptors of the process and what they refer to.
std::string openFds()
{
    std::string out;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return out;
    }
    while (dirent *e = readdir(d)) {
        char path[320], target[256] = {};
        snprintf(path, sizeof(path), "/proc/self/fd/%s", e->d_name);
        ssize_t n = readlink(path, target, sizeof(target) - 1);
        out += std::string(e->d_name) + "=" + (n > 0 ? target : "?") + " ";
    }
    closedir(d);
    return out;
}

int countOpenFds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n;
}

std::string hex(const void *p)
{
    char b[32];
    snprintf(b, sizeof(b), "%lx", reinterpret_cast<unsigned long>(p));
    return b;
}

class CliServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        YW_cli_Init();
        port_ = YW_cli_StartServerOnPort(0, 15000);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override
    {
        if (port_ > 0) {
            EXPECT_EQ(YW_shutdownCLIManage(), 0);
        }
    }
    // Connects and takes the first prompt.
    std::unique_ptr<Client> connect()
    {
        auto c = std::make_unique<Client>(port_);
        EXPECT_TRUE(c->ok());
        EXPECT_EQ(c->readUntil(kPrompt), kPrompt);
        return c;
    }
    // Sends a line ended by CR and returns the reply up to the next prompt.
    static std::string run(Client &c, const std::string &line)
    {
        c.send(line + "\r");
        return c.readUntil(kPrompt);
    }
    int port_ = -1;
};

TEST_F(CliServer, PromptHasNoNewlineAndCrRepeatsIt)
{
    Client c(port_);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    EXPECT_EQ(c.readFor(200), "");  // nothing after the prompt
    // An empty line with CR gives a new prompt; CR LF gives exactly one.
    c.send("\r\n");
    EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    EXPECT_EQ(c.readFor(200), "");
}

TEST_F(CliServer, LsHelpAndLineEnds)
{
    auto c = connect();
    EXPECT_EQ(run(*c, "ls"), kBuiltinsLs + kPrompt);
    EXPECT_EQ(run(*c, "help"), "ls\nhelp\nquit\n" + kHvHelp + kPrompt);
    // LF alone runs the line but writes no prompt.
    c->send("ls\n");
    EXPECT_EQ(c->readUntil(kBuiltinsLs), kBuiltinsLs);
    EXPECT_EQ(c->readFor(200), "");
    // CR LF: one prompt.
    c->send("ls\r\n");
    EXPECT_EQ(c->readUntil(kPrompt), kBuiltinsLs + kPrompt);
    EXPECT_EQ(c->readFor(200), "");
}

TEST_F(CliServer, PrefixMatchingAndUnknownCommands)
{
    auto c = connect();
    EXPECT_EQ(run(*c, "he"), "ls\nhelp\nquit\n" + kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "h"), "ls\nhelp\nquit\n" + kHvHelp + kPrompt);  // "help" sits before "hv"
    EXPECT_EQ(run(*c, "hv.x"), kHvHelp + kPrompt);                     // hv without address
    EXPECT_EQ(run(*c, "hv"), kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "help hv"), kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "help q"), "quit\n" + kPrompt);
    EXPECT_EQ(run(*c, "help zz"), kPrompt);
    EXPECT_EQ(run(*c, "lsx"), "Command not found\n" + kPrompt);
    EXPECT_EQ(run(*c, "   \t "), kPrompt);
}

TEST_F(CliServer, QuitEndsTheClientAndFreesTheSlot)
{
    {
        auto c = connect();
        c->send("q\r");
        std::string data;
        EXPECT_TRUE(c->waitClosed(15000, &data));
        EXPECT_EQ(data, "Exit...\n");
    }
    // All five slots are available again.
    std::vector<std::unique_ptr<Client>> cs;
    for (int i = 0; i < YW_CLI_CLIENT_MAX; ++i) {
        cs.push_back(connect());
    }
}

// A client ending its lines with CR LF still has the LF unread when the
// server closes after "q": the last reply must arrive all the same (a close
// over unread input would reset the connection and drop it).
TEST_F(CliServer, QuitWithCrLfStillDeliversExit)
{
    for (int i = 0; i < 20; ++i) {
        auto c = connect();
        c->send("q\r\n");
        std::string data;
        EXPECT_TRUE(c->waitClosed(15000, &data));
        EXPECT_EQ(data, "Exit...\n") << "round " << i;
    }
}

TEST_F(CliServer, RecallWithEscape)
{
    auto c = connect();
    c->send("\x1b");
    EXPECT_EQ(c->readFor(200), "");  // nothing to recall yet
    EXPECT_EQ(run(*c, "ls"), kBuiltinsLs + kPrompt);
    // An arrow key: ESC recalls, the two following characters are ignored.
    c->send("\x1b[A");
    EXPECT_EQ(c->readUntil(kPrompt + "ls"), kPrompt + "ls");
    c->send("zz\r");
    EXPECT_EQ(c->readUntil(kPrompt), kBuiltinsLs + kPrompt);
    // After running, ordinary typing works again.
    EXPECT_EQ(run(*c, "q."), "Exit...\n");
}

TEST_F(CliServer, LongLineWrapsAt128Characters)
{
    auto c = connect();
    EXPECT_EQ(run(*c, std::string(128, 'x') + "ls"), kBuiltinsLs + kPrompt);
    EXPECT_EQ(run(*c, std::string(128, 'y')), "Command not found\n" + kPrompt);
}

class CliHv : public CliServer {
protected:
    alignas(16) unsigned char buf_[48] = {};
    void SetUp() override
    {
        CliServer::SetUp();
        const char *text = "0123456789abcdef";
        for (int i = 0; i < 16; ++i) {
            buf_[i] = static_cast<unsigned char>(text[i]);
            buf_[16 + i] = static_cast<unsigned char>(i);
            buf_[32 + i] = static_cast<unsigned char>(0x20 + i * 8);  // 0x20 .. 0x98
        }
    }
    std::string a(int off = 0) const { return hex(buf_ + off); }
};

const std::string kHdr = "\n                 ";  // newline and 17 blanks

TEST_F(CliHv, UnitOneTwoFullLines)
{
    auto c = connect();
    std::string want = kHdr + "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f " + "\n" + a() +
                       " 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66    \"0123456789abcdef\"" + "\n" +
                       a(16) + " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    \"................\"" + kPrompt;
    EXPECT_EQ(run(*c, "hv " + a() + " -s 20"), want);
    // "-l b" is the same layout; options in another order.
    EXPECT_EQ(run(*c, "hv " + a() + " -l b -s 20"), want);
}

TEST_F(CliHv, UnitTwoFourAndEight)
{
    auto c = connect();
    EXPECT_EQ(run(*c, "hv " + a() + " -s 10 -l s"),
              kHdr + "0000 0002 0004 0006 0008 000a 000c 000e " + "\n" + a() +
                  " 3130 3332 3534 3736 3938 6261 6463 6665    \"0123456789abcdef\"" + kPrompt);
    EXPECT_EQ(run(*c, "hv " + a() + " -s 20 -l i"),
              kHdr + "00000000 00000004 00000008 0000000c " + "\n" + a() +
                  " 33323130 37363534 62613938 66656463   \"0123456789abcdef\"" + "\n" + a(16) +
                  " 03020100 07060504 0b0a0908 0f0e0d0c   \"................\"" + kPrompt);
    // Options are matched by name, in any order.
    EXPECT_EQ(run(*c, "hv " + a() + " -i 0 -l i -s 20"), run(*c, "hv " + a() + " -s 20 -l i"));
    EXPECT_EQ(run(*c, "hv " + a() + " -l l -s 10"),
              kHdr + "0 8 " + "\n" + a() + " 3736353433323130 6665646362613938   \"0123456789abcdef\"" + kPrompt);
    // The character column: 33..126 as themselves, everything else '.'.
    EXPECT_EQ(run(*c, "hv " + a(32) + " -s 10"),
              kHdr + "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f " + "\n" + a(32) +
                  " 20 28 30 38 40 48 50 58 60 68 70 78 80 88 90 98    \".(08@HPX`hpx....\"" + kPrompt);
}

TEST_F(CliHv, ShortLastLine)
{
    auto c = connect();
    const std::string b3 = "   ", b5 = "     ", b9 = "         ";
    std::string fill1;
    for (int i = 0; i < 11; ++i) {
        fill1 += b3;
    }
    EXPECT_EQ(run(*c, "hv " + a() + " -s 5"),
              kHdr + "00 01 02 03 04 " + "\n" + a() + " 30 31 32 33 34 " + fill1 + "   \"01234\"" + kPrompt);
    EXPECT_EQ(run(*c, "hv " + a() + " -s 5 -l s"),
              kHdr + "0000 0002 0004 " + "\n" + a() + " 3130 3332 3534 " + b5 + b5 + b5 + b5 + b5 + "   \"01234\"" +
                  kPrompt);
    EXPECT_EQ(run(*c, "hv " + a() + " -s 5 -l i"),
              kHdr + "00000000 00000004 " + "\n" + a() + " 33323130 37363534 " + b9 + b9 + "   \"01234\"" + kPrompt);
    EXPECT_EQ(run(*c, "hv " + a() + " -s 5 -l l"), kHdr + "0 " + "\n" + a() + "    \"01234\"" + kPrompt);
    // A full line followed by a short one.
    EXPECT_EQ(run(*c, "hv " + a(16) + " -s 12"),
              kHdr + "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f " + "\n" + a(16) +
                  " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    \"................\"" + "\n" + a(32) +
                  " 20 28 " + std::string(14 * 3, ' ') + "   \".(\"" + kPrompt);
}

TEST_F(CliHv, InteractiveStepsLineByLine)
{
    auto c = connect();
    c->send("hv " + a() + " -s 30 -i 1\r");
    std::string first = "\n" + a() + " 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66    \"0123456789abcdef\"";
    EXPECT_EQ(c->readUntil("\"0123456789abcdef\""),
              kHdr + "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f " + first);
    EXPECT_EQ(c->readFor(200), "");  // waits for a key
    c->send("x");
    EXPECT_EQ(c->readUntil("\"................\""),
              "\n" + a(16) + " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    \"................\"");
    c->send(".");
    EXPECT_EQ(c->readUntil(kPrompt), kPrompt);
}

TEST_F(CliHv, UnreadableAddressGivesAnErrorLine)
{
    // A page that is mapped without access (it stays mapped, so nothing else
    // can take its place during the test): reading it would fault.
    long page = sysconf(_SC_PAGESIZE);
    void *p = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);

    auto c = connect();
    EXPECT_EQ(run(*c, "hv " + hex(p)), "\nhv: address " + hex(p) + " is not readable\n" + kPrompt);
    EXPECT_EQ(run(*c, "hv 0"), "\nhv: address 0 is not readable\n" + kPrompt);
    // A range that starts readable and runs into a guard page.
    unsigned char *two = static_cast<unsigned char *>(
        mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(two, MAP_FAILED);
    ASSERT_EQ(mprotect(two + page, static_cast<size_t>(page), PROT_NONE), 0);
    EXPECT_EQ(run(*c, "hv " + hex(two + page - 16) + " -s 20"),
              "\nhv: address " + hex(two + page - 16) + " is not readable\n" + kPrompt);
    munmap(two, static_cast<size_t>(2 * page));
    munmap(p, static_cast<size_t>(page));
    // Malformed options give the help line; the node keeps serving.
    EXPECT_EQ(run(*c, "hv zz"), kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "hv 1000 -s"), kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "hv 1000 -x 1"), kHvHelp + kPrompt);
    EXPECT_EQ(run(*c, "ls"), kBuiltinsLs + kPrompt);
}

TEST_F(CliServer, SixthClientIsRefusedAndClosed)
{
    std::vector<std::unique_ptr<Client>> cs;
    for (int i = 0; i < YW_CLI_CLIENT_MAX; ++i) {
        cs.push_back(connect());
    }
    Client sixth(port_);
    ASSERT_TRUE(sixth.ok());
    std::string data;
    EXPECT_TRUE(sixth.waitClosed(15000, &data));
    EXPECT_EQ(data, "");
    // The five are still served, each with its own answer.
    for (auto &c : cs) {
        EXPECT_EQ(run(*c, "ls"), kBuiltinsLs + kPrompt);
    }
    // One leaves; a new client takes its slot.
    cs[2]->send("q\r");
    EXPECT_TRUE(cs[2]->waitClosed());
    auto again = std::make_unique<Client>(port_);
    EXPECT_EQ(again->readUntil(kPrompt), kPrompt);
}

TEST_F(CliServer, CommandsRegisteredByServicesAreListedAndRun)
{
    // Counted on the client thread, read here: atomic, and reset for repeated runs.
    static std::atomic<int> calls{0};
    calls = 0;
    auto svc = [](YW_int32_t argc, char **argv) -> YW_int32_t {
        ++calls;
        return argc > 1 && std::string(argv[1]) == "bad" ? YW_CLI_CMD_USAGE : 0;
    };
    ASSERT_EQ(YW_regCLICmd("tsx", svc, "tsx [bad]"), 0);
    auto c = connect();
    EXPECT_EQ(run(*c, "ls"), "tsx " + kBuiltinsLs + kPrompt);
    EXPECT_EQ(run(*c, "ts"), kPrompt);
    EXPECT_EQ(run(*c, "tsx:bad"), "tsx [bad]\n" + kPrompt);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(YW_unregCLICmd("tsx"), 0);
}

TEST_F(CliServer, CommandThatWaitsInTheThreadLayerKeepsItsClient)
{
    // A handler that sleeps through the thread layer (as a service command
    // waiting for its manager would) must not end the client loop.
    auto nap = [](YW_int32_t, char **) -> YW_int32_t {
        YW_P_sleepThread(nullptr, 1000000);
        return YW_CLI_CMD_USAGE;
    };
    ASSERT_EQ(YW_regCLICmd("nap", nap, "nap done"), 0);
    auto c = connect();
    EXPECT_EQ(run(*c, "nap"), "nap done\n" + kPrompt);
    EXPECT_EQ(run(*c, "nap"), "nap done\n" + kPrompt);
    EXPECT_EQ(run(*c, "ls"), "nap " + kBuiltinsLs + kPrompt);
    EXPECT_EQ(YW_unregCLICmd("nap"), 0);
}

TEST_F(CliServer, ClientConnectionsAreProbedForDeadPeers)
{
    auto c = connect();
    // Find the server's end of this connection in the process's descriptors.
    int client = -1;
    for (int fd = 0; fd < 1024 && client < 0; ++fd) {
        sockaddr_in me{}, peer{};
        socklen_t ml = sizeof(me), pl = sizeof(peer);
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&me), &ml) == 0 &&
            getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) == 0 && me.sin_family == AF_INET &&
            ntohs(me.sin_port) == port_) {
            client = fd;
        }
    }
    ASSERT_GE(client, 0);
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_KEEPALIVE, &on, &len), 0);
    EXPECT_EQ(on, 1);
}

TEST_F(CliServer, ClientThreadsHaveRoomForDeepCommands)
{
    // Client threads get at least 64 KiB of stack: a handler using 48 KiB runs.
    auto deep = [](YW_int32_t, char **) -> YW_int32_t {
        volatile char big[48 * 1024];
        for (size_t i = 0; i < sizeof(big); i += 512) {
            big[i] = static_cast<char>(i);
        }
        return big[512] == static_cast<char>(512) ? YW_CLI_CMD_USAGE : 0;
    };
    ASSERT_EQ(YW_regCLICmd("deep", deep, "deep ok"), 0);
    auto c = connect();
    EXPECT_EQ(run(*c, "deep"), "deep ok\n" + kPrompt);
    EXPECT_EQ(YW_unregCLICmd("deep"), 0);
}

TEST_F(CliServer, AcceptWithoutFreeDescriptorsPausesAndServesLater)
{
    // The client's socket exists before the process runs out of descriptors;
    // connecting needs none.
    int cfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(cfd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Threads of earlier servers in this process close their last
    // descriptors a moment after they end: let that settle first, so no
    // descriptor is freed while the table is full.
    for (int i = 0, same = 0, before = countOpenFds(); i < 100 && same < 5; ++i) {
        usleep(20000);
        int now = countOpenFds();
        same = now == before ? same + 1 : 0;
        before = now;
    }
    testing::internal::CaptureStdout();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            highest = fd;
        }
    }
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(highest + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fill;
    for (int fd; fill.size() < 4096 && (fd = dup(cfd)) >= 0;) {
        fill.push_back(fd);
    }
    int rc = ::connect(cfd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    // The server cannot accept now; it must wait between tries, not spin.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int fd : fill) {
        ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &old);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    size_t fails = 0;
    for (size_t p = 0; (p = out.find("get client connection fail", p)) != std::string::npos; ++p) {
        ++fails;
    }
    EXPECT_LT(fails, 100u) << "the accept loop spins while accept fails";

    // With descriptors free again the waiting connection is served. (Should
    // a descriptor have come free during the window after all, the server
    // took the connection then and closed it for want of another for its
    // client thread: that is fine too.)
    Client c(-1);
    c.adopt(cfd);
    std::string first = c.readUntil(kPrompt);
    if (first == kPrompt) {
        EXPECT_GE(fails, 1u) << "the connection was served, so it waited for a descriptor";
    } else {
        EXPECT_TRUE(c.waitClosed()) << first;
        c.adopt(Client(port_).release());
        EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    }
    EXPECT_EQ(run(c, "ls"), kBuiltinsLs + kPrompt);
}

TEST(CliServerLifecycle, StopEndsClientsAndLeavesNoDescriptor)
{
    YW_cli_Init();
    // One start and stop first, so lazily made process-wide descriptors exist.
    int port = YW_cli_StartServerOnPort(0, 15000);
    ASSERT_GT(port, 0);
    ASSERT_EQ(YW_shutdownCLIManage(), 0);
    EXPECT_EQ(YW_shutdownCLIManage(), -1);
    // Its threads drop their last references just after they signal their end.
    int before = countOpenFds();
    for (int i = 0, same = 0; i < 100 && same < 5; ++i) {
        usleep(20000);
        int now = countOpenFds();
        same = now == before ? same + 1 : 0;
        before = now;
    }
    std::string beforeList = openFds();

    port = YW_cli_StartServerOnPort(0, 15000);
    ASSERT_GT(port, 0);
    EXPECT_EQ(YW_cli_GetServerPort(), port);
    EXPECT_EQ(YW_startCLIManage(), -1);  // already running
    {
        Client a(port), b(port);
        EXPECT_EQ(a.readUntil(kPrompt), kPrompt);
        EXPECT_EQ(b.readUntil(kPrompt), kPrompt);
        static unsigned char blob[64];
        a.send("hv " + hex(blob) + " -i 1 -s 40\r");  // a client waiting inside a command
        EXPECT_NE(a.readUntil("\"", 15000).find(hex(blob)), std::string::npos);
        ASSERT_EQ(YW_shutdownCLIManage(), 0);
        EXPECT_TRUE(a.waitClosed());
        EXPECT_TRUE(b.waitClosed());
    }
    EXPECT_EQ(YW_cli_GetServerPort(), -1);
    Client late(port);
    EXPECT_FALSE(late.ok());
    int after = countOpenFds();
    for (int i = 0; i < 500 && after != before; ++i) {
        usleep(20000);
        after = countOpenFds();
    }
    EXPECT_EQ(after, before) << beforeList << "\n" << openFds();
}

// A listening socket on addr:port (port 0: any free port), or -1 with
// nothing left open.
int takePort(in_addr_t addr, int port, bool reuse)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons((uint16_t)port);
    int one = 1;
    if (reuse)
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(s, 1) != 0) {
        close(s);
        return -1;
    }
    return s;
}

TEST(CliServerLifecycle, TakenPortMovesToTheNext)
{
    YW_cli_Init();
    // Take a port; the server must move on to a later one.
    int s = takePort(INADDR_LOOPBACK, 0, false);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    int taken = ntohs(a.sin_port);
    if (taken >= 65535 - YW_CLI_PORT_SEARCH_MAX) {
        close(s);
        GTEST_SKIP() << "ephemeral port too close to the end of the range";
    }
    int port = YW_cli_StartServerOnPort(taken, 15000);
    // The next port may be in use by another test as well: any later port within the bound.
    ASSERT_GT(port, taken);
    EXPECT_LT(port, taken + YW_CLI_PORT_SEARCH_MAX);
    Client c(port);
    EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    c.close();
    EXPECT_EQ(YW_shutdownCLIManage(), 0);
    close(s);
}

TEST(CliServerLifecycle, Port30000TakenMovesOnAndPrintsThePort)
{
    YW_cli_Init();
    // Closed connections of earlier tests may linger on the port: take it
    // all the same (a listening socket still keeps everyone else off it).
    int s = takePort(INADDR_ANY, YW_CLI_SERVER_PORT, true);
    if (s < 0)
        GTEST_SKIP() << "port 30000 is held by another test";
    testing::internal::CaptureStdout();
    int port = YW_cli_StartServerOnPort(YW_CLI_SERVER_PORT, 15000);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    // 30001, or a later port when another test holds that one too.
    ASSERT_GT(port, YW_CLI_SERVER_PORT);
    EXPECT_LT(port, YW_CLI_SERVER_PORT + YW_CLI_PORT_SEARCH_MAX);
    EXPECT_NE(out.find("open server socket port=" + std::to_string(port) + " OK\n"), std::string::npos) << out;
    Client c(port);
    EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    c.close();
    EXPECT_EQ(YW_shutdownCLIManage(), 0);
    close(s);
}

TEST(CliServerLifecycle, NoPortLeftGivesUpInsteadOfLooping)
{
    YW_cli_Init();
    int s = takePort(INADDR_ANY, 65535, false);
    if (s < 0)
        GTEST_SKIP() << "port 65535 is in use elsewhere";
    // The last port is taken and there is no next one: the start fails and
    // leaves nothing running.
    EXPECT_EQ(YW_cli_StartServerOnPort(65535, 5000), -1);
    EXPECT_EQ(YW_cli_GetServerPort(), -1);
    EXPECT_EQ(YW_shutdownCLIManage(), -1);
    close(s);
}

TEST(CliServerLifecycle, DefaultPortIs30000OrTheNextFree)
{
    YW_cli_Init();
    ASSERT_EQ(YW_startCLIManage(), 0);
    int port = -1;
    for (int i = 0; i < 250 && port < 0; ++i) {
        usleep(20000);
        port = YW_cli_GetServerPort();
    }
    // Other tests may hold 30000 and a few after it.
    if (port > 0) {
        EXPECT_GE(port, YW_CLI_SERVER_PORT);
        EXPECT_LT(port, YW_CLI_SERVER_PORT + YW_CLI_PORT_SEARCH_MAX);
        Client c(port);
        EXPECT_EQ(c.readUntil(kPrompt), kPrompt);
    }
    EXPECT_EQ(YW_shutdownCLIManage(), 0);
}

}  // namespace
