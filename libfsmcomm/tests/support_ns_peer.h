// Test scaffolding for name-server and FSM request tests: reading framed requests, answering
// port-mapper replies, and one port-mapper agent exchange.
#pragma once

#include <cstdint>
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
