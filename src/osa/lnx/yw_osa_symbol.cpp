/*
 * Shared libraries, and the lookup of a function by name in the running
 * executable's own symbol table (libbfd).
 */
#define PACKAGE "turv"
#define PACKAGE_VERSION "1"
#include <bfd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <sys/stat.h>

#include "osa/yw_nocancel.h"
#include "yw_osa_priv.h"

/* argv[0] of the running process, saved by the start-up (YW_frw_init). */
char YW_g_exefile[YW_EXEFILE_LEN];

namespace {

/* libbfd is not thread-safe: one lookup at a time. */
std::mutex g_bfdLock;
std::once_flag g_bfdInit;

const char *const kSelfExe = "/proc/self/exe";

int firstObject(struct dl_phdr_info *info, size_t, void *data)
{
    *static_cast<ElfW(Addr) *>(data) = info->dlpi_addr;
    return 1; /* the first object is the executable itself */
}

/* Offset between link-time and run-time addresses of the executable
 * (non-zero for a position-independent executable). */
YW_uint64_t loadBias()
{
    ElfW(Addr) bias = 0;
    dl_iterate_phdr(firstObject, &bias);
    return (YW_uint64_t)bias;
}

bool isRunningExecutable(const char *file)
{
    struct stat a, b;
    if (stat(file, &a) != 0 || stat(kSelfExe, &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

YW_ret_t YW_P_loadSharedLibrary(const char *file, YW_P_lib_t *lib)
{
    void *h = file ? dlopen(file, RTLD_LAZY) : nullptr;
    if (lib)
        *lib = h;
    return h ? YW_SUCCESS : YW_FAIL;
}

YW_ret_t YW_P_unloadSharedLibrary(YW_P_lib_t lib)
{
    if (!lib)
        return YW_FAIL;
    return yw_osa::ret(dlclose(lib));
}

YW_ret_t YW_P_getSharedLibrarySymbol(YW_P_lib_t lib, const char *name, void **addr)
{
    if (!lib || !name)
        return YW_FAIL;
    dlerror();
    void *p = dlsym(lib, name);
    if (addr)
        *addr = p;
    return p ? YW_SUCCESS : YW_FAIL;
}

YW_uint64_t YW_P_findBfdSymbol(const char *file, const char *name)
{
    if (!file || !name)
        return 0;
    /* The file and the library's memory are given back only at the end: a
     * stop asked meanwhile is acted on after the lookup. */
    YW_P_noCancel hold;
    std::lock_guard<std::mutex> g(g_bfdLock);
    std::call_once(g_bfdInit, [] { bfd_init(); });

    bfd *abfd = bfd_openr(file, nullptr);
    if (!abfd) {
        puts("bfd_openr error");
        return 0;
    }
    YW_uint64_t value = 0;
    bool relocatable = false;
    char **matching = nullptr;
    if (!bfd_check_format_matches(abfd, bfd_object, &matching)) {
        /* The lookup goes on: a file that several targets recognise is read
         * through the first of them; one that no target recognises has no
         * symbol table to read (and its table must not be asked for). */
        puts("format_matches");
        if (bfd_get_error() == bfd_error_file_ambiguously_recognized && matching && matching[0] &&
            bfd_find_target(matching[0], abfd))
            bfd_check_format(abfd, bfd_object);
        free(matching);
    }
    long storage = bfd_get_format(abfd) == bfd_object ? bfd_get_symtab_upper_bound(abfd) : 0;
    if (storage > 0) {
        auto **syms = static_cast<asymbol **>(malloc((size_t)storage));
        if (syms) {
            long count = bfd_canonicalize_symtab(abfd, syms);
            for (long i = 0; i < count; ++i) {
                asymbol *sym = syms[i];
                const char *sname = bfd_asymbol_name(sym);
                if (!sname || strcmp(sname, name) != 0)
                    continue;
                /* An undefined reference names no address in this file. */
                if (bfd_is_und_section(sym->section))
                    continue;
                symbol_info info;
                bfd_symbol_info(sym, &info);
                value = (YW_uint64_t)info.value;
                relocatable = !bfd_is_abs_section(sym->section);
                break;
            }
            free(syms);
        }
    }
    bfd_close(abfd);

    /* The table holds link-time addresses; a position-independent
     * executable runs at an offset from them. */
    if (value != 0 && relocatable && isRunningExecutable(file))
        value += loadBias();
    return value;
}

YW_ret_t YW_P_getLocalSymbol(const char *name, void **addr)
{
    if (!addr || !name)
        return YW_FAIL;
    /* argv[0] cannot be opened when the program was started through PATH,
     * and may name another file relative to a changed directory. */
    const char *file = YW_g_exefile;
    if (file[0] == '\0' || !isRunningExecutable(file))
        file = kSelfExe;
    YW_uint64_t v = YW_P_findBfdSymbol(file, name);
    printf("finding %s in %s => %llx\n", name, file, (unsigned long long)v);
    *addr = reinterpret_cast<void *>(v);
    return v ? YW_SUCCESS : YW_FAIL;
}
