// Lookup of a function by name in the running executable, and shared
// libraries.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "osa/yw_osa.h"

extern "C" __attribute__((noinline, used)) int yw_osa_test_symbol_target(int x)
{
    return x * 3 + 1;
}

extern "C" {
__attribute__((used)) int yw_osa_test_symbol_data = 4242;
}

namespace {

typedef int (*target_fn)(int);

void setExefile(const char *p)
{
    snprintf(YW_g_exefile, sizeof(YW_g_exefile), "%s", p);
}

std::string selfPath()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n < 0)
        return "";
    buf[n] = '\0';
    return buf;
}

TEST(OsaSymbol, FindsTheRunTimeAddressOfAFunctionAndCallsIt)
{
    setExefile(selfPath().c_str());
    void *addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_target", &addr), 0);
    EXPECT_EQ(addr, reinterpret_cast<void *>(&yw_osa_test_symbol_target));
    auto fn = reinterpret_cast<target_fn>(addr);
    EXPECT_EQ(fn(5), 16);

    ASSERT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_data", &addr), 0);
    EXPECT_EQ(*static_cast<int *>(addr), 4242);
}

TEST(OsaSymbol, WorksWhenArgv0CannotBeOpened)
{
    // Started through PATH: argv[0] is a bare name not in the directory.
    setExefile("turv_node_not_here");
    void *addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_target", &addr), 0);
    EXPECT_EQ(reinterpret_cast<target_fn>(addr)(1), 4);
    // Empty (argv[0] was too long to keep).
    setExefile("");
    addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_target", &addr), 0);
    EXPECT_EQ(reinterpret_cast<target_fn>(addr)(2), 7);
    // Another, readable, file: still the running executable's table.
    setExefile("/bin/sh");
    addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_target", &addr), 0);
    EXPECT_EQ(reinterpret_cast<target_fn>(addr)(3), 10);
}

TEST(OsaSymbol, MissingNamesAndNonObjectsGiveZero)
{
    setExefile(selfPath().c_str());
    void *addr = reinterpret_cast<void *>(1);
    EXPECT_EQ(YW_P_getLocalSymbol("yw_osa_no_such_function_anywhere", &addr), YW_FAIL);
    EXPECT_EQ(addr, nullptr);
    // Case matters.
    EXPECT_EQ(YW_P_getLocalSymbol("YW_OSA_TEST_SYMBOL_TARGET", &addr), YW_FAIL);
    EXPECT_EQ(YW_P_getLocalSymbol("yw_osa_test_symbol_target", nullptr), YW_FAIL);

    char tmpl[] = "/tmp/yw_osa_sym_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "not an object file\n", 19), 19);
    close(fd);
    // A file of no known format: the line is printed and the lookup goes on
    // to find nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_P_findBfdSymbol(tmpl, "main"), 0u);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("format_matches\n"), std::string::npos);
    unlink(tmpl);
    EXPECT_EQ(YW_P_findBfdSymbol("/no/such/file", "main"), 0u);
    EXPECT_EQ(YW_P_findBfdSymbol(nullptr, "main"), 0u);
}

TEST(OsaSharedLibrary, LoadsResolvesAndUnloads)
{
    YW_P_lib_t lib = nullptr;
    ASSERT_EQ(YW_P_loadSharedLibrary("libm.so.6", &lib), 0);
    ASSERT_NE(lib, nullptr);
    void *cosp = nullptr;
    ASSERT_EQ(YW_P_getSharedLibrarySymbol(lib, "cos", &cosp), 0);
    EXPECT_EQ(reinterpret_cast<double (*)(double)>(cosp)(0.0), 1.0);
    EXPECT_EQ(YW_P_getSharedLibrarySymbol(lib, "no_such_symbol_here", &cosp), YW_FAIL);
    EXPECT_EQ(cosp, nullptr);
    EXPECT_EQ(YW_P_unloadSharedLibrary(lib), 0);

    lib = reinterpret_cast<YW_P_lib_t>(1);
    EXPECT_EQ(YW_P_loadSharedLibrary("libyw_not_there.so", &lib), YW_FAIL);
    EXPECT_EQ(lib, nullptr);
}

} // namespace
