// Command lines from a client: split, matched against the command table and
// run, with the memory viewer's option parsing included. Output goes to
// /dev/null.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "cli/yw_cli.h"

namespace {

// The viewer is run only on this buffer: the fuzzer's address text is replaced.
unsigned char g_view[256];

YW_int32_t safeHv(YW_int32_t argc, char **argv)
{
    if (argc >= 2) {
        static char addr[32];
        snprintf(addr, sizeof(addr), "%lx", reinterpret_cast<unsigned long>(g_view));
        argv[1] = addr;
        // Keep the dump within the buffer.
        for (int i = 2; i + 1 < argc; i += 2) {
            if (std::strcmp(argv[i], "-s") == 0 && std::strtoull(argv[i + 1], nullptr, 16) > sizeof(g_view)) {
                return 0;
            }
        }
    }
    return YW_cli_CmdHv(argc, argv);
}

void setUp()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    YW_cli_Init();
    YW_regCLICmd("ls", YW_cli_CmdList, "ls");
    YW_regCLICmd("help", YW_cli_CmdHelp, "help");
    YW_regCLICmd("hv", safeHv, "hv addr -s len -l [b/s/i/l] -i 0/1");
    YW_regCLICmd("q", YW_cli_CmdQuit, "quit");
    YW_cli_SetFd(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setUp();
    std::string line;
    auto runLine = [&] {
        char buf[YW_CLI_LINE_MAX + 1];
        char *argv[YW_CLI_ARG_MAX + 1] = {};
        YW_int32_t argc = YW_cli_CmdParse(line.c_str(), buf, argv);
        if (argc < 0 || argc > YW_CLI_ARG_MAX) {
            abort();
        }
        for (YW_int32_t i = 0; i < argc; ++i) {
            if (argv[i] < buf || argv[i] > buf + YW_CLI_LINE_MAX) {
                abort();
            }
        }
        YW_cli_ProcCmdInput(line.c_str());
        line.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\r' || c == '\n') {
            runLine();
        } else if (c != '\0') {
            line += c;
        }
    }
    if (!line.empty()) {
        runLine();
    }
    return 0;
}
