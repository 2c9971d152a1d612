// Command table, line parser and dispatcher, built-in commands and the
// start-up and shutdown of the command interface.
#include "yw_cli_int.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "osa/yw_osa.h"

YW_cli_CmdTable YW_g_CmdTable[YW_CLI_CMD_MAX];

namespace {

// Rows used. The table itself is guarded by `s_tableLock`: services register
// from their manager threads while client threads look commands up.
YW_int32_t YW_s_CmdCount = 0;
std::mutex s_tableLock;

// Serialises start and shutdown of the server.
std::mutex s_mgrLock;

// Looks up the handler of the first used row matching `input`.
YW_cli_CmdExecEntry findExec(const char *input)
{
    std::lock_guard<std::mutex> g(s_tableLock);
    int mismatches = 0;
    for (int i = 0; i < YW_CLI_CMD_MAX; ++i) {
        const YW_cli_CmdTable &row = YW_g_CmdTable[i];
        if (row.name == nullptr) {
            continue;
        }
        if (row.exec != nullptr && YW_cli_CmdCmp(row.name, input) == 0) {
            return row.exec;
        }
        if (++mismatches >= YW_s_CmdCount) {
            break;
        }
    }
    return nullptr;
}

// Help text of the first used row matching `input`, or null. Rows are walked
// up to the first free row when `stopAtFree` is set.
const char *findHelp(const char *input, bool stopAtFree)
{
    std::lock_guard<std::mutex> g(s_tableLock);
    for (int i = 0; i < YW_CLI_CMD_MAX; ++i) {
        const YW_cli_CmdTable &row = YW_g_CmdTable[i];
        if (row.name == nullptr) {
            if (stopAtFree) {
                break;
            }
            continue;
        }
        if (YW_cli_CmdCmp(row.name, input) == 0) {
            return row.help;
        }
    }
    return nullptr;
}

// Collects output pieces and writes them in chunks of at most
// YW_CLI_OUT_BUF_SZ characters.
class OutChunks {
public:
    // Appends `text` followed by `sep`; text longer than a chunk is cut.
    void add(const char *text, const char *sep)
    {
        size_t lt = std::strlen(text), ls = std::strlen(sep);
        if (lt > YW_CLI_OUT_BUF_SZ - ls) {
            lt = YW_CLI_OUT_BUF_SZ - ls;
        }
        if (len_ + lt + ls > YW_CLI_OUT_BUF_SZ) {
            flush();
        }
        std::memcpy(buf_ + len_, text, lt);
        std::memcpy(buf_ + len_ + lt, sep, ls);
        len_ += lt + ls;
    }
    void flush()
    {
        if (len_ > 0) {
            yw_cli::cliWrite(buf_, len_);
            len_ = 0;
        }
    }

private:
    char buf_[YW_CLI_OUT_BUF_SZ];
    size_t len_ = 0;
};

}  // namespace

namespace yw_cli {

namespace {
thread_local int t_slot = -1;
thread_local int t_outFd = -1;
}  // namespace

int currentSlot()
{
    return t_slot;
}

void setCurrentClient(int slot, int fd)
{
    t_slot = slot;
    t_outFd = fd;
}

int writeAll(int fd, const char *data, size_t len, int waitMs, bool *timedOut)
{
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    bool plain = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (done < len) {
        ssize_t n;
        if (plain) {
            n = ::write(fd, data + done, len - done);
        } else {
            n = ::send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == ENOTSOCK) {
                plain = true;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  std::chrono::steady_clock::now());
                struct pollfd p = {fd, POLLOUT, 0};
                if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
                    if (timedOut != nullptr) {
                        *timedOut = true;
                    }
                    break;
                }
                continue;
            }
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<int>(done) : -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int cliWrite(const char *data, size_t len)
{
    int k = t_slot;
    if (k >= 0 && k < YW_CLI_CLIENT_MAX) {
        ClientSlot &s = g_slots[k];
        std::shared_lock<std::shared_mutex> g(s.lock);
        if (s.fd < 0 || s.outStalled.load()) {
            return -1;
        }
        bool timedOut = false;
        int n = writeAll(s.fd, data, len, YW_CLI_OUT_WAIT_MS, &timedOut);
        if (!timedOut) {
            return n;
        }
        // A client that does not take its output holds a slot and this
        // thread: it is disconnected; its client loop ends and frees the slot.
        if (!s.outStalled.exchange(true)) {
            printf("YW_runCLIProc%d(): client does not take its output for %d ms: disconnected\n", k + 1,
                   YW_CLI_OUT_WAIT_MS);
            ::shutdown(s.fd, SHUT_RDWR);
        }
        return -1;
    }
    int fd = t_outFd;
    if (fd < 0) {
        return 0;
    }
    return writeAll(fd, data, len, YW_CLI_OUT_WAIT_MS);
}

int cliPrintf(const char *fmt, ...)
{
    char buf[YW_CLI_OUT_BUF_SZ + 1];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0) {
        return -1;
    }
    size_t len = static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1;
    return cliWrite(buf, len);
}

void registerBuiltins()
{
    YW_regCLICmd("ls", YW_cli_CmdList, "ls");
    YW_regCLICmd("help", YW_cli_CmdHelp, "help");
    YW_regCLICmd("q", YW_cli_CmdQuit, "quit");
    YW_regCLICmd("hv", YW_cli_CmdHv, "hv addr -s len -l [b/s/i/l] -i 0/1");
}

}  // namespace yw_cli

using namespace yw_cli;

extern "C" {

YW_int32_t YW_loadCLIManageConfig(void)
{
    return 0;
}

YW_int32_t YW_cli_Init(void)
{
    printf("YW_cli_Init(): start!!!!!\n");
    std::lock_guard<std::mutex> g(s_tableLock);
    for (auto &row : YW_g_CmdTable) {
        row = YW_cli_CmdTable{};
    }
    YW_s_CmdCount = 0;
    return 0;
}

void YW_cli_SetFd(YW_int32_t fd)
{
    printf("YW_cli_SetFd(): start!!!!!\n");
    t_outFd = fd;
}

YW_int32_t YW_regCLICmd(const char *name, YW_cli_CmdExecEntry exec, const char *help)
{
    printf("YW_regCLICmd(): start!!!!!!!!!!\n");
    if (name == nullptr) {
        return YW_FAIL;
    }
    std::lock_guard<std::mutex> g(s_tableLock);
    if (YW_s_CmdCount >= YW_CLI_CMD_MAX) {
        return YW_ERR_OVERFLOW;
    }
    for (auto &row : YW_g_CmdTable) {
        if (row.name == nullptr) {
            row.name = name;
            row.exec = exec;
            row.help = help;
            row.auth = 0;
            ++YW_s_CmdCount;
            return 0;
        }
        if (std::strcmp(row.name, name) == 0) {
            return 0;
        }
    }
    return YW_FAIL;
}

YW_int32_t YW_unregCLICmd(const char *name)
{
    if (name == nullptr) {
        return YW_FAIL;
    }
    std::lock_guard<std::mutex> g(s_tableLock);
    if (YW_s_CmdCount == 0) {
        return YW_ERR_OVERFLOW;
    }
    for (auto &row : YW_g_CmdTable) {
        if (row.name != nullptr && std::strcmp(row.name, name) == 0) {
            row = YW_cli_CmdTable{};
            --YW_s_CmdCount;
            return 0;
        }
    }
    return YW_FAIL;
}

YW_int32_t YW_cli_CmdParse(const char *line, char *buffer, char **argv)
{
    // The buffer holds one line of YW_CLI_LINE_MAX characters and its terminator.
    size_t n = 0;
    while (n < YW_CLI_LINE_MAX && line[n] != '\0') {
        buffer[n] = line[n];
        ++n;
    }
    buffer[n] = '\0';

    auto isEnd = [](char c) { return c == '\0' || c == '\n' || c == '\r'; };
    char *p = buffer;
    YW_int32_t argc = 0;
    while (*p != '\0' && argc < YW_CLI_ARG_MAX) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (isEnd(*p)) {
            break;
        }
        argv[argc++] = p;
        while (!isEnd(*p) && *p != ' ' && *p != '\t' && *p != ':') {
            ++p;
        }
        if (isEnd(*p)) {
            break;
        }
        *p++ = '\0';
    }
    *p = '\0';
    return argc;
}

YW_int32_t YW_cli_CmdCmp(const char *name, const char *input)
{
    for (; *input != '\0'; ++name, ++input) {
        if (*name == '\0') {
            return *input == '.' ? 0 : 255;
        }
        if (*name != *input) {
            return static_cast<unsigned char>(*name) - static_cast<unsigned char>(*input);
        }
    }
    return 0;
}

YW_int32_t YW_cli_CmdExec(YW_int32_t argc, char **argv)
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        return YW_CLI_CMD_NOT_FOUND;
    }
    YW_cli_CmdExecEntry exec = findExec(argv[0]);
    if (exec == nullptr) {
        return YW_CLI_CMD_NOT_FOUND;
    }
    return exec(argc, argv);
}

YW_int32_t YW_cli_ProcCmdInput(const char *line)
{
    if (line == nullptr) {
        return 0;
    }
    // Each caller splits into its own buffer, so clients typing at once never
    // share one.
    char buffer[YW_CLI_LINE_MAX + 1];
    char *argv[YW_CLI_ARG_MAX + 1] = {};
    YW_int32_t argc = YW_cli_CmdParse(line, buffer, argv);
    if (argc == 0) {
        return 0;
    }
    YW_int32_t ret = YW_cli_CmdExec(argc, argv);
    if (ret == YW_CLI_CMD_NOT_FOUND) {
        cliPrintf("Command not found\n");
        return 0;
    }
    if (ret == YW_CLI_CMD_USAGE) {
        const char *help = findHelp(argv[0], false);
        if (help != nullptr) {
            cliPrintf("%s\n", help);
        }
        return 0;
    }
    return ret;
}

char YW_cli_GetChar(void)
{
    int fd = -1;
    int k = t_slot;
    if (k >= 0 && k < YW_CLI_CLIENT_MAX) {
        std::shared_lock<std::shared_mutex> g(g_slots[k].lock);
        fd = g_slots[k].fd;
    } else {
        fd = t_outFd;
    }
    if (fd < 0) {
        return 0;
    }
    // The socket belongs to the calling client thread, which alone closes it.
    char c = 0;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n == 1) {
            markActive(k);
            return c;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return 0;
    }
}

YW_int32_t YW_cli_CmdList(YW_int32_t argc, char **argv)
{
    (void)argc;
    (void)argv;
    // Copy the names under the lock, write them after it.
    const char *names[YW_CLI_CMD_MAX];
    int count = 0;
    {
        std::lock_guard<std::mutex> g(s_tableLock);
        for (const auto &row : YW_g_CmdTable) {
            if (row.name == nullptr) {
                break;
            }
            names[count++] = row.name;
        }
    }
    // One write per output chunk, so a log line cannot land between names.
    OutChunks out;
    for (int i = 0; i < count; ++i) {
        out.add(names[i], " ");
    }
    out.add("\n", "");
    out.flush();
    return 0;
}

YW_int32_t YW_cli_CmdHelp(YW_int32_t argc, char **argv)
{
    if (argc >= 2 && argv != nullptr && argv[1] != nullptr) {
        const char *help = findHelp(argv[1], true);
        if (help != nullptr) {
            cliPrintf("%s\n", help);
        }
        return 0;
    }
    const char *helps[YW_CLI_CMD_MAX];
    int count = 0;
    {
        std::lock_guard<std::mutex> g(s_tableLock);
        for (const auto &row : YW_g_CmdTable) {
            if (row.name == nullptr) {
                break;
            }
            helps[count++] = row.help;
        }
    }
    OutChunks out;
    for (int i = 0; i < count; ++i) {
        out.add(helps[i] != nullptr ? helps[i] : "", "\n");
    }
    out.flush();
    return 0;
}

YW_int32_t YW_cli_CmdQuit(YW_int32_t argc, char **argv)
{
    (void)argc;
    (void)argv;
    cliPrintf("Exit...\n");
    return YW_CLI_CMD_QUIT;
}

YW_int32_t YW_startCLIManage(void)
{
    printf("YW_startCLIManage(): start!!!!!\n");
    std::lock_guard<std::mutex> g(s_mgrLock);
    if (YW_g_CmdServerCtx != nullptr) {
        return YW_FAIL;
    }
    YW_Tcp_Server_Context *ctx = YW_cli_TcpServerAlloc();
    if (ctx == nullptr || ctx->start == nullptr) {
        return YW_FAIL;
    }
    if (ctx->start(ctx) != 0) {
        return YW_FAIL;
    }
    YW_g_CmdServerCtx = ctx;
    return 0;
}

YW_int32_t YW_shutdownCLIManage(void)
{
    std::lock_guard<std::mutex> g(s_mgrLock);
    YW_Tcp_Server_Context *ctx = YW_g_CmdServerCtx;
    if (ctx == nullptr) {
        return YW_FAIL;
    }
    if (ctx->stop != nullptr) {
        ctx->stop(ctx);
    }
    // The accept loop closes its socket and ends; then the client loops.
    {
        std::unique_lock<std::mutex> lk(g_threadLock);
        g_threadCv.wait_for(lk, std::chrono::seconds(10), [] { return g_serverThreads == 0; });
    }
    endAllClients(10000);
    releaseThreadHandles();
    if (ctx->thread != nullptr) {
        YW_P_deleteThread(static_cast<YW_P_thread_t>(ctx->thread));
        ctx->thread = nullptr;
    }
    YW_g_CmdServerCtx = nullptr;
    return 0;
}

YW_int32_t YW_initCLIManage(YW_int32_t argc, char **argv)
{
    (void)argc;
    (void)argv;
    printf("YW_initCLIManage(): start!!!!!\n");
    YW_loadCLIManageConfig();
    YW_cli_SetFd(-1);
    if (YW_startCLIManage() != 0) {
        printf("YW_cli_Init(): YW_startCLIManage call fail!!!!!\n");
        return YW_FAIL;
    }
    return 0;
}

}  // extern "C"
