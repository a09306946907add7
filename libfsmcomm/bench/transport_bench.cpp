// Cost of building a request header and of one request/reply exchange over 127.0.0.1.
#include "libfsmcomm/transport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool read_exact(int fd, uint8_t *p, size_t length) {
    while (length > 0) {
        ssize_t n = recv(fd, p, length, 0);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Answers every framed request with a reply of the same length until the client closes.
void echo_peer(int fd) {
    std::vector<uint8_t> message(MSG_MAX_LENGTH + 1);
    while (read_exact(fd, message.data(), MSG_HEADER_SIZE)) {
        const uint32_t length = msg_header_length(message.data());
        if (!read_exact(fd, message.data() + MSG_HEADER_SIZE, length - MSG_HEADER_SIZE) ||
            send(fd, message.data(), length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
            break;
    }
    close(fd);
}

void BM_RequestHeader(benchmark::State &state) {
    uint8_t message[1024] = {};
    for (auto _ : state) {
        fsm_msg_init(message, 2, 0);
        msg_header_frame(message, sizeof message);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_RequestHeader);

void BM_SendAndWaitLoopback(benchmark::State &state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        state.SkipWithError("no loopback listener");
        close(listener);
        return;
    }
    std::thread peer([listener] {
        int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0)
            echo_peer(fd);
    });
    host_addr loopback;
    const uint8_t ip[4] = {127, 0, 0, 1};
    host_addr_set_ipv4(&loopback, ip);
    int error = 0;
    const kx_socket s = sock_connect_addr(&loopback, ntohs(address.sin_port), &error);
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int size = static_cast<int>(state.range(0));
    std::vector<uint8_t> message(static_cast<size_t>(size));
    for (auto _ : state) {
        fsm_msg_init(message.data(), 2, 0);
        if (fsm_send_and_wait(s, message.data(), size, size, &error, 1) != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    close(s);
    peer.join();
    close(listener);
    state.SetBytesProcessed(state.iterations() * size * 2);
}
BENCHMARK(BM_SendAndWaitLoopback)->Arg(32)->Arg(1024)->Arg(4096)->UseRealTime();

} // namespace
