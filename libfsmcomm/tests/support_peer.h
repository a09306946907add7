// Test scaffolding: loopback TCP peers served by a thread, socket helpers with bounded waits,
// framed replies, scripted request/answer peers, a private install root and a captured log.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using bytes = std::vector<uint8_t>;

// Listens on 127.0.0.1 (or ::1) port 0 and serves up to `connections` accepted connections, one
// after another, with `serve`; each is closed when `serve` returns. Accepting gives up after 10
// seconds. The destructor joins the thread.
class loopback_peer {
public:
    explicit loopback_peer(std::function<void(int fd)> serve, int connections = 1,
                           bool ipv6 = false);
    ~loopback_peer();
    loopback_peer(const loopback_peer &) = delete;
    loopback_peer &operator=(const loopback_peer &) = delete;

    bool listening() const { return listener_ >= 0; }
    int port() const { return port_; }
    void join();

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Connects to 127.0.0.1:`port`; -1 on failure.
int connect_loopback(int port);

bool send_bytes(int fd, const void *data, size_t length);
inline bool send_bytes(int fd, const bytes &data) {
    return send_bytes(fd, data.data(), data.size());
}

// Receives exactly `length` bytes within `seconds`; returns the count received.
size_t recv_bytes(int fd, void *buffer, size_t length, int seconds = 10);

// Waits up to `seconds` for the other side to close, discarding what it sends.
void wait_for_close(int fd, int seconds = 10);

// A framed reply: magic, `length` (24-bit, written as given), error flag, error code and `body`
// after 24 bytes; the vector holds 24 + body bytes.
bytes make_reply(uint32_t length, const bytes &body = {}, uint8_t error_flag = 0,
                 uint16_t error_code = 0);

// Sends `message` sized to `length` (at least 24 bytes) and framed like make_reply.
void send_framed(int fd, bytes message, uint32_t length = 1024, uint8_t error_flag = 0,
                 uint16_t error_code = 0);

// Reads one framed request (an unframed one is 1024 bytes) within 10 seconds; empty on failure.
bytes read_request(int fd);

// A 1024-byte port-mapper reply body with the request's command bytes echoed.
bytes pm_reply_to(const bytes &request);

// Answers a port-mapper request with "not supported" (flag 255, code 1).
void refuse(int fd, const bytes &request);

// Serves one agent exchange: greeting, query, reply naming `name_server_port`.
void serve_agent(int fd, int name_server_port);

using answer_fn = std::function<void(int fd, const bytes &request, int number)>;

// Runs `requests` exchanges of one connection with `answer`, recording the requests in `seen`.
std::unique_ptr<loopback_peer> serve(int requests, std::vector<bytes> *seen, answer_fn answer);

// A connected scripted peer: `fd` talks to a serve() of `requests` exchanges.
struct fsm_peer {
    std::vector<bytes> seen;
    std::unique_ptr<loopback_peer> peer;
    int fd = -1;
    fsm_peer(int requests, answer_fn answer);
    ~fsm_peer() { finish(); }
    // Closes `fd` and waits for the peer to end, so that `seen` is complete.
    void finish();
};

// A port that nothing listens on (bound once, then released).
int unused_port();

// A temporary install root: KXFSROOT points at it, its config directory exists, and install paths
// are re-read. Everything is removed again at destruction.
class private_root {
public:
    private_root();
    ~private_root();
    private_root(const private_root &) = delete;
    private_root &operator=(const private_root &) = delete;

    const std::string &config_dir() const { return config_; }
    void write_config(const std::string &name, const std::string &text) const;
    // Points the port-mapper lookup at an agent on `port` (fsports file, cache reset).
    void use_agent_port(int port) const;

private:
    std::string root_;
    std::string config_;
};

// Sets TIMEDWAIT_VALUE for its lifetime (unset: the default reply time-out).
struct reply_timeout {
    explicit reply_timeout(const char *seconds = nullptr);
    ~reply_timeout();
};

// Captures the system log (code, text) for its lifetime.
struct syslog_capture {
    syslog_capture();
    ~syslog_capture();
    std::vector<std::string> texts() const;
    std::vector<std::pair<int, std::string>> lines;
};

double seconds_since(std::chrono::steady_clock::time_point start);
