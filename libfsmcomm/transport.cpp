#include "libfsmcomm/transport.h"

#include "libfsmcomm/fsports.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/poll_set.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<uint32_t> sequence_counter{0};

namespace {

std::atomic<uint32_t> g_list_walk_limit{LIST_WALK_MAX_ENTRIES};

constexpr int kDefaultReplyTimeoutMs = 30000;
constexpr int kAgentConnectSeconds = 5;
constexpr int kAgentGreetingSeconds = 5;
constexpr int kAgentReplySeconds = 1;
constexpr int kDrainChunk = 8192;

std::atomic<int> g_agent_port{0}; // 0 until the first lookup

int agent_port() {
    int port = g_agent_port.load(std::memory_order_relaxed);
    if (port == 0) {
        int altpmap = 0;
        read_fsports(&altpmap);
        port = altpmap != 0 ? altpmap : AGENT_DEFAULT_PORT;
        g_agent_port.store(port, std::memory_order_relaxed);
    }
    return port;
}

// Socket address for `address`: IPv4 from bytes 12-15 when IPv4-mapped, else IPv6.
socklen_t make_sockaddr(const host_addr *address, int port, sockaddr_storage *storage) {
    memset(storage, 0, sizeof *storage);
    if (host_addr_is_ipv4(address)) {
        auto *in = reinterpret_cast<sockaddr_in *>(storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        memcpy(&in->sin_addr, address->bytes + 12, 4);
        return sizeof(sockaddr_in);
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    memcpy(&in6->sin6_addr, address->bytes, 16);
    return sizeof(sockaddr_in6);
}

// Waits for `socket` with a one-entry set; returns the wait result and the returned events.
int wait_socket(kx_socket socket, uint16_t events, int timeout_ms, uint16_t *revents) {
    poll_entry storage[4];
    poll_set set;
    pollset_init(&set, storage, 4);
    pollset_add(&set, socket, events);
    const int result = pollset_wait(&set, timeout_ms);
    *revents = pollset_revents(&set, socket);
    return result;
}

int seconds_to_ms(int seconds) {
    if (seconds < 0)
        return -1;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

// Why recv_until stopped.
enum class recv_end { complete, closed, deadline_passed, wait_ran_out, not_a_socket, failed };

// Receives into `buffer` until `length` bytes arrived, the peer closed, the monotonic
// `deadline_us` (-1: none) passed or a wait or receive failed (last system error set).
// Returns the count received. With `data_expected` (the rest of a reply whose start arrived) the
// first receive is tried before any wait: it nearly always finds the bytes there, and a wait
// costs a system call per reply part.
int recv_until(kx_socket socket, void *buffer, int length, int64_t deadline_us, bool data_expected,
               recv_end *end) {
    uint8_t *b = static_cast<uint8_t *>(buffer);
    int received = 0;
    while (received < length) {
        if (data_expected) {
            data_expected = false;
            const ssize_t n =
                recv(socket, b + received, static_cast<size_t>(length - received), MSG_DONTWAIT);
            if (n > 0) {
                received += static_cast<int>(n);
                continue;
            }
            if (n < 0 && save_socket_error() == WSAEWOULDBLOCK)
                continue; // not there yet: wait for it below
            // Closed or failed: the waiting receive below reports it.
        }
        int wait_ms = -1;
        if (deadline_us >= 0) {
            const int64_t now = monotonic_us();
            if (now >= deadline_us) {
                *end = recv_end::deadline_passed;
                return received;
            }
            wait_ms = static_cast<int>(std::min<int64_t>((deadline_us - now) / 1000, INT_MAX));
        }
        uint16_t revents = 0;
        const int result = wait_socket(socket, POLLSET_READABLE, wait_ms, &revents);
        if (result < 0 && last_system_error() == WSAEINTR)
            continue;
        if (result < 0) {
            *end = recv_end::failed;
            return received;
        }
        if ((revents & POLLSET_READABLE) == 0) {
            *end = revents == 0 ? recv_end::wait_ran_out : recv_end::not_a_socket;
            return received;
        }
        const ssize_t n = recv(socket, b + received, static_cast<size_t>(length - received), 0);
        if (n == 0) {
            *end = recv_end::closed;
            return received;
        }
        if (n < 0) {
            const int error = save_socket_error();
            if (error == WSAEINTR || error == WSAEWOULDBLOCK)
                continue;
            *end = recv_end::failed;
            return received;
        }
        received += static_cast<int>(n);
    }
    *end = recv_end::complete;
    return received;
}

int fail(int *error_out, int error) {
    *error_out = error;
    return -1;
}

int64_t deadline_after_ms(int timeout_ms) {
    return timeout_ms < 0 ? -1 : monotonic_us() + static_cast<int64_t>(timeout_ms) * 1000;
}

// Receives exactly `length` bytes of a reply before `deadline_us` (-1: none). 0, or -1 with
// `error_out` set: 10054 when the peer closed early, 10060 when the time ran out, else the
// system error.
int recv_reply_part(kx_socket socket, uint8_t *buffer, int length, int64_t deadline_us,
                    bool data_expected, int *error_out) {
    recv_end end;
    recv_until(socket, buffer, length, deadline_us, data_expected, &end);
    switch (end) {
    case recv_end::complete:
        return 0;
    case recv_end::closed:
        return fail(error_out, WSAECONNRESET);
    case recv_end::deadline_passed:
    case recv_end::wait_ran_out:
        return fail(error_out, WSAETIMEDOUT);
    case recv_end::not_a_socket:
        return fail(error_out, WSAENOTCONN);
    case recv_end::failed:
        break;
    }
    return fail(error_out, last_system_error());
}

// Reads and drops `excess` bytes so the stream stays on a message boundary. A peer that closes
// or fails meanwhile leaves the stored reply to be judged on its own (0); one that stalls past
// the deadline fails the exchange (-1, 10060).
int drain_excess(kx_socket socket, uint32_t excess, int64_t deadline_us, int *error_out) {
    uint8_t scratch[kDrainChunk];
    while (excess > 0) {
        const int chunk = static_cast<int>(std::min<uint32_t>(excess, sizeof scratch));
        if (recv_reply_part(socket, scratch, chunk, deadline_us, true, error_out) != 0) {
            if (*error_out == WSAETIMEDOUT)
                return -1;
            *error_out = 0;
            return 0;
        }
        excess -= static_cast<uint32_t>(chunk);
    }
    return 0;
}

} // namespace

uint32_t list_walk_limit() {
    return g_list_walk_limit.load(std::memory_order_relaxed);
}

void list_walk_limit_set_for_tests(uint32_t limit) {
    g_list_walk_limit.store(limit != 0 ? limit : LIST_WALK_MAX_ENTRIES, std::memory_order_relaxed);
}

void msg_header_frame(void *message, uint32_t length) {
    auto *header = static_cast<msg_header *>(message);
    memcpy(header->magic, frame_magic, sizeof frame_magic);
    put_be24(header->length, length);
}

int msg_header_has_magic(const void *message) {
    return memcmp(static_cast<const msg_header *>(message)->magic, frame_magic,
                  sizeof frame_magic) == 0;
}

uint32_t msg_header_length(const void *message) {
    return get_be24(static_cast<const msg_header *>(message)->length);
}

int msg_reply_error_flag(const void *message) {
    return static_cast<const msg_header *>(message)->error_flag;
}

int msg_reply_error_code(const void *message) {
    return get_be16(static_cast<const msg_header *>(message)->error_code);
}

int msg_reply_not_supported(const void *message) {
    return msg_reply_error_flag(message) == 255 && msg_reply_error_code(message) == 1;
}

void fsm_msg_init(void *message, int type, int argument) {
    auto *header = static_cast<msg_header *>(message);
    header->msg_class = 2;
    header->type = static_cast<uint8_t>(type);
    header->reserved = 0;
    header->error_flag = 0;
    put_be16(header->argument, static_cast<uint16_t>(argument));
    put_be16(header->error_code, 0);
    put_le64(header->sequence, ++sequence_counter);
}

int agent_greeting_valid(const uint8_t *record) {
    return get_be32(record) == AGENT_GREETING && get_be32(record + 4) >= 1;
}

void agent_query_build(uint8_t *record, uint32_t service_tag, uint32_t service_number,
                       uint32_t service_version) {
    memset(record, 0, AGENT_RECORD_SIZE);
    put_be32(record, AGENT_QUERY);
    put_be32(record + 4, service_tag);
    put_be32(record + 8, service_number);
    put_be32(record + 12, service_version);
}

int agent_reply_port(const uint8_t *record) {
    return get_be32(record) == AGENT_REPLY ? get_be16(record + 6) : 0;
}

int fsm_reply_timeout_ms(int timed) {
    if (timed == 0)
        return -1;
    const char *value = getenv("TIMEDWAIT_VALUE");
    if (value != nullptr) {
        const long seconds = strtol(value, nullptr, 10);
        if (seconds > 0)
            return seconds > INT_MAX / 1000 ? INT_MAX : static_cast<int>(seconds) * 1000;
    }
    return kDefaultReplyTimeoutMs;
}

int fsm_send_and_wait(kx_socket socket, void *message, int send_length, int capacity,
                      int *error_out, int timed) {
    KX_ASSERT(send_length >= MSG_HEADER_SIZE && send_length <= static_cast<int>(MSG_MAX_LENGTH),
              "fsmcomm");
    KX_ASSERT(capacity >= MSG_HEADER_SIZE, "fsmcomm");
    uint8_t *m = static_cast<uint8_t *>(message);
    auto *header = static_cast<msg_header *>(message);
    *error_out = 0;
    header->error_flag = 0;
    put_be16(header->error_code, 0);
    msg_header_frame(m, static_cast<uint32_t>(send_length));

    if (sock_send_all(socket, m, send_length) < 0)
        return fail(error_out, last_system_error());

    // One deadline for the whole reply, header, body and dropped excess alike: a reply that
    // stops half-way must not hold the caller any longer than a silent peer.
    const int64_t deadline = deadline_after_ms(fsm_reply_timeout_ms(timed));
    if (recv_reply_part(socket, m, MSG_HEADER_SIZE, deadline, false, error_out) != 0)
        return -1;
    if (!msg_header_has_magic(m))
        return fail(error_out, EINVAL);

    const uint32_t length = msg_header_length(m);
    const uint32_t stored = std::min<uint32_t>(length, static_cast<uint32_t>(capacity));
    const uint32_t excess = length - stored;
    if (stored > MSG_HEADER_SIZE &&
        recv_reply_part(socket, m + MSG_HEADER_SIZE, static_cast<int>(stored) - MSG_HEADER_SIZE,
                        deadline, true, error_out) != 0)
        return -1;
    if (drain_excess(socket, excess, deadline, error_out) != 0)
        return -1;

    if (msg_reply_error_flag(m) != 0)
        return fail(error_out, msg_reply_error_code(m));
    return 0;
}

int sock_send_all(kx_socket socket, const void *buffer, int length) {
    const uint8_t *data = static_cast<const uint8_t *>(buffer);
    for (int sent = 0; sent < length;) {
        const ssize_t n =
            send(socket, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            save_socket_error();
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return length;
}

int sock_recv_all(kx_socket socket, void *buffer, int length) {
    if (length < 1)
        return 0;
    uint8_t *b = static_cast<uint8_t *>(buffer);
    int received = 0;
    while (received < length) {
        const ssize_t n = recv(socket, b + received, static_cast<size_t>(length - received), 0);
        if (n > 0) {
            received += static_cast<int>(n);
            continue;
        }
        if (n == 0)
            return received;
        if (save_socket_error() != WSAEWOULDBLOCK)
            return -1;
        uint16_t revents = 0;
        if (wait_socket(socket, POLLSET_READABLE, -1, &revents) < 0)
            return -1;
        if (revents & ~POLLSET_READABLE) {
            set_last_system_error(WSAENOTCONN);
            return -1;
        }
        if (revents == 0)
            return -1;
    }
    return received;
}

int sock_recv_all_within(kx_socket socket, void *buffer, int length, int timeout_ms) {
    const int64_t deadline = deadline_after_ms(timeout_ms);
    recv_end end;
    const int received = recv_until(socket, buffer, length, deadline, false, &end);
    switch (end) {
    case recv_end::complete:
    case recv_end::closed:
        return received;
    case recv_end::deadline_passed:
    case recv_end::wait_ran_out:
        set_last_system_error(WSAETIMEDOUT);
        return -1;
    case recv_end::not_a_socket:
        set_last_system_error(WSAENOTSOCK);
        return -1;
    case recv_end::failed:
        break;
    }
    return -1;
}

int sock_wait_readable(kx_socket socket, int seconds) {
    for (;;) {
        uint16_t revents = 0;
        const int result = wait_socket(socket, POLLSET_READABLE, seconds_to_ms(seconds), &revents);
        if (result < 0 && last_system_error() == WSAEINTR)
            continue;
        return result;
    }
}

int sock_recv_timed(kx_socket socket, int seconds, void *buffer, int length) {
    if (length < 1)
        return length;
    recv_end end;
    const int received =
        recv_until(socket, buffer, length, monotonic_us() + static_cast<int64_t>(seconds) * 1000000,
                   false, &end);
    switch (end) {
    case recv_end::complete:
    case recv_end::closed:
    case recv_end::deadline_passed:
        return received;
    case recv_end::wait_ran_out:
    case recv_end::not_a_socket:
        return 0; // even when some bytes had arrived
    case recv_end::failed:
        break;
    }
    return -1;
}

int service_port_lookup(const host_addr *address, uint32_t service_tag, uint32_t service_number,
                        uint32_t service_version) {
    const int port = agent_port();
    const int family = host_addr_is_ipv4(address) ? AF_INET : AF_INET6;
    const kx_socket s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        save_socket_error();
        return 0;
    }
    int non_blocking = 1;
    if (ioctl(s, FIONBIO, &non_blocking) != 0) {
        save_socket_error();
        close(s);
        return 0;
    }
    sockaddr_storage agent;
    const socklen_t agent_length = make_sockaddr(address, port, &agent);
    if (connect(s, reinterpret_cast<const sockaddr *>(&agent), agent_length) != 0) {
        // Refused and every other failure but "under way" end the lookup at once.
        if (save_socket_error() != WSAEWOULDBLOCK ||
            sock_wait_readable(s, kAgentConnectSeconds) <= 0) {
            close(s);
            return 0;
        }
    }
    uint8_t record[AGENT_RECORD_SIZE];
    if (sock_recv_timed(s, kAgentGreetingSeconds, record, AGENT_RECORD_SIZE) < AGENT_RECORD_SIZE ||
        !agent_greeting_valid(record)) {
        close(s);
        return 0;
    }
    agent_query_build(record, service_tag, service_number, service_version);
    if (send(s, record, AGENT_RECORD_SIZE, MSG_NOSIGNAL) != AGENT_RECORD_SIZE ||
        sock_recv_timed(s, kAgentReplySeconds, record, AGENT_RECORD_SIZE) < AGENT_RECORD_SIZE) {
        close(s);
        return 0;
    }
    close(s);
    return agent_reply_port(record);
}

void service_port_reset_for_tests() {
    g_agent_port.store(0, std::memory_order_relaxed);
}

kx_socket sock_connect_addr(const host_addr *address, int port, int *error_out) {
    *error_out = 0;
    const kx_socket s =
        socket(host_addr_is_ipv4(address) ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *error_out = save_socket_error();
        return invalid_socket;
    }
    sockaddr_storage peer;
    const socklen_t peer_length = make_sockaddr(address, port, &peer);
    if (connect(s, reinterpret_cast<const sockaddr *>(&peer), peer_length) != 0) {
        *error_out = save_socket_error();
        close(s);
        return invalid_socket;
    }
    return s;
}

char *addr_to_string(const host_addr *address, char *buffer, size_t size) {
    if (size == 0)
        return buffer;
    const uint8_t *b = address->bytes;
    if (host_addr_is_ipv4(address)) {
        bounded_format(buffer, size, "%d.%d.%d.%d", b[12], b[13], b[14], b[15]);
        return buffer;
    }
    // inet_ntop of 16 bytes into 256 cannot run out of room, its only failure.
    char text[256];
    inet_ntop(AF_INET6, b, text, sizeof text);
    bounded_format(buffer, size, "%s", text);
    return buffer;
}
