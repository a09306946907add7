#include "support_ns_peer.h"

#include "support_peer.h"

#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"

#include <algorithm>
#include <unistd.h>

std::vector<uint8_t> read_request(int fd) {
    std::vector<uint8_t> message(24);
    if (recv_bytes(fd, message.data(), 24) != 24)
        return {};
    const uint32_t length = get_be24(&message[5]);
    if (length < 24) // unframed request: the fixed 1024 bytes
        message.resize(1024);
    else
        message.resize(length);
    const size_t rest = message.size() - 24;
    if (recv_bytes(fd, message.data() + 24, rest) != rest)
        return {};
    return message;
}

void send_framed(int fd, std::vector<uint8_t> message, uint32_t length, uint8_t error_flag,
                 uint16_t error_code) {
    message.resize(std::max<uint32_t>(length, 24));
    const uint8_t magic[5] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4};
    std::copy(magic, magic + 5, message.begin());
    put_be24(&message[5], length);
    message[11] = error_flag;
    put_be16(&message[14], error_code);
    send_bytes(fd, message);
}

std::vector<uint8_t> pm_reply_to(const std::vector<uint8_t> &request) {
    std::vector<uint8_t> reply(1024, 0);
    if (request.size() >= 26) {
        reply[24] = request[24];
        reply[25] = request[25];
    }
    return reply;
}

void serve_agent(int fd, int name_server_port) {
    std::vector<uint8_t> record(32, 0);
    put_be32(&record[0], AGENT_GREETING);
    put_be32(&record[4], 1);
    send_bytes(fd, record);
    std::vector<uint8_t> query(32);
    recv_bytes(fd, query.data(), 32);
    std::fill(record.begin(), record.end(), 0);
    put_be32(&record[0], AGENT_REPLY);
    put_be32(&record[4], static_cast<uint32_t>(name_server_port));
    send_bytes(fd, record);
}

std::unique_ptr<loopback_peer>
serve(int requests, std::vector<std::vector<uint8_t>> *seen,
      std::function<void(int, const std::vector<uint8_t> &, int)> answer) {
    return std::make_unique<loopback_peer>([=](int fd) {
        for (int i = 0; i < requests; ++i) {
            std::vector<uint8_t> request = read_request(fd);
            if (request.empty())
                return;
            seen->push_back(request);
            answer(fd, request, i);
        }
        wait_for_close(fd, 5);
    });
}

fsm_peer::fsm_peer(int requests,
                   std::function<void(int, const std::vector<uint8_t> &, int)> answer) {
    peer = serve(requests, &seen, std::move(answer));
    fd = connect_loopback(peer->port());
}

void fsm_peer::finish() {
    if (fd >= 0)
        close(fd);
    fd = -1;
    peer->join();
}
