/*
 * Process start-up: the command line, the configuration names and the
 * start-up sequence of a node.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipc/yw_ipc_ism.h"
#include "cli/yw_cli.h"
#include "dym/yw_dym_dsm.h"
#include "frw/yw_frw.h"
#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "sync/yw_sync_ssm.h"
#include "task/yw_task_tsm.h"
#include "timer/yw_timer_tsm.h"
#include "osa/yw_osa.h"
#include "yw_mem.h"
#include "yw_path.h"

YW_frw_config_t YW_g_frw_config = {{YW_FRW_CFG_FOLDER_DEFAULT, YW_FRW_LOG_FOLDER_DEFAULT,
                                    YW_FRW_SYS_CFG_FILE_DEFAULT, YW_FRW_APP_CFG_FILE_DEFAULT}};

namespace {

/* Whether a name is a heap copy made by YW_frw_setConfig (defaults are
 * constant strings and are never released). */
bool s_nameOwned[YW_FRW_CFGITEM_MAX];

} // namespace

void YW_frw_setConfigDefault(void)
{
    static const char *const defaults[YW_FRW_CFGITEM_MAX] = {
        YW_FRW_CFG_FOLDER_DEFAULT, YW_FRW_LOG_FOLDER_DEFAULT, YW_FRW_SYS_CFG_FILE_DEFAULT,
        YW_FRW_APP_CFG_FILE_DEFAULT};
    for (int i = 0; i < YW_FRW_CFGITEM_MAX; ++i) {
        if (s_nameOwned[i])
            YW_free(const_cast<char *>(YW_g_frw_config.names[i]));
        s_nameOwned[i] = false;
        YW_g_frw_config.names[i] = defaults[i];
    }
}

YW_ret_t YW_frw_initCfg(void)
{
    YW_frw_setConfigDefault();
    return YW_SUCCESS;
}

YW_ret_t YW_frw_setConfig(int item, const char *value)
{
    if (item < 0 || item >= YW_FRW_CFGITEM_MAX || !value)
        return YW_FAIL;
    size_t len = strlen(value);
    char *copy = static_cast<char *>(YW_malloc(len + 1));
    if (!copy)
        return YW_FAIL;
    memcpy(copy, value, len);
    copy[len] = '\0';
    if (s_nameOwned[item])
        YW_free(const_cast<char *>(YW_g_frw_config.names[item]));
    YW_g_frw_config.names[item] = copy;
    s_nameOwned[item] = true;
    return YW_SUCCESS;
}

const char *YW_frw_getConfig(int item)
{
    if (item < 0 || item >= YW_FRW_CFGITEM_MAX)
        return nullptr;
    return YW_g_frw_config.names[item];
}

char *YW_frw_getCfgFilePath(const char *filename, char *path)
{
    return YW_get_file_path(YW_g_frw_config.names[YW_FRW_CFG_FOLDERNAME], filename, path);
}

YW_ret_t YW_frw_getCfgFilePath_n(const char *filename, char *path, YW_size_t size)
{
    if (size <= 0)
        return YW_FAIL;
    return YW_get_file_path_n(YW_g_frw_config.names[YW_FRW_CFG_FOLDERNAME], filename, path,
                              (size_t)size) == 0
               ? YW_SUCCESS
               : YW_FAIL;
}

YW_ret_t YW_frw_procOptions(int argc, char **argv)
{
    if (argc >= 2 && argv && argv[1] && strcmp(argv[1], "-h") == 0)
        return YW_FAIL;
    if (!argv)
        return YW_SUCCESS;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!arg)
            continue;
        int item;
        if (strcmp(arg, "-C") == 0)
            item = YW_FRW_CFG_FOLDERNAME;
        else if (strcmp(arg, "-L") == 0)
            item = YW_FRW_LOG_FOLDERNAME;
        else if (strcmp(arg, "-f") == 0)
            item = YW_FRW_SYS_CFG_FILENAME;
        else if (strcmp(arg, "-a") == 0)
            item = YW_FRW_APP_CFG_FILENAME;
        else
            continue;
        if (i + 1 >= argc)
            break; /* an option without its value is ignored */
        ++i;
        if (argv[i])
            YW_frw_setConfig(item, argv[i]);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_frw_init(int argc, char **argv)
{
    YW_P_sysinit();
    if (argc > 0 && argv && argv[0]) {
        size_t len = strnlen(argv[0], YW_EXEFILE_LEN);
        if (len < YW_EXEFILE_LEN) {
            memcpy(YW_g_exefile, argv[0], len + 1);
        } else {
            /* Too long to keep: the symbol lookup then reads the running
             * executable through /proc/self/exe. */
            YW_g_exefile[0] = '\0';
        }
    }
    YW_frw_initCfg();
    return YW_frw_procOptions(argc, argv);
}

// ---- framework bring-up ------------------------------------------------------

YW_frw_serviceStatus_t YW_g_frw_serviceStatus = {0};

// Step 6: every service manager's init clears its tables, so all run before
// the configuration command loads the sections. Results are ignored.
static void yw_frw_initServiceManagers(void)
{
    YW_task_tsm_init();
    YW_dym_dsm_init();
    YW_sync_ssm_init();
    YW_timer_tsm_init();
    YW_ipc_ism_init();
}

YW_ret_t YW_initFramework(void)
{
    YW_g_frw_serviceStatus.status = 0;
    YW_frw_node_init();
    return YW_frw_fsm_init();
}

YW_ret_t YW_deinitFramework(void)
{
    YW_frw_node_deinit();
    return YW_SUCCESS;
}

YW_ret_t YW_runFramework(void)
{
    YW_ret_t r = YW_frw_fsm_start();
    if (r != YW_SUCCESS)
        return r;
    YW_g_frw_serviceStatus.status = 1;
    YW_P_joinThread(YW_g_frw_fsmEventControl.fsm_task);
    return YW_SUCCESS;
}

YW_ret_t YW_startSync(void)
{
    YW_task_id_t id = YW_TASK_ID_NONE;
    YW_ret_t r = YW_searchTaskByName("node_mng", &id);
    if (r != YW_SUCCESS)
        return r;
    return YW_startTask(id, nullptr);
}

YW_ret_t YW_startApplication(void)
{
    // Application tasks are created and then started: an application written
    // as configured tasks runs without code of its own to start them.
    YW_ret_t r = YW_task_createApplicationTasks();
    YW_ret_t s = YW_task_startApplicationTasks();
    return r != YW_SUCCESS ? r : s;
}

void YW_frw_sendCfgErrorEvent(YW_ret_t errcode, const char *emsg)
{
    printf("%s:%d config error code=%d msg:%s\n", __func__, __LINE__, (int)errcode, emsg ? emsg : "");
    YW_frw_fsm_sendEvent(YW_FRW_EVT_IERR, reinterpret_cast<void *>((intptr_t)errcode));
}

// Start banner written through the error log at start-up.
const char *YW_s_banner = "START TURV ....";

YW_int32_t yw_g_argc = 0;
char *yw_g_argv[YW_MAIN_ARGV_MAX];

void *YW_main_entry(void *arg)
{
    (void)arg;
    int argc = yw_g_argc < 0 ? 0 : (yw_g_argc > YW_MAIN_ARGV_MAX ? YW_MAIN_ARGV_MAX : yw_g_argc);
    YW_frw_main(argc, yw_g_argv);
    return nullptr;
}

YW_int32_t YW_frw_main(int argc, char **argv)
{
    // Diagnostics are read line by line by operators and tools on a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    YW_ret_t rc = YW_frw_init(argc, argv);
    if (rc != YW_SUCCESS)
        return rc;

    // Steps 2 and 3: the system configuration is required (exit status 1),
    // the application configuration only reported when it fails.
    YW_frw_loadConfig();
    YW_frw_loadAppConfig();

    // Steps 4 and 5: logging and its standard log "stdout", then the start
    // banner through the error log.
    YW_log_init();
    rc = YW_registerLog("stdout", &YW_g_log_stdout);
    if (rc < 0) {
        printf("%s:%d can't open default log error=%d\n", __func__, __LINE__, (int)rc);
        return rc;
    }
    {
        char banner[128];
        snprintf(banner, sizeof(banner), "\n\n\n%s (%u)\n", YW_s_banner, (unsigned)rand());
        YW_elog("%s", banner);
    }

    yw_frw_initServiceManagers();

    rc = YW_initFramework();
    if (rc < 0) {
        printf("%s:%d init framework fail=%d\n", __func__, __LINE__, (int)rc);
        exit(4);
    }

    // Step 8: the command interface's server thread.
    YW_initCLIManage(argc, argv);

    rc = YW_runFramework();
    if (rc != YW_SUCCESS)
        printf("%s:%d run framework error=%d\n", __func__, __LINE__, (int)rc);
    return rc;
}
