// Test scaffolding: a loopback TCP peer served by a thread, socket helpers with bounded waits,
// and a private install root.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Listens on 127.0.0.1 (or ::1) port 0 and serves up to `connections` accepted connections,
// one after another, with `serve`; each is closed when `serve` returns. Accepting gives up
// after 10 seconds. The destructor joins the thread.
class loopback_peer {
public:
    explicit loopback_peer(std::function<void(int fd)> serve, int connections = 1,
                           bool ipv6 = false);
    ~loopback_peer();
    loopback_peer(const loopback_peer &) = delete;
    loopback_peer &operator=(const loopback_peer &) = delete;

    bool listening() const { return listener_ >= 0; }
    int port() const { return port_; }
    // Waits for the serving thread to finish.
    void join();

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Connects to 127.0.0.1:`port`; -1 on failure.
int connect_loopback(int port);

// Sends all of `bytes`; false on failure.
bool send_bytes(int fd, const void *bytes, size_t length);
inline bool send_bytes(int fd, const std::vector<uint8_t> &bytes) {
    return send_bytes(fd, bytes.data(), bytes.size());
}

// Receives exactly `length` bytes within `seconds`; returns the count received.
size_t recv_bytes(int fd, void *buffer, size_t length, int seconds = 10);

// Waits up to `seconds` for the other side to close, discarding what it sends.
void wait_for_close(int fd, int seconds = 10);

// A framed reply: magic, `length` (24-bit), error flag, error code and `body` after 24 bytes.
// `length` is written as given; the vector holds max(24, 24 + body) bytes.
std::vector<uint8_t> make_reply(uint32_t length, const std::vector<uint8_t> &body = {},
                                uint8_t error_flag = 0, uint16_t error_code = 0);

// A port that nothing listens on (bound once, then released).
int unused_port();

// A temporary install root: KXFSROOT points at it, its config directory exists, and install
// paths are re-read. Everything is removed again at destruction.
class private_root {
public:
    private_root();
    ~private_root();
    private_root(const private_root &) = delete;
    private_root &operator=(const private_root &) = delete;

    const std::string &config_dir() const { return config_; }
    void write_config(const std::string &name, const std::string &text) const;

private:
    std::string root_;
    std::string config_;
};

// Seconds elapsed since `start` (steady clock).
double seconds_since(std::chrono::steady_clock::time_point start);
