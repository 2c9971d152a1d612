// Command interface: a line-oriented command server over TCP.
//
// Services register named commands in one process-wide table of 128 rows; the
// server thread "TCPSERVER" accepts up to five clients, each served by its own
// client thread that reads a line, splits it into arguments and runs the first
// matching command. The interface itself adds "ls", "help", "q" and "hv".
#ifndef YW_CLI_H
#define YW_CLI_H

#include "yw_err.h"
#include "yw_types.h"

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

#define YW_CLI_CMD_MAX 128           // rows of the command table
#define YW_CLI_LINE_MAX 128          // characters of one input line
#define YW_CLI_ARG_MAX 32            // arguments of one line
#define YW_CLI_CLIENT_MAX 5          // client loops served at once
#define YW_CLI_OUT_BUF_SZ 2047       // one formatted output chunk
#define YW_CLI_SERVER_PORT 30000     // first port tried by the server
#define YW_CLI_PORT_SEARCH_MAX 64    // ports tried while the port is in use
#define YW_CLI_PROMPT "<<"
#define YW_CLI_OUT_WAIT_MS 10000     // a client takes a chunk of output within this, or is dropped
#define YW_CLI_LINE_WAIT_MS 30000    // a line started is finished within this, or the client is dropped
#define YW_CLI_IDLE_MIN_MS 60000     // a client idle this long gives its slot to a newcomer when all are taken
// Test knobs: the two bounds above in milliseconds (1 .. 86400000), read
// from the environment each time the server starts.
#define YW_CLI_LINE_WAIT_ENV "TURV_CLI_LINE_MS"
#define YW_CLI_IDLE_MIN_ENV "TURV_CLI_IDLE_MS"

// Command handler: (argc, argv) -> result. -1 = command not found, -2 = wrong
// use (the help line is printed), -3 = end the client loop.
typedef YW_int32_t (*YW_cli_CmdExecEntry)(YW_int32_t argc, char **argv);

#define YW_CLI_CMD_NOT_FOUND (-1)
#define YW_CLI_CMD_USAGE (-2)
#define YW_CLI_CMD_QUIT (-3)

// One row of the command table. The name and help strings are stored, not
// copied: they must live as long as the row.
typedef struct fw_cmd_table {
    const char *name;  // null = free row
    YW_cli_CmdExecEntry exec;
    const char *help;
    int8_t auth;  // not used
} YW_cli_CmdTable;

extern YW_cli_CmdTable YW_g_CmdTable[YW_CLI_CMD_MAX];

// Server context.
typedef struct yw_tcp_server_context YW_Tcp_Server_Context;
typedef YW_int32_t (*YW_cli_TcpServerOp)(YW_Tcp_Server_Context *ctx);

struct yw_tcp_server_context {
    YW_int32_t flags;  // bit 0: the accept loop runs (read/written atomically)
    YW_int32_t port;   // TCP port; raised while the port is in use
    YW_int32_t fd;     // listening socket, -1 after stop
    void *thread;      // the server thread's YW_P_thread_t
    YW_cli_TcpServerOp init;
    YW_cli_TcpServerOp start;
    YW_cli_TcpServerOp run;
    YW_cli_TcpServerOp stop;
    void *onClientConnection;  // not used
    void *priv;                // not used
    YW_int32_t refCount;       // not used
};

extern YW_Tcp_Server_Context *YW_g_CmdServerCtx;

// Client record handed from the accept loop to a client loop.
typedef struct yw_client_info {
    YW_int32_t cliSocketFd;
    void *threadID;  // the client thread's YW_P_thread_t
} YW_Tcp_Client_Info;

// Start-up and table.
YW_int32_t YW_initCLIManage(YW_int32_t argc, char **argv);
YW_int32_t YW_loadCLIManageConfig(void);
YW_int32_t YW_cli_Init(void);
void YW_cli_SetFd(YW_int32_t fd);
YW_int32_t YW_regCLICmd(const char *name, YW_cli_CmdExecEntry exec, const char *help);
YW_int32_t YW_unregCLICmd(const char *name);
YW_int32_t YW_startCLIManage(void);
// Stops the server, ends every client loop and waits until their threads
// have finished and their sockets are closed.
YW_int32_t YW_shutdownCLIManage(void);

// Line handling.
YW_int32_t YW_cli_ProcCmdInput(const char *line);
YW_int32_t YW_cli_CmdParse(const char *line, char *buffer, char **argv);
YW_int32_t YW_cli_CmdCmp(const char *name, const char *input);
YW_int32_t YW_cli_CmdExec(YW_int32_t argc, char **argv);
char YW_cli_GetChar(void);

// Built-in commands.
YW_int32_t YW_cli_CmdList(YW_int32_t argc, char **argv);
YW_int32_t YW_cli_CmdHelp(YW_int32_t argc, char **argv);
YW_int32_t YW_cli_CmdQuit(YW_int32_t argc, char **argv);
YW_int32_t YW_cli_CmdHv(YW_int32_t argc, char **argv);
YW_int32_t YW_cli_PrintMemory(YW_uint64_t addr, YW_int64_t len, YW_int32_t mode, YW_int32_t interactive);

// Client loops, one entry per slot.
void *YW_runCLIProc1(void *arg);
void *YW_runCLIProc2(void *arg);
void *YW_runCLIProc3(void *arg);
void *YW_runCLIProc4(void *arg);
void *YW_runCLIProc5(void *arg);

// TCP server.
YW_Tcp_Server_Context *YW_cli_TcpServerAlloc(void);
YW_int32_t YW_cli_TcpServerDefaultInit(YW_Tcp_Server_Context *ctx);
YW_int32_t YW_cli_TcpServerDefaultStart(YW_Tcp_Server_Context *ctx);
YW_int32_t YW_cli_TcpServerDefaultRun(YW_Tcp_Server_Context *ctx);
YW_int32_t YW_cli_TcpServerDefaultStop(YW_Tcp_Server_Context *ctx);
YW_int32_t YW_cli_TcpServer(YW_int32_t port, YW_int32_t *fd);
YW_int32_t YW_cli_TcpGetConnection(YW_int32_t fd, YW_int32_t *cliFd, struct sockaddr_in *addr);
YW_int32_t YW_cli_TcpClientConnectionThreadCreate(YW_Tcp_Client_Info *info);
YW_int32_t YW_cli_TcpSetBlockMode(YW_int32_t fd);
YW_int32_t YW_cli_TcpSetNonBlockMode(YW_int32_t fd);

// Log output callback of a client loop's port on the "stdout" log: writes the
// record's time stamp (first segment) and the data to that client. Lines that
// a command of another client prints are not sent to this one. Always 0.
struct yw_logOutputPort;
struct yw_logRecord;
int YW_cli_writeLog(struct yw_logOutputPort *port, const char *data, YW_size_t size, struct yw_logRecord *record);

// Starts the server with `port` as the first port tried (0 = any free port)
// and waits until it listens or gives up. Returns the port it listens on, or
// -1. Used by tests and tools; the node starts with YW_startCLIManage.
YW_int32_t YW_cli_StartServerOnPort(YW_int32_t port, YW_int32_t timeoutMs);
// Port the running server listens on, or -1.
YW_int32_t YW_cli_GetServerPort(void);

#ifdef __cplusplus
}
#endif

#endif
