#include "support_peer.h"

#include "libfsmcomm/fsmcomm.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
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

void put_frame(bytes &message, uint32_t length, uint8_t error_flag, uint16_t error_code) {
    msg_header_frame(message.data(), length);
    message[11] = error_flag;
    put_be16(&message[14], error_code);
}

syslog_capture *g_capture = nullptr;
syslog_hook_fn g_saved_hook = nullptr;

void capture_syslog(int code, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_capture->lines.emplace_back(code, text);
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

bool send_bytes(int fd, const void *data, size_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
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

bytes make_reply(uint32_t length, const bytes &body, uint8_t error_flag, uint16_t error_code) {
    bytes reply(24 + body.size(), 0);
    if (!body.empty())
        memcpy(reply.data() + 24, body.data(), body.size());
    put_frame(reply, length, error_flag, error_code);
    return reply;
}

void send_framed(int fd, bytes message, uint32_t length, uint8_t error_flag, uint16_t error_code) {
    message.resize(std::max<uint32_t>(length, 24));
    put_frame(message, length, error_flag, error_code);
    send_bytes(fd, message);
}

bytes read_request(int fd) {
    bytes message(24);
    if (recv_bytes(fd, message.data(), 24) != 24)
        return {};
    const uint32_t length = get_be24(&message[5]);
    message.resize(length < 24 ? 1024 : length);
    const size_t rest = message.size() - 24;
    if (recv_bytes(fd, message.data() + 24, rest) != rest)
        return {};
    return message;
}

bytes pm_reply_to(const bytes &request) {
    bytes reply(1024, 0);
    if (request.size() >= 26) {
        reply[24] = request[24];
        reply[25] = request[25];
    }
    return reply;
}

void refuse(int fd, const bytes &request) {
    send_framed(fd, pm_reply_to(request), 1024, 255, 1);
}

void serve_agent(int fd, int name_server_port) {
    bytes record(32, 0);
    put_be32(&record[0], AGENT_GREETING);
    put_be32(&record[4], 1);
    send_bytes(fd, record);
    bytes query(32);
    recv_bytes(fd, query.data(), 32);
    std::fill(record.begin(), record.end(), 0);
    put_be32(&record[0], AGENT_REPLY);
    put_be32(&record[4], static_cast<uint32_t>(name_server_port));
    send_bytes(fd, record);
}

std::unique_ptr<loopback_peer> serve(int requests, std::vector<bytes> *seen, answer_fn answer) {
    return std::make_unique<loopback_peer>([=](int fd) {
        for (int i = 0; i < requests; ++i) {
            bytes request = read_request(fd);
            if (request.empty())
                return;
            seen->push_back(request);
            answer(fd, request, i);
        }
        wait_for_close(fd, 5);
    });
}

fsm_peer::fsm_peer(int requests, answer_fn answer) {
    peer = serve(requests, &seen, std::move(answer));
    fd = connect_loopback(peer->port());
}

void fsm_peer::finish() {
    if (fd >= 0)
        close(fd);
    fd = -1;
    peer->join();
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
    service_port_reset_for_tests();
}

void private_root::write_config(const std::string &name, const std::string &text) const {
    std::ofstream(config_ + "/" + name) << text;
}

void private_root::use_agent_port(int port) const {
    write_config("fsports", "altpmap " + std::to_string(port) + "\n");
    service_port_reset_for_tests();
}

reply_timeout::reply_timeout(const char *seconds) {
    if (seconds != nullptr)
        setenv("TIMEDWAIT_VALUE", seconds, 1);
    else
        unsetenv("TIMEDWAIT_VALUE");
}

reply_timeout::~reply_timeout() {
    unsetenv("TIMEDWAIT_VALUE");
}

syslog_capture::syslog_capture() {
    g_saved_hook = syslog_hook;
    g_capture = this;
    syslog_hook = capture_syslog;
}

syslog_capture::~syslog_capture() {
    syslog_hook = g_saved_hook;
    g_capture = nullptr;
}

std::vector<std::string> syslog_capture::texts() const {
    std::vector<std::string> out;
    for (const auto &line : lines)
        out.push_back(line.second);
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
