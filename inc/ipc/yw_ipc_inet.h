/*
 * Socket family of the IPC transports (TCP and UDP channels): the part both
 * transports share (sides, the connection's descriptor, buffered send and
 * receive, frame checks) and the two socket tasks "INET_TX" and "INET_RX".
 *
 * A channel's socket is held in a small counted record: every thread that
 * uses it (senders, the receive task, the transmit task) takes a reference,
 * so a socket that is dropped meanwhile is shut down at once but closed only
 * when its last user lets go; its number is never reused under a user.
 */
#ifndef YW_IPC_INET_H
#define YW_IPC_INET_H

#include <atomic>
#include <mutex>
#include <netinet/in.h>

#include "ipc/yw_ipc.h"

#define YW_IPC_INET_MAX (YW_IPC_MAX / 2)
#define CONFIG_INET_TX_IDLE_TIMEOUT 2000000000LL
#define CONFIG_INET_POLLING_TIME 2000000000LL
/* INET_TX looks again this often at messages it could not send yet */
#define CONFIG_INET_TX_RETRY 20000000LL
/* INET_RX looks again this often at channels waiting for receive room */
#define CONFIG_INET_RX_ROOM_RETRY 20000000LL
/* A direct send waits at most this long for room on the socket */
#define CONFIG_INET_SEND_WAIT_MS 5000
/* A buffered UDP receive side keeps each datagram's source before it in
 * the ring: IPv4 address and port, padded to 8 bytes */
#define YW_IPC_INET_SOURCE_SIZE 8
/* "127.255.255.255:65535" and its terminator */
#define YW_IPC_INET_ADDR_TEXT 24

/* family and task status bits */
#define YW_IPC_INET_STATUS_INIT    0x1
#define YW_IPC_INET_STATUS_STARTED 0x2

/* One socket descriptor shared by its users. */
typedef struct yw_ipc_inet_sock {
    int fd;
    std::atomic<int> refs;
    YW_uint64_t serial; /* one number per connection, never reused */
} YW_ipc_inet_sock_t;

/* One side of a socket channel: descriptor array, storage, FIFO and ring of
 * a buffered side; the scratch frame of an unbuffered framed one. */
typedef struct yw_ipc_inet_side {
    YW_ipc_buffer_descriptor_t *list;
    YW_uint8_t *data;
    YW_ipc_fifo_t fifo;
    YW_ipc_buffer_t buffer;
    YW_event_q_t *event_q; /* not used */
    int buffered;
} YW_ipc_inet_side_t;

/* Frame reassembly of a byte stream. */
typedef struct yw_ipc_frame_rx_context {
    int status;         /* 0 reading the header, 1 the body, 2 frame complete */
    YW_int64_t offset;  /* bytes held */
    YW_int64_t length;  /* frame length from the header */
    YW_uint8_t *data;   /* reassembly area */
    YW_int64_t size;    /* bytes of the area */
} YW_ipc_frame_rx_context_t;

/* The part of a TCP or UDP transport object that both share (first member
 * of each, so the socket tasks reach it through the channel's priv). */
typedef struct yw_ipc_inet {
    const char *name;
    YW_ipc_inet_side_t tx;
    YW_ipc_inet_side_t rx;
    YW_ipc_frame_rx_context_t rx_frame_context;
    YW_int64_t frame_size;  /* the channel's frame size */
    int isTcp;
    int released;           /* set by release: nothing reconnects any more */
    std::mutex lock;        /* sock, reconnecting */
    YW_ipc_inet_sock_t *sock;
    std::mutex txlock;      /* one frame on the wire at a time */
    std::mutex rxlock;      /* receive state */
    YW_int64_t txDone;      /* INET_TX: bytes of the oldest message sent on ... */
    YW_uint64_t txSerial;   /* ... this connection */
    std::atomic<int> rxWaitRoom; /* INET_RX waits for room in the receive ring */
    YW_uint8_t *scratch;    /* one datagram (UDP framed direct receive) */
    YW_uint8_t *txScratch;  /* a small frame is built here and sent in one piece (under txlock) */
    YW_int64_t txScratchSize;
    void (*onDrop)(YW_ipc_t *ipc); /* after the socket was dropped (TCP client: reconnect) */
    struct sockaddr_in rxFrom; /* UDP: source of the message last received (under lock) */
    int rxFromSet;
    std::atomic<YW_uint64_t> foreign; /* UDP: datagrams dropped for their source */
} YW_ipc_inet_t;

/* Transmit task context. */
typedef struct yw_ipc_inet_tx_ctx {
    std::atomic<int> status;
    YW_task_t *task;
    YW_event_q_t *eventq;
    YW_int64_t timeout;
    YW_ipc_t *ipc_list[YW_IPC_INET_MAX];
    int ipc_count;
    YW_task_cfg_t *cfg;
} YW_ipc_inet_tx_ctx_t;

/* Receive task context: the registered channels, each with the socket it
 * was registered with (a reference), and the doorbell by which the task
 * learns of a new registration at once. */
typedef struct yw_ipc_inet_rx_ctx {
    std::atomic<int> status;
    YW_task_t *task;
    YW_int64_t timeout;
    YW_ipc_t *ipc_list[YW_IPC_INET_MAX];
    int ipc_count;
    int nfds;
    YW_ipc_inet_sock_t *socks[YW_IPC_INET_MAX];
    YW_uint32_t gens[YW_IPC_INET_MAX]; /* the channels' generations */
    int wakefd;
    YW_task_cfg_t *cfg;
} YW_ipc_inet_rx_ctx_t;

extern "C" {

extern YW_ipc_inet_tx_ctx_t YW_g_ipc_inet_tx_ctx;
extern YW_ipc_inet_rx_ctx_t YW_g_ipc_inet_rx_ctx;

YW_ret_t YW_ipc_inet_init(void);
YW_ret_t YW_ipc_inet_deinit(void);
YW_ret_t YW_ipc_inet_start(void);
YW_ret_t YW_ipc_inet_stop(void);
void *YW_ipc_inet_send_task(void *ctx);
void *YW_ipc_inet_recv_task(void *ctx);
YW_size_t YW_ipc_inet_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_ret_t YW_ipc_inet_recv_poll(YW_ipc_t *ipc);

/* registration of a channel's socket with "INET_RX" (a reference is kept) */
YW_ret_t YW_ipc_inet_register(YW_ipc_t *ipc, YW_ipc_inet_sock_t *sock);
void YW_ipc_inet_unregister(YW_ipc_t *ipc);
/* the same, only while the channel is registered with that socket */
void YW_ipc_inet_unregisterSock(YW_ipc_t *ipc, YW_ipc_inet_sock_t *sock);
/* tells "INET_TX" that a channel has messages to send */
YW_ret_t YW_ipc_inet_kickTx(YW_ipc_t *ipc);
/* wakes "INET_RX" (receive room came free, the registrations changed) */
void YW_ipc_inet_kickRx(void);
/* what "INET_RX" does for one channel whose socket s is readable (the
 * caller holds the channel): one of YW_INET_RX_* */
enum { YW_INET_RX_OK = 0, YW_INET_RX_WAIT_ROOM = 1, YW_INET_RX_DROPPED = 2 };
int YW_ipc_inet_pollSock(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s);

/* ---- shared by the TCP and UDP transports ---- */

YW_ipc_inet_t *YW_ipc_inet_of(YW_ipc_t *ipc);
/* builds the sides and areas of a transport object from the channel's
 * configuration; -956 when memory cannot be had, -953 for bad sizes */
YW_ret_t YW_ipc_inet_build(YW_ipc_t *ipc, YW_ipc_inet_t *o, int isTcp);
void YW_ipc_inet_free(YW_ipc_inet_t *o);
/* the channel's frame size: the transmit side's with TX, else the receive side's */
YW_int64_t YW_ipc_inet_frameSize(const YW_ipc_cfg_t *cfg);

YW_ipc_inet_sock_t *YW_ipc_inet_sockNew(int fd);
YW_ipc_inet_sock_t *YW_ipc_inet_sockGet(YW_ipc_inet_t *o);
void YW_ipc_inet_sockPut(YW_ipc_inet_sock_t *s);
/* makes fd the channel's socket (an earlier one is dropped), sets the up
 * bits and registers what "INET_RX" serves; the caller holds the channel */
YW_ret_t YW_ipc_inet_attach(YW_ipc_t *ipc, int fd);
/* drops the channel's socket when it is still s (any when s is null):
 * shut down, unregistered, up bits cleared; then onDrop unless released */
void YW_ipc_inet_drop(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s);
YW_ret_t YW_ipc_inet_release(YW_ipc_t *ipc);

/* the send operation of both transports: buffered, framed direct or direct
 * by the channel's flags */
YW_size_t YW_ipc_inet_send(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_inet_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_inet_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size);
/* sends one message directly (framed: header, payload and trailer) on the
 * channel's socket, whole or not at all; the result is size or a code */
YW_size_t YW_ipc_inet_send_now(YW_ipc_t *ipc, const void *data, YW_size_t size, int framed);
/* 1 when the frame header at p is acceptable for the channel, else 0 */
int YW_ipc_inet_frameOk(YW_ipc_inet_t *o, const void *p, YW_int64_t have);
YW_ret_t YW_ipc_inet_onEvent(YW_ipc_t *ipc);
/* the control operation of both transports: the source of the message last
 * received (YW_IPC_CMD_GET_RX_SOURCE; a TCP channel's peer), else the
 * common commands */
YW_ret_t YW_ipc_inet_control(YW_ipc_t *ipc, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2);
/* 1 when a datagram from `from` may be taken by the channel: it names no
 * remote IP, or `from` is that IP (and port, where one is configured). Any
 * other is counted (rx.rcverr) and dropped, with a line for the 1st, 2nd,
 * 4th, 8th ... of them; 0 then. */
int YW_ipc_inet_fromRemote(YW_ipc_t *ipc, const struct sockaddr_in *from);
/* "a.b.c.d:port" of an IPv4 address into buf (YW_IPC_INET_ADDR_TEXT bytes) */
const char *YW_ipc_inet_addrText(const struct sockaddr_in *a, char *buf);

} // extern "C"

#endif
