// A small TCP client for talking to the command interface in tests.
#ifndef TESTS_CLI_CLIENT_H
#define TESTS_CLI_CLIENT_H

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace clitest {

class Client {
public:
    // A negative port makes a client without a connection (see adopt).
    explicit Client(int port)
    {
        if (port < 0) {
            return;
        }
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool ok() const { return fd_ >= 0; }
    // Gives up the socket to the caller.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Takes over a connected socket.
    void adopt(int fd)
    {
        close();
        fd_ = fd;
        eof_ = false;
    }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool send(const std::string &s)
    {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads until the received text ends with `suffix`, the peer closes, or
    // the time runs out. Returns everything read.
    std::string readUntil(const std::string &suffix, int timeoutMs = 15000)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < suffix.size() || got.compare(got.size() - suffix.size(), suffix.size(), suffix) != 0) {
            if (!readSome(got, end)) {
                break;
            }
        }
        return got;
    }

    // Reads until the received text holds `text` anywhere, the peer closes,
    // or the time runs out. Returns everything read.
    std::string readUntilHas(const std::string &text, int timeoutMs = 15000)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(text) == std::string::npos && readSome(got, end)) {
        }
        return got;
    }

    // Reads whatever arrives within `ms` milliseconds.
    std::string readFor(int ms)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (readSome(got, end)) {
        }
        return got;
    }

    // True when the peer closes the connection within the time.
    bool waitClosed(int timeoutMs = 15000, std::string *data = nullptr)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (readSome(got, end)) {
        }
        if (data != nullptr) {
            *data = got;
        }
        return eof_;
    }

    bool eof() const { return eof_; }

private:
    bool readSome(std::string &got, std::chrono::steady_clock::time_point end)
    {
        if (fd_ < 0 || eof_) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        got.append(buf, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool eof_ = false;
};

}  // namespace clitest

#endif
