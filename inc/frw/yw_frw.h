/*
 * Process start-up: command line and the configuration names of the node.
 */
#ifndef YW_FRW_H
#define YW_FRW_H

#include "yw_err.h"
#include "yw_types.h"

/* Index of a configuration name. */
typedef enum yw_frw_cfgItem {
    YW_FRW_CFG_FOLDERNAME = 0,    /* configuration folder ("-C") */
    YW_FRW_LOG_FOLDERNAME = 1,    /* log folder ("-L") */
    YW_FRW_SYS_CFG_FILENAME = 2,  /* system configuration file ("-f") */
    YW_FRW_APP_CFG_FILENAME = 3,  /* application configuration file ("-a") */
    YW_FRW_CFGITEM_MAX = 4
} YW_frw_cfgItem_t;

#define YW_FRW_CFG_FOLDER_DEFAULT "./"
#define YW_FRW_LOG_FOLDER_DEFAULT "../log"
#define YW_FRW_SYS_CFG_FILE_DEFAULT "turv_sys_cfg.xml"
#define YW_FRW_APP_CFG_FILE_DEFAULT "turv_app_cfg.xml"

/* The four configuration names. A default is a constant string; a name set
 * by an option is a heap copy (YW_malloc) owned by the record. */
typedef struct yw_frw_config {
    const char *names[YW_FRW_CFGITEM_MAX];
} YW_frw_config_t;

/* argv[0] of the running process (also declared by the OS layer). */
#ifndef YW_EXEFILE_LEN
#define YW_EXEFILE_LEN 512
#endif
extern char YW_g_exefile[YW_EXEFILE_LEN];

/* C linkage: YW_main_entry has the shape of a task entry and is found by its
 * plain name like every other entry. */
#ifdef __cplusplus
extern "C" {
#endif

extern YW_frw_config_t YW_g_frw_config;

/* Start banner text ("START TURV ....") written through the error log. */
extern const char *YW_s_banner;

/* The start-up sequence; the process exit status is its result. */
YW_int32_t YW_frw_main(int argc, char **argv);

/* Argument count and vector of the alternative entry YW_main_entry. */
#define YW_MAIN_ARGV_MAX 32
extern YW_int32_t yw_g_argc;
extern char *yw_g_argv[YW_MAIN_ARGV_MAX];
/* Thread-shaped entry: runs YW_frw_main(yw_g_argc, yw_g_argv); arg unused. */
void *YW_main_entry(void *arg);

/* Layer start-up, argv[0], defaults, then the options. -1 for "-h" first. */
YW_ret_t YW_frw_init(int argc, char **argv);
YW_ret_t YW_frw_initCfg(void);
YW_ret_t YW_frw_procOptions(int argc, char **argv);
/* Replaces a name by a heap copy of value; -1 for a bad item, a null value
 * or a failed copy (the name then keeps its previous value). Any length is
 * kept: a folder and file name too long to join into a path make the load
 * of that file fail, never fall back to another file. */
YW_ret_t YW_frw_setConfig(int item, const char *value);
/* The current name, or null for an item outside 0..3. */
const char *YW_frw_getConfig(int item);
/* "folder/filename" into path (strlen of both + 2 bytes), or a fresh
 * YW_malloc'ed string when path is null (see YW_get_file_path). */
char *YW_frw_getCfgFilePath(const char *filename, char *path);
/* Bounded form for fixed buffers: -1 when the joined path does not fit. */
YW_ret_t YW_frw_getCfgFilePath_n(const char *filename, char *path, YW_size_t size);
/* Restores the four defaults, releasing copies set by options. */
void YW_frw_setConfigDefault(void);

#ifdef __cplusplus
}
#endif

#endif /* YW_FRW_H */
