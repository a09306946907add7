// Message transport: framing of requests and replies, the send-and-wait exchange, exact and
// timed receives, blocking connects and the port-mapper agent's service port lookup. Plain
// functions over a socket handle and caller buffers; failures come back as transport error
// values (platform_error.h).
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Process-wide request sequence; each fsm_msg_init stamps the next value (the first is 1).
extern std::atomic<uint32_t> sequence_counter;

// ---- Message framing (byte buffers only, no sockets) ----

// Writes frame_magic and the 24-bit `length` into bytes 0-7.
void msg_header_frame(void *message, uint32_t length);

// 1 when bytes 0-4 are frame_magic.
int msg_header_has_magic(const void *message);

// Total length from bytes 5-7.
uint32_t msg_header_length(const void *message);

// Reply error flag (byte 11) and error code (bytes 14-15).
int msg_reply_error_flag(const void *message);
int msg_reply_error_code(const void *message);

// 1 when the reply says the peer does not support the request (flag 255, code 1).
int msg_reply_not_supported(const void *message);

// Prepares an FSM request header: class 2, `type`, big-endian `argument`, next sequence value.
// Bytes 0-7 are left for fsm_send_and_wait.
void fsm_msg_init(void *message, int type, int argument);

// ---- Port-mapper agent records (32 bytes, big-endian words) ----

constexpr int AGENT_DEFAULT_PORT = 5164;
constexpr int AGENT_RECORD_SIZE = 32;
constexpr uint32_t AGENT_GREETING = 0x61700001; // "ap", 0x00, 0x01
constexpr uint32_t AGENT_QUERY = 0x61700002;
constexpr uint32_t AGENT_REPLY = 0x61700003;

// The name server as a service of the agent: tag "KXFS", number 47, version 6.
constexpr uint32_t NAME_SERVER_SERVICE_TAG = 0x4B584653;
constexpr uint32_t NAME_SERVER_SERVICE_NUMBER = 47;
constexpr uint32_t NAME_SERVER_SERVICE_VERSION = 6;

// 1 when `record` is a greeting: AGENT_GREETING at 0 and a version word of at least 1 at 4.
int agent_greeting_valid(const uint8_t *record);

// Writes the query for a service into the 32 bytes of `record`.
void agent_query_build(uint8_t *record, uint32_t service_tag, uint32_t service_number,
                       uint32_t service_version);

// The port of a reply record (big-endian 16 bits at offset 6), 0 when `record` is no reply.
int agent_reply_port(const uint8_t *record);

// ---- Exchanges over a socket ----

// Reply time-out in milliseconds: -1 (no limit) when `timed` is 0, else TIMEDWAIT_VALUE
// seconds when that variable holds a decimal value above 0, else 30 000. Read on every call.
int fsm_reply_timeout_ms(int timed);

// Frames and sends `send_length` bytes of `message`, then reads the reply into the same buffer,
// storing at most `capacity` bytes (an excess is read and dropped). Returns 0, or -1 with
// `error_out` set: the last system error of a failed send, wait or receive; 10060 without a
// reply in time; 10054 for a short header or body; 22 for a bad frame; the reply's error code
// when its error flag is set. Whatever arrived stays in `message`.
int fsm_send_and_wait(kx_socket socket, void *message, int send_length, int capacity,
                      int *error_out, int timed);

// Sends all `length` bytes (no SIGPIPE). Returns `length`, or -1 with the thread's last system
// error set.
int sock_send_all(kx_socket socket, const void *buffer, int length);

// Receives exactly `length` bytes. Returns `length`, the count received before the peer
// closed, or -1 with the thread's last system error set. A `length` below 1 returns 0.
int sock_recv_all(kx_socket socket, void *buffer, int length);

// Receives exactly `length` bytes within `timeout_ms` in all (-1: no limit), for daemons whose
// answers are not framed. Returns `length`, the count received before the peer closed, or -1
// with the thread's last system error set: WSAETIMEDOUT when the time ran out.
int sock_recv_all_within(kx_socket socket, void *buffer, int length, int timeout_ms);

// Waits up to `seconds` for `socket` to become readable: positive readable, 0 time-out,
// negative error.
int sock_wait_readable(kx_socket socket, int seconds);

// Receives up to `length` bytes before `seconds` from now. Returns `length` when all arrived,
// the count so far when the peer closed or the deadline was reached between receives, 0 when a
// wait ran out, or a negative value on a failure.
int sock_recv_timed(kx_socket socket, int seconds, void *buffer, int length);

// Asks the port-mapper agent of `address` for the TCP port of a service; the agent port is the
// "altpmap" value of the fsports file, else 5164, read once per process. Returns the port, or
// 0 when it cannot be had (refused, silent or malformed agent).
int service_port_lookup(const host_addr *address, uint32_t service_tag, uint32_t service_number,
                        uint32_t service_version);

// Forgets the agent port so that the next lookup reads the fsports file again. Tests only.
void service_port_reset_for_tests();

// Blocking TCP connect. Returns the socket, or invalid_socket with `error_out` set to the
// system error.
kx_socket sock_connect_addr(const host_addr *address, int port, int *error_out);

// Text form of `address` ("10.1.2.3" for IPv4-mapped, standard IPv6 text otherwise), truncated
// within `size`. Returns `buffer`.
char *addr_to_string(const host_addr *address, char *buffer, size_t size);
