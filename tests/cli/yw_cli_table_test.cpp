// Command table, line parser, name matching and dispatch, without sockets:
// output goes to a pipe set as the calling thread's output descriptor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <vector>
#include <unistd.h>

#include "cli/yw_cli.h"

namespace {

YW_int32_t retArgc(YW_int32_t argc, char **)
{
    return argc;
}
YW_int32_t retUsage(YW_int32_t, char **)
{
    return YW_CLI_CMD_USAGE;
}
YW_int32_t retQuit(YW_int32_t, char **)
{
    return YW_CLI_CMD_QUIT;
}
YW_int32_t retNotFound(YW_int32_t, char **)
{
    return YW_CLI_CMD_NOT_FOUND;
}

class PipeOut {
public:
    PipeOut()
    {
        EXPECT_EQ(pipe2(p_, O_CLOEXEC | O_NONBLOCK), 0);
        YW_cli_SetFd(p_[1]);
    }
    ~PipeOut()
    {
        YW_cli_SetFd(-1);
        close(p_[0]);
        close(p_[1]);
    }
    std::string take()
    {
        std::string s;
        char b[4096];
        ssize_t n;
        while ((n = read(p_[0], b, sizeof(b))) > 0) {
            s.append(b, static_cast<size_t>(n));
        }
        return s;
    }

private:
    int p_[2] = {-1, -1};
};

std::vector<std::string> parse(const char *line)
{
    char buf[YW_CLI_LINE_MAX + 1];
    char *argv[YW_CLI_ARG_MAX + 1] = {};
    int argc = YW_cli_CmdParse(line, buf, argv);
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) {
        out.emplace_back(argv[i]);
    }
    return out;
}

using V = std::vector<std::string>;

TEST(CliParse, SplitsOnBlanksTabsAndColons)
{
    EXPECT_EQ(parse("hv 1000 -s 20"), (V{"hv", "1000", "-s", "20"}));
    EXPECT_EQ(parse("  \tls\t "), (V{"ls"}));
    EXPECT_EQ(parse("a::b"), (V{"a", "", "b"}));
    EXPECT_EQ(parse(":a"), (V{"", "a"}));
    EXPECT_EQ(parse("ls\r\nhelp"), (V{"ls"}));
    EXPECT_EQ(parse(""), V{});
    EXPECT_EQ(parse("   "), V{});
    std::string many;
    for (int i = 0; i < 40; ++i) {
        many += "x ";
    }
    EXPECT_EQ(parse(many.c_str()).size(), static_cast<size_t>(YW_CLI_ARG_MAX));
    // A line longer than the buffer is cut, never overflowed.
    std::string longLine(400, 'z');
    auto v = parse(longLine.c_str());
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].size(), static_cast<size_t>(YW_CLI_LINE_MAX));
}

TEST(CliParse, NameMatching)
{
    EXPECT_EQ(YW_cli_CmdCmp("help", "help"), 0);
    EXPECT_EQ(YW_cli_CmdCmp("help", "he"), 0);
    EXPECT_EQ(YW_cli_CmdCmp("help", ""), 0);
    EXPECT_EQ(YW_cli_CmdCmp("hv", "hv.x"), 0);
    EXPECT_EQ(YW_cli_CmdCmp("hv", "hv."), 0);
    EXPECT_EQ(YW_cli_CmdCmp("hv", "hvx"), 255);
    EXPECT_EQ(YW_cli_CmdCmp("help", "hx"), 'e' - 'x');
    EXPECT_NE(YW_cli_CmdCmp("ls", "lsa"), 0);
}

TEST(CliTable, RegisterUnregisterAndOverflow)
{
    YW_cli_Init();
    EXPECT_EQ(YW_unregCLICmd("a"), YW_ERR_OVERFLOW);  // empty table
    EXPECT_EQ(YW_regCLICmd("a", retArgc, "a"), 0);
    EXPECT_EQ(YW_regCLICmd("b", retArgc, "b"), 0);
    EXPECT_EQ(YW_regCLICmd("a", retUsage, "again"), 0);  // same name: no change
    char *argv[] = {const_cast<char *>("a"), const_cast<char *>("x")};
    EXPECT_EQ(YW_cli_CmdExec(2, argv), 2);
    EXPECT_EQ(YW_unregCLICmd("zz"), YW_FAIL);
    EXPECT_EQ(YW_unregCLICmd("a"), 0);
    EXPECT_EQ(YW_cli_CmdExec(2, argv), YW_CLI_CMD_NOT_FOUND);
    // The freed row is reused first.
    EXPECT_EQ(YW_regCLICmd("c", retArgc, "c"), 0);
    EXPECT_STREQ(YW_g_CmdTable[0].name, "c");

    static char names[YW_CLI_CMD_MAX][8];
    int added = 2;
    for (int i = 0; added < YW_CLI_CMD_MAX; ++i, ++added) {
        snprintf(names[i], sizeof(names[i]), "n%d", i);
        ASSERT_EQ(YW_regCLICmd(names[i], retArgc, names[i]), 0);
    }
    EXPECT_EQ(YW_regCLICmd("full", retArgc, "full"), YW_ERR_OVERFLOW);
    YW_cli_Init();
    EXPECT_EQ(YW_g_CmdTable[0].name, nullptr);
}

TEST(CliTable, FirstRowInOrderWins)
{
    YW_cli_Init();
    ASSERT_EQ(YW_regCLICmd("help", YW_cli_CmdHelp, "help"), 0);
    ASSERT_EQ(YW_regCLICmd("hv", retArgc, "hv"), 0);
    char *h[] = {const_cast<char *>("h")};
    PipeOut out;
    EXPECT_EQ(YW_cli_CmdExec(1, h), 0);  // "help" (row 0), which returns 0
    EXPECT_EQ(out.take(), "help\nhv\n");
    char *hv[] = {const_cast<char *>("hv.1"), const_cast<char *>("x")};
    EXPECT_EQ(YW_cli_CmdExec(2, hv), 2);
}

TEST(CliTable, ProcessLineResults)
{
    YW_cli_Init();
    ASSERT_EQ(YW_regCLICmd("usage", retUsage, "usage: usage x"), 0);
    ASSERT_EQ(YW_regCLICmd("quit", retQuit, "quit"), 0);
    ASSERT_EQ(YW_regCLICmd("nf", retNotFound, "nf"), 0);
    ASSERT_EQ(YW_regCLICmd("count", retArgc, "count"), 0);
    PipeOut out;
    EXPECT_EQ(YW_cli_ProcCmdInput("usage"), 0);
    EXPECT_EQ(out.take(), "usage: usage x\n");
    EXPECT_EQ(YW_cli_ProcCmdInput("nothing"), 0);
    EXPECT_EQ(out.take(), "Command not found\n");
    EXPECT_EQ(YW_cli_ProcCmdInput("nf"), 0);
    EXPECT_EQ(out.take(), "Command not found\n");
    EXPECT_EQ(YW_cli_ProcCmdInput("quit"), YW_CLI_CMD_QUIT);
    EXPECT_EQ(YW_cli_ProcCmdInput("count a b c"), 4);
    EXPECT_EQ(YW_cli_ProcCmdInput(""), 0);
    EXPECT_EQ(out.take(), "");
}

TEST(CliTable, ListAndHelpStopAtTheFirstFreeRow)
{
    YW_cli_Init();
    ASSERT_EQ(YW_regCLICmd("ls", YW_cli_CmdList, "ls"), 0);
    ASSERT_EQ(YW_regCLICmd("gap", retArgc, "gap"), 0);
    ASSERT_EQ(YW_regCLICmd("help", YW_cli_CmdHelp, "help"), 0);
    ASSERT_EQ(YW_regCLICmd("late", retArgc, "late help"), 0);
    PipeOut out;
    EXPECT_EQ(YW_cli_ProcCmdInput("ls"), 0);
    EXPECT_EQ(out.take(), "ls gap help late \n");
    ASSERT_EQ(YW_unregCLICmd("gap"), 0);
    EXPECT_EQ(YW_cli_ProcCmdInput("ls"), 0);
    EXPECT_EQ(out.take(), "ls \n");
    EXPECT_EQ(YW_cli_ProcCmdInput("help"), 0);
    EXPECT_EQ(out.take(), "ls\n");
    EXPECT_EQ(YW_cli_ProcCmdInput("help late"), 0);  // behind the free row
    EXPECT_EQ(out.take(), "");
    // Without an output descriptor nothing is written and nothing fails.
    YW_cli_SetFd(-1);
    EXPECT_EQ(YW_cli_ProcCmdInput("ls"), 0);
    EXPECT_EQ(YW_cli_GetChar(), 0);
}

TEST(CliTable, LongListsAreWrittenWhole)
{
    // 128 names of 19 characters: the list is longer than one output chunk.
    YW_cli_Init();
    ASSERT_EQ(YW_regCLICmd("ls", YW_cli_CmdList, "ls"), 0);
    ASSERT_EQ(YW_regCLICmd("help", YW_cli_CmdHelp, "help"), 0);
    static char names[YW_CLI_CMD_MAX][24];
    static std::string helps[YW_CLI_CMD_MAX];
    std::string wantLs = "ls help ", wantHelp = "ls\nhelp\n";
    for (int i = 2; i < YW_CLI_CMD_MAX; ++i) {
        snprintf(names[i], sizeof(names[i]), "command_number_%04d", i);
        helps[i] = std::string(names[i]) + " " + std::string(40, 'h');
        ASSERT_EQ(YW_regCLICmd(names[i], retArgc, helps[i].c_str()), 0);
        wantLs += std::string(names[i]) + " ";
        wantHelp += helps[i] + "\n";
    }
    wantLs += "\n";
    PipeOut out;
    EXPECT_EQ(YW_cli_ProcCmdInput("ls"), 0);
    EXPECT_EQ(out.take(), wantLs);
    EXPECT_EQ(YW_cli_ProcCmdInput("help"), 0);
    EXPECT_EQ(out.take(), wantHelp);
    YW_cli_Init();
}

}  // namespace
