// A MessageError answered while another reader thread sends a reply on the
// same connection lands between whole messages, never inside the reply.
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records what is written, each write in two steps with a pause between.
class SlowNet : public wq_NetCircuit {
public:
    SlowNet(std::vector<unsigned char> &out, std::mutex &m) : out_(out), m_(m) {}
    long read(void *, unsigned long) override { return 0; }
    long write(const void *buffer, unsigned long length) override
    {
        auto *p = static_cast<const unsigned char *>(buffer);
        unsigned long half = length / 2;
        {
            std::lock_guard<std::mutex> g(m_);
            out_.insert(out_.end(), p, p + half);
        }
        std::this_thread::yield();
        std::lock_guard<std::mutex> g(m_);
        out_.insert(out_.end(), p + half, p + length);
        return long(length);
    }
    void shutdown(bool) override {}
    wq_NetCircuitReleasor get_releasor() override
    {
        return [](wq_NetCircuit *c) { delete c; };
    }

private:
    std::vector<unsigned char> &out_;
    std::mutex &m_;
};

} // namespace

TEST(ServerMessageErrorMt, NeverInsideAReplyBeingSent)
{
    int broken = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<unsigned char> wire;
        std::mutex m;
        auto *c = new wq_MsgCircuit(new SlowNet(wire, m));
        std::atomic<int> ready{0};
        std::thread replier([&] {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            wq_write_giop_header(s, wq_GIOP::Reply);
            for (uint32_t i = 0; i < 2048; ++i)
                s << i;
            ++ready;
            while (ready.load() < 2) {
            }
            uint64_t unused = 0;
            c->send(s, unused, nullptr, false, pe.env);
        });
        ++ready;
        while (ready.load() < 2) {
        }
        wq_message_error_and_close(c);
        replier.join();
        c->_remove_ref();
        // Whole messages, one after the other, to the last byte.
        size_t at = 0;
        while (at + 12 <= wire.size() && std::memcmp(&wire[at], "GIOP", 4) == 0) {
            uint32_t size;
            std::memcpy(&size, &wire[at + 8], 4);
            at += 12 + size;
        }
        broken += at != wire.size();
        ASSERT_GE(wire.size(), 12u);
    }
    EXPECT_EQ(broken, 0);
}
