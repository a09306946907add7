#include "support_peer.h"

#include "libfsmcomm/fsmcomm.h"
#include "libfsmcomm/wire.h"
#include "libutil/install_paths.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

} // namespace

loopback_peer::loopback_peer(std::function<void(int fd)> serve, int connections, bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length;
    if (ipv6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(fd);
        return;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    listener_ = fd;
    thread_ = std::thread([this, serve, connections] {
        for (int i = 0; i < connections; ++i) {
            if (!wait_readable(listener_, 10000))
                return;
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            serve(client);
            close(client);
        }
    });
}

loopback_peer::~loopback_peer() {
    join();
    if (listener_ >= 0)
        close(listener_);
}

void loopback_peer::join() {
    if (thread_.joinable())
        thread_.join();
}

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_bytes(int fd, const void *bytes, size_t length) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

size_t recv_bytes(int fd, void *buffer, size_t length, int seconds) {
    auto *p = static_cast<uint8_t *>(buffer);
    size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (received < length && std::chrono::steady_clock::now() < deadline) {
        if (!wait_readable(fd, 100))
            continue;
        ssize_t n = recv(fd, p + received, length - received, 0);
        if (n <= 0)
            break;
        received += static_cast<size_t>(n);
    }
    return received;
}

void wait_for_close(int fd, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char scratch[256];
    while (std::chrono::steady_clock::now() < deadline) {
        if (!wait_readable(fd, 100))
            continue;
        if (recv(fd, scratch, sizeof scratch, 0) <= 0)
            return;
    }
}

std::vector<uint8_t> make_reply(uint32_t length, const std::vector<uint8_t> &body,
                                uint8_t error_flag, uint16_t error_code) {
    std::vector<uint8_t> reply(24 + body.size(), 0);
    memcpy(reply.data(), frame_magic, sizeof frame_magic);
    put_be24(&reply[5], length);
    reply[11] = error_flag;
    put_be16(&reply[14], error_code);
    if (!body.empty())
        memcpy(reply.data() + 24, body.data(), body.size());
    return reply;
}

int unused_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

private_root::private_root() {
    char pattern[] = "/tmp/fsmcomm-test-XXXXXX";
    root_ = mkdtemp(pattern);
    config_ = root_ + "/config";
    std::filesystem::create_directories(config_);
    setenv("KXFSROOT", root_.c_str(), 1);
    unsetenv("KXFSCONF");
    install_paths_reset_for_tests();
}

private_root::~private_root() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    unsetenv("KXFSROOT");
    install_paths_reset_for_tests();
}

void private_root::write_config(const std::string &name, const std::string &text) const {
    std::ofstream(config_ + "/" + name) << text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
