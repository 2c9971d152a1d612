// Replays every file of a seed corpus folder through the fuzz entry point, so
// the corpus runs as an ordinary test in every build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s corpus-folder...\n", argv[0]);
        return 2;
    }
    size_t n = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(argv[i], ec)) {
            if (!e.is_regular_file())
                continue;
            std::ifstream f(e.path(), std::ios::binary);
            std::vector<uint8_t> buf((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(buf.data(), buf.size());
            ++n;
        }
        if (ec) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[i], ec.message().c_str());
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", n);
    return n ? 0 : 1;
}
