// Receiving GIOP messages over a real socket: the bytes arrive in pieces cut
// anywhere (inside headers, across messages, across 65536-byte blocks) and
// every read of the circuit goes straight into the stream's write block.
#include "giop_server.h"

#include "wq_circuit.h"
#include "wq_endpoint.h"

#include <chrono>
#include <gtest/gtest.h>

#include <poll.h>

namespace {

// Checks that each read asks for exactly the rest of the stream's write block.
class BlockReadCircuit : public wq_NetCircuitTCP {
public:
    long read(void *buffer, unsigned long length) override
    {
        wq_MemoryBlock *b = stream->write_block();
        EXPECT_EQ(buffer, stream->write_position());
        EXPECT_EQ(length, static_cast<unsigned long>(b->data + b->capacity - stream->write_position()));
        return wq_NetCircuitTCP::read(buffer, length);
    }
    CORBA::Stream *stream = nullptr;
};

uint8_t body_byte(size_t msg, size_t i) { return uint8_t(i * 7 + msg * 31 + 1); }

} // namespace

TEST(OrbClientReceive, MessagesCutIntoPiecesAnywhere)
{
    struct Row {
        const char *name;
        std::vector<uint32_t> bodies;
        // Bytes of each write of the peer, which pauses between them; the
        // rest of the bytes go in one last write.
        std::vector<size_t> pieces;
    };
    const Row rows[] = {
        // Header split 5/3/4, body in small pieces, then one write with the
        // end of the first message, all of a zero-size one and the first
        // bytes of the third.
        {"small pieces", {40, 0, 24}, {5, 3, 4, 1, 9, 10, 20 + 12 + 5, 3}},
        {"one write", {16, 0, 8, 0}, {}},
        {"over one block", {70000, 0, 8}, {100, 65436, 4000}},
        {"two blocks and one byte", {2 * 65536 - 11, 4}, {65536 + 12, 1}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> wire;
        for (size_t m = 0; m < row.bodies.size(); ++m) {
            LE h;
            h.raw("GIOP", 4).o(1).o(0).o(1).o(uint8_t(m % 6)).u(row.bodies[m]);
            wire.insert(wire.end(), h.b.begin(), h.b.end());
            for (size_t i = 0; i < row.bodies[m]; ++i)
                wire.push_back(body_byte(m, i));
        }
        ScriptServer server([&](ScriptServer &, int fd) {
            size_t at = 0;
            for (size_t p : row.pieces) {
                p = std::min(p, wire.size() - at);
                ScriptServer::send_all(fd, std::vector<uint8_t>(wire.begin() + long(at), wire.begin() + long(at + p)));
                at += p;
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
            ScriptServer::send_all(fd, std::vector<uint8_t>(wire.begin() + long(at), wire.end()));
        });
        auto *net = new BlockReadCircuit;
        ASSERT_TRUE(net->connect("127.0.0.1", server.port(), ""));
        timeval tv{5, 0};
        ::setsockopt(net->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        auto *c = new wq_MsgCircuit(net);
        PrivEnv e;
        CORBA::Stream s(e.w);
        net->stream = &s;
        for (size_t m = 0; m < row.bodies.size(); ++m) {
            wq_GIOP::MessageHeader h{};
            // An accepted circuit hands back a message whose rest has not
            // come yet, keeping what came: it is received again once more is
            // there.
            int r = 0;
            for (int i = 0; i < 500 && (r = c->receive(s, h, e.w)) == wq_MsgCircuit::Incomplete; ++i) {
                pollfd pf{net->fd(), POLLIN, 0};
                ::poll(&pf, 1, 10);
            }
            ASSERT_EQ(r, 1) << "message " << m << ": " << e.text();
            EXPECT_EQ(h.type, m % 6);
            ASSERT_EQ(h.size, row.bodies[m]);
            EXPECT_EQ(s.message_length(), 12 + row.bodies[m]);
            EXPECT_EQ(s.size_written(), 12 + row.bodies[m]);
            std::vector<uint8_t> got(row.bodies[m]), want(row.bodies[m]);
            s.read_array_1(got.data(), row.bodies[m]);
            for (size_t i = 0; i < want.size(); ++i)
                want[i] = body_byte(m, i);
            EXPECT_TRUE(got == want) << "message " << m;
            EXPECT_FALSE(e.pending());
        }
        // The peer has closed: "return code from read = 0" fails the circuit.
        wq_GIOP::MessageHeader h{};
        int r = 0;
        for (int i = 0; i < 500 && (r = c->receive(s, h, e.w)) == wq_MsgCircuit::Incomplete; ++i) {
            pollfd pf{net->fd(), POLLIN, 0};
            ::poll(&pf, 1, 10);
        }
        EXPECT_EQ(r, 0);
        EXPECT_EQ(e.minor(), 0x51570082u);
        EXPECT_STREQ(e.text(), "return code from read = 0");
        EXPECT_EQ(c->state(), uint32_t(wq_MsgCircuit::Failed));
        c->_remove_ref();
    }
}
