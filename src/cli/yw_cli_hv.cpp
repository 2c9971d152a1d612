// Memory viewer "hv": dumps the process's own memory as hexadecimal values
// of 1, 2, 4 or 8 bytes with a character column. Memory is never touched
// directly: each line is first copied with process_vm_readv on the own
// process, so an unmapped address gives an error line, not a SIGSEGV.
#include "yw_cli_int.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr int kLineBytes = 16;

// Copies through a pipe: write() fails with EFAULT on an unreadable source.
// Used when process_vm_readv is not available.
bool readViaPipe(uint64_t addr, void *dst, size_t len)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < len) {
        size_t chunk = len - done < 4096 ? len - done : 4096;
        ssize_t w = ::write(p[1], reinterpret_cast<const void *>(addr + done), chunk);
        if (w <= 0) {
            ok = false;
            break;
        }
        ssize_t r = ::read(p[0], static_cast<char *>(dst) + done, static_cast<size_t>(w));
        if (r != w) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(w);
    }
    ::close(p[0]);
    ::close(p[1]);
    return ok;
}

char printable(uint8_t b)
{
    return (b >= 33 && b <= 126) ? static_cast<char>(b) : '.';
}

// Reads a value of `unit` bytes at byte offset `off` of `bytes` in host order.
uint64_t unitValue(const uint8_t *bytes, int off, int unit)
{
    switch (unit) {
    case 2: {
        uint16_t v;
        std::memcpy(&v, bytes + off, 2);
        return v;
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, bytes + off, 4);
        return v;
    }
    case 8: {
        uint64_t v;
        std::memcpy(&v, bytes + off, 8);
        return v;
    }
    default:
        return bytes[off];
    }
}

// Appends formatted text to a line buffer, bounded.
struct LineBuf {
    char buf[YW_CLI_OUT_BUF_SZ + 1];
    size_t len = 0;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (len >= sizeof(buf) - 1) {
            return;
        }
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + len, sizeof(buf) - len, fmt, ap);
        va_end(ap);
        if (n > 0) {
            len += static_cast<size_t>(n) < sizeof(buf) - len ? static_cast<size_t>(n) : sizeof(buf) - 1 - len;
        }
    }
    // False when the client can no longer be written to.
    bool flush()
    {
        int n = yw_cli::cliWrite(buf, len);
        len = 0;
        return n >= 0;
    }
};

void addValue(LineBuf &lb, uint64_t v, int unit)
{
    switch (unit) {
    case 2:
        lb.add("%04x ", static_cast<unsigned>(v));
        break;
    case 4:
        lb.add("%08x ", static_cast<unsigned>(v));
        break;
    case 8:
        lb.add("%lx ", static_cast<unsigned long>(v));
        break;
    default:
        lb.add("%02x ", static_cast<unsigned>(v));
        break;
    }
}

void unreadable(uint64_t addr)
{
    yw_cli::cliPrintf("\nhv: address %lx is not readable\n", static_cast<unsigned long>(addr));
}

bool parseHex(const char *s, uint64_t &out)
{
    if (s == nullptr || *s == '\0') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 16);
    if (errno != 0 || end == s || *end != '\0') {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

namespace yw_cli {

bool readOwnMemory(uint64_t addr, void *dst, size_t len)
{
    if (len == 0) {
        return true;
    }
    if (addr + len < addr) {
        return false;
    }
    struct iovec local = {dst, len};
    struct iovec remote = {reinterpret_cast<void *>(addr), len};
    ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n == static_cast<ssize_t>(len)) {
        return true;
    }
    if (n < 0 && (errno == ENOSYS || errno == EPERM)) {
        return readViaPipe(addr, dst, len);
    }
    return false;
}

bool probeOwnMemory(uint64_t addr, uint64_t len)
{
    if (addr + len < addr) {
        return false;
    }
    // Checks one byte per page plus the last byte: mappings are page-granular.
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint8_t b;
    uint64_t end = addr + len;
    for (uint64_t a = addr; a < end; a = (a / page + 1) * page) {
        if (!readOwnMemory(a, &b, 1)) {
            return false;
        }
    }
    return len == 0 || readOwnMemory(end - 1, &b, 1);
}

}  // namespace yw_cli

extern "C" {

YW_int32_t YW_cli_PrintMemory(YW_uint64_t addr, YW_int64_t len, YW_int32_t mode, YW_int32_t interactive)
{
    const int unit = (mode == 2 || mode == 4 || mode == 8) ? mode : 1;
    if (len < 0) {
        return YW_CLI_CMD_USAGE;
    }
    // The last short line reads its final unit whole, so probe up to it.
    uint64_t rem = static_cast<uint64_t>(len) % kLineBytes;
    uint64_t probeLen = static_cast<uint64_t>(len) - rem + ((rem + unit - 1) / unit) * unit;
    if (unit == 8 && rem != 0) {
        probeLen = static_cast<uint64_t>(len);  // unit 8 prints no values on a short line
    }
    if (!yw_cli::probeOwnMemory(addr, probeLen)) {
        unreadable(addr);
        return 0;
    }

    LineBuf lb;
    lb.add("\n%16s ", " ");
    const int headerEnd = len < kLineBytes ? static_cast<int>(len) : kLineBytes;
    for (int off = 0; off < headerEnd; off += unit) {
        addValue(lb, static_cast<uint64_t>(off), unit);
    }
    lb.flush();

    uint64_t a = addr;
    int64_t left = len;
    uint8_t bytes[kLineBytes];
    while (left > 0) {
        lb.add("\n%lx ", static_cast<unsigned long>(a));
        if (left >= kLineBytes) {
            if (!yw_cli::readOwnMemory(a, bytes, kLineBytes)) {
                lb.flush();
                unreadable(a);
                return 0;
            }
            switch (unit) {
            case 2:
                for (int off = 0; off < kLineBytes; off += 2) {
                    lb.add("%04x ", static_cast<unsigned>(unitValue(bytes, off, 2)));
                }
                break;
            case 4:
                lb.add("%08x %08x %08x %08x", static_cast<unsigned>(unitValue(bytes, 0, 4)),
                       static_cast<unsigned>(unitValue(bytes, 4, 4)), static_cast<unsigned>(unitValue(bytes, 8, 4)),
                       static_cast<unsigned>(unitValue(bytes, 12, 4)));
                break;
            case 8:
                lb.add("%lx %lx", static_cast<unsigned long>(unitValue(bytes, 0, 8)),
                       static_cast<unsigned long>(unitValue(bytes, 8, 8)));
                break;
            default:
                for (int off = 0; off < kLineBytes; ++off) {
                    lb.add("%02x ", bytes[off]);
                }
                break;
            }
            lb.add("   \"");
            for (int off = 0; off < kLineBytes; ++off) {
                lb.add("%c", printable(bytes[off]));
            }
            lb.add("\"");
            if (!lb.flush()) {
                break;  // the client has gone: do not dump the rest into nothing
            }
            a += kLineBytes;
            left -= kLineBytes;
            if (left == 0) {
                break;
            }
            if (interactive) {
                char c = YW_cli_GetChar();
                if (c == '.' || c == 0) {
                    break;
                }
            }
            continue;
        }

        // Last line of fewer than 16 bytes.
        const size_t readLen = unit == 8 ? static_cast<size_t>(left)
                                         : static_cast<size_t>(((left + unit - 1) / unit) * unit);
        std::memset(bytes, 0, sizeof(bytes));
        if (!yw_cli::readOwnMemory(a, bytes, readLen)) {
            lb.flush();
            unreadable(a);
            return 0;
        }
        if (unit != 8) {
            static const char *const blanks[] = {"", "   ", "     ", "", "         "};
            for (int off = 0; off < kLineBytes; off += unit) {
                if (off < left) {
                    addValue(lb, unitValue(bytes, off, unit), unit);
                } else {
                    lb.add("%s", blanks[unit]);
                }
            }
        }
        lb.add("   \"");
        for (int off = 0; off < left; ++off) {
            lb.add("%c", printable(bytes[off]));
        }
        lb.add("\"");
        lb.flush();
        break;
    }
    return 0;
}

YW_int32_t YW_cli_CmdHv(YW_int32_t argc, char **argv)
{
    if (argc < 2 || argv == nullptr) {
        return YW_CLI_CMD_USAGE;
    }
    uint64_t addr = 0;
    if (!parseHex(argv[1], addr)) {
        return YW_CLI_CMD_USAGE;
    }
    uint64_t len = 64;
    int unit = 1;
    int interactive = 0;
    // Options come as pairs, in any order.
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc || argv[i] == nullptr || argv[i + 1] == nullptr) {
            return YW_CLI_CMD_USAGE;
        }
        std::string_view opt(argv[i]);
        const char *val = argv[i + 1];
        if (opt == "-s") {
            if (!parseHex(val, len) || len > static_cast<uint64_t>(INT64_MAX)) {
                return YW_CLI_CMD_USAGE;
            }
        } else if (opt == "-l") {
            switch (val[0]) {
            case 's':
                unit = 2;
                break;
            case 'i':
                unit = 4;
                break;
            case 'l':
                unit = 8;
                break;
            default:
                unit = 1;
                break;
            }
        } else if (opt == "-i") {
            interactive = val[0] != '0' ? 1 : 0;
        } else {
            return YW_CLI_CMD_USAGE;
        }
    }
    return YW_cli_PrintMemory(addr, static_cast<int64_t>(len), unit, interactive);
}

}  // extern "C"
