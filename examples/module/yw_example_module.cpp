// Example dynamic module: a shared library that the module service loads
// from "dymConf". The command "ds" looks up "hello" in every loaded module
// and calls it.
#include <cstdio>

extern "C" void hello(void)
{
    std::printf("hello from the turv example module\n");
    std::fflush(stdout);
}
