// Endpoint strings ("scheme:" or "scheme://" then the transport's address),
// the registry of endpoint validators and the registries of transport plug-in
// factories: acceptors (listening), circuits (connected byte streams) and
// collectors (consumers of accepted circuits). Plug-ins register from static
// initialisers; nothing here is locked.
#pragma once

#include <atomic>
#include <cstdint>

// Position just after ":", ":/" or "://" of the first scheme; 0 when a ","
// or the end comes before any ':'.
uint32_t wq_addr_index(char const *text);
// Scheme match: the same pointer, or equal characters up to ':' or the end
// in both strings.
bool wq_scheme_match(char const *scheme, char const *endpoint);

class wq_EndpointRegistry {
public:
    struct FunctionPtrs {
        bool (*is_well_formed)(char const *address);
        char const *(*why_not_well_formed)(char const *address);
        bool (*is_valid)(char const *address);
        char const *(*why_not_valid)(char const *address);
    };
    static const FunctionPtrs No_Functions;

    // The caller keeps ownership of `functions`.
    static void _register(const FunctionPtrs *functions, char const *scheme);
    static const FunctionPtrs *lookup(char const *endpoint);

    struct Node {
        Node *next;
        char const *scheme;
        const FunctionPtrs *functions;
    };
    static Node *the_registry;
    static uint32_t wq_num_transports;
};

struct wq_Endpoint {
    static bool is_well_formed(char const *endpoint);
    static bool is_valid(char const *endpoint);
    static char const *why_not_well_formed(char const *endpoint);
    static char const *why_not_valid(char const *endpoint);
};

class wq_NetCircuit;
class wq_NetAcceptor;
class wq_NetCollector;
class wq_NetCollectorFactory;
typedef void (*wq_NetCircuitReleasor)(wq_NetCircuit *);
typedef void (*wq_NetAcceptorReleasor)(wq_NetAcceptor *);
typedef void (*wq_NetCollectorReleasor)(wq_NetCollector *);

// A connected byte stream.
class wq_NetCircuit {
public:
    virtual ~wq_NetCircuit();
    // Bytes read, 0 on orderly close, -1 on error (last_read_error set).
    virtual long read(void *buffer, unsigned long length) = 0;
    // Bytes written, 0 or -1 as for read (last_write_error set).
    virtual long write(const void *buffer, unsigned long length) = 0;
    virtual void shutdown(bool graceful) = 0;
    virtual bool is_reliable() { return true; }
    virtual uint32_t max_msg_size() { return 0; }
    virtual char const *get_peer_endpoint() { return nullptr; }
    virtual wq_NetCircuitReleasor get_releasor() = 0;
    // A descriptor that polls readable when input (or the end) is there, for
    // waiting on many idle circuits at once; -1 when the transport has none
    // (its circuits are then read by blocking).
    virtual int poll_fd() const { return -1; }

    char const *endpoint() const { return endpoint_; }
    // Replaces the endpoint text with a copy (null clears).
    void endpoint(char const *text);
    int last_read_error = 0;
    int last_write_error = 0;
    // Set by a transport with a poll descriptor when its last read ended
    // with nothing more to read (it returned less than asked, or the end).
    bool read_drained = false;
    // Monotonic instants (wq_monotonic_ms) by which a read or a write call
    // must be done, 0 for none. A transport that honours them fails a call
    // still waiting then with ETIMEDOUT. Each is set by the one thread that
    // reads or writes the circuit.
    int64_t read_deadline_ms = 0;
    int64_t write_deadline_ms = 0;
    // When set, the next read may first wait this long (ms) for input, in
    // the read itself, and fails with ETIMEDOUT when none came; the read
    // clears it. A transport that cannot wait so reads as without it.
    int read_wait_ms = 0;
    // An accepted connection counts in its acceptor's gauge while input (or
    // its end) waits unread on it, whenever that input came: set by the
    // acceptor before it hands the circuit on.
    std::atomic<int32_t> *unread_gauge = nullptr;
    // Input waits to be read (it came with the connection, or its poller
    // found it): counted once until it is taken up. A connection from which
    // a whole message has been read counts no more: its client has been
    // served, and its next calls do not keep new clients out.
    void input_waits()
    {
        if (unread_gauge && !served_.load(std::memory_order_relaxed) &&
            !unread_counted_.exchange(true, std::memory_order_acq_rel))
            unread_gauge->fetch_add(1, std::memory_order_acq_rel);
    }
    // A whole message has been read from the connection.
    void message_read() { served_.store(true, std::memory_order_relaxed); }
    // The connection's input is being read (by the one thread that reads
    // it), or the connection goes: it leaves the gauge.
    void taken_up()
    {
        if (unread_counted_.load(std::memory_order_acquire) &&
            unread_counted_.exchange(false, std::memory_order_acq_rel))
            unread_gauge->fetch_sub(1, std::memory_order_acq_rel);
    }

protected:
    wq_NetCircuit() = default;
    char *endpoint_ = nullptr;

private:
    std::atomic<bool> unread_counted_{false};
    std::atomic<bool> served_{false};
};

// A listening end point.
class wq_NetAcceptor {
public:
    virtual ~wq_NetAcceptor();
    virtual void shutdown(bool graceful) = 0;
    virtual wq_NetAcceptorReleasor get_releasor() = 0;
    char const *endpoint() const { return endpoint_; }
    void endpoint(char const *text);

protected:
    wq_NetAcceptor() = default;
    char *endpoint_ = nullptr;
};

// Consumer of an accepted circuit.
class wq_NetCollector {
public:
    virtual ~wq_NetCollector();
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void stop() = 0;
    virtual wq_NetCollectorReleasor get_releasor() = 0;
};

class wq_NetAcceptorFactory {
public:
    virtual wq_NetAcceptor *create(char const *endpoint, char const *qos,
                                   wq_NetCollectorFactory *collectors, void *flows, int) = 0;
    virtual ~wq_NetAcceptorFactory();
    static wq_NetAcceptorFactory *lookup(char const *endpoint);
    // Releases through the acceptor's own releasor and nulls the pointer.
    static void release(wq_NetAcceptor *&acceptor);

protected:
    explicit wq_NetAcceptorFactory(char const *scheme);
};

class wq_NetCircuitFactory {
public:
    // A connected circuit, or null.
    virtual wq_NetCircuit *initiate_connection(char const *endpoint, char const *qos, int) = 0;
    virtual ~wq_NetCircuitFactory();
    static wq_NetCircuitFactory *lookup(char const *endpoint);
    static void release(wq_NetCircuit *circuit);

protected:
    explicit wq_NetCircuitFactory(char const *scheme);
};

class wq_NetCollectorFactory {
public:
    virtual wq_NetCollector *create(wq_NetCircuit *circuit, void *flows, bool) = 0;
    virtual ~wq_NetCollectorFactory();
    static wq_NetCollectorFactory *lookup(char const *endpoint);
    static void release(wq_NetCollector *collector);

protected:
    explicit wq_NetCollectorFactory(char const *scheme);
};

// A registry node of one of the factory registries.
template <class F> struct wq_FactoryNode {
    wq_FactoryNode *next;
    F *factory;
    char *scheme;
};
extern wq_FactoryNode<wq_NetAcceptorFactory> *wq_NetAcceptor_factory_registry;
extern wq_FactoryNode<wq_NetCircuitFactory> *wq_NetCircuit_factory_registry;
extern wq_FactoryNode<wq_NetCollectorFactory> *wq_NetCollector_factory_registry;

// TCP: the circuit over a connected socket and its factory (scheme "tcp").
class wq_NetCircuitTCP : public wq_NetCircuit {
public:
    explicit wq_NetCircuitTCP(int fd = -1) : fd_(fd) {}
    ~wq_NetCircuitTCP() override;
    long read(void *buffer, unsigned long length) override;
    long write(const void *buffer, unsigned long length) override;
    void shutdown(bool graceful) override;
    char const *get_peer_endpoint() override;
    wq_NetCircuitReleasor get_releasor() override;
    int poll_fd() const override { return fd_; }
    // Connects to host:port applying the QoS text (nodelay, rcvbuf, sndbuf,
    // linger); false on failure.
    bool connect(char const *host, uint16_t port, char const *qos);
    int fd() const { return fd_; }

private:
    int fd_;
    // The receive time-out set on the socket (ms, 0: none).
    int rcv_timeout_ms_ = 0;
    char peer_[64] = {};
};

class wq_NetCircuitTCPFactory : public wq_NetCircuitFactory {
public:
    wq_NetCircuitTCPFactory() : wq_NetCircuitFactory("tcp") {}
    wq_NetCircuit *initiate_connection(char const *endpoint, char const *qos, int) override;
    static void release_circuit(wq_NetCircuit *circuit);
};

// Milliseconds of the monotonic clock.
int64_t wq_monotonic_ms();

// Splits the address of a "tcp:host:port" or "tcp://host:port" endpoint (up
// to ',' or blank or the end). The port must be 1..65535. False when
// malformed; the host (possibly empty) is copied into host[0..size).
bool wq_tcp_split(char const *endpoint, char *host, uint32_t size, uint16_t &port);

// Does nothing: the broker's own transports (TCP) register from their static
// initialiser; every lookup calls this so that they are always linked in.
void wq_builtin_transports();

// Writes the part of an IIOP-like profile body that a scheme's coder owns.
namespace CORBA { class Stream; }
typedef uint32_t (*wq_Coder)(CORBA::Stream &body, char const *endpoint, uint32_t length, char end);

struct wq_CoderRegistry {
    static void _register(char const *scheme, wq_Coder coder, uint32_t tag);
    static wq_Coder lookup(char const *endpoint);
    // True when `tag` is the profile tag of a registered coder.
    static bool is_coder_tag(uint32_t tag);
};

// The connection log (level 1 and above) and the GIOP log (level 2).
struct wq_CircuitLog {
    static void log_connect(char const *endpoint);
    static void log_connect_failure(char const *endpoint);
    static void log_accept();
    static void log_abnormal_disconnect(int error);
    static void log_disconnect();
};

struct wq_GIOPLog {
    // direction 0 incoming, 1 outgoing.
    static void log_request(int direction, uint32_t id, char const *operation,
                            const unsigned char *key, uint32_t key_length, char const *peer);
    static void log_reply(int direction, uint32_t id, uint32_t status, char const *peer);
    static void log_locate_request(int direction, uint32_t id, const unsigned char *key,
                                   uint32_t key_length, char const *peer);
    static void log_locate_reply(int direction, uint32_t id, uint32_t status, char const *peer);
};

class wq_TargetFactory;
struct wq_Protocols {
    // Creates the IIOP and servant target factories once; returns 1.
    static int _initialize_giop();
    static bool _giop_initialized;
};
extern wq_TargetFactory *wq_target_iiop_factory;
extern wq_TargetFactory *wq_target_servant_factory;
// Creates the servant (collocated) target factory; installed by the object
// adapter, null until then.
extern wq_TargetFactory *(*wq_make_servant_factory)();
