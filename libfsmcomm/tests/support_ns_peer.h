// Test scaffolding for name-server and FSM request tests: reading framed requests, answering
// port-mapper replies, one port-mapper agent exchange, and scripted peers that record what
// they were sent.
#pragma once

#include "support_peer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Reads one framed request (header, then the body its length announces) within 10 seconds;
// empty on failure or when the client closed.
std::vector<uint8_t> read_request(int fd);

// Sends `message` (sized to `length`, at least 24 bytes) framed with that length and the given
// reply error flag and code.
void send_framed(int fd, std::vector<uint8_t> message, uint32_t length = 1024,
                 uint8_t error_flag = 0, uint16_t error_code = 0);

// A 1024-byte port-mapper reply body with the request's command bytes echoed.
std::vector<uint8_t> pm_reply_to(const std::vector<uint8_t> &request);

// Serves one agent exchange: greeting, query, reply naming `name_server_port`.
void serve_agent(int fd, int name_server_port);

// Runs `requests` exchanges of one connection with `answer` (socket, request, its number from
// 0), recording the requests in `seen`.
std::unique_ptr<loopback_peer>
serve(int requests, std::vector<std::vector<uint8_t>> *seen,
      std::function<void(int, const std::vector<uint8_t> &, int)> answer);

// A connected scripted peer: `fd` talks to a serve() of `requests` exchanges.
struct fsm_peer {
    std::vector<std::vector<uint8_t>> seen;
    std::unique_ptr<loopback_peer> peer;
    int fd = -1;
    fsm_peer(int requests, std::function<void(int, const std::vector<uint8_t> &, int)> answer);
    ~fsm_peer() { finish(); }
    // Closes `fd` and waits for the peer to end, so that `seen` is complete.
    void finish();
};
