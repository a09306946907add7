// Raw-socket helpers for the simulator tests: they build and read the wire formats byte by byte,
// independently of the simulator's own code.
#pragma once

#include "clustersim/cluster.h"

#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// The two hosts of the default scenario.
inline const std::string alpha = "127.0.0.1", beta = "127.0.0.2";

// A private temporary install root, removed with everything in it on destruction.
struct temp_root {
    temp_root();
    ~temp_root();
    std::string path;
};

// The shipped default scenario.
sim_scenario default_scenario();

// Connects to address:port on loopback (5 s receive time-out); -1 when refused.
int connect_to(const std::string &address, uint16_t port);

// Big-endian reads and writes at an offset of a byte vector.
uint64_t be(const bytes &b, size_t offset, size_t width);
void set_be(bytes &b, size_t offset, size_t width, uint64_t value);
std::string text_at(const bytes &b, size_t offset);

// Checks the fields of `b` that `fields` names, set apart by ", ": "OFFSET:WIDTH=VALUE" for a
// big-endian number (decimal, or hexadecimal after "0x"), "OFFSET=TEXT" for a NUL-terminated
// text. A failure names `row` and the field.
void expect_fields(const bytes &b, const std::string &fields, const std::string &row = "");

// A whole file's contents; empty when it cannot be read.
std::string read_file(const std::string &path);

// A framed request of `length` bytes: magic, length, class, type, sequence (little-endian).
bytes framed(size_t length, uint8_t message_class, uint8_t type, uint32_t sequence = 7);
// A quota operation request (FSM type 13, 304 bytes): the code, the limits and the name.
bytes quota_op(uint32_t code, const std::string &name, uint64_t hard = 0, uint64_t soft = 0,
               uint32_t grace = 0);
// A 1024-byte name-server request with form and command; unframed when `frame` is false.
bytes pm_request(uint8_t form, uint8_t command, bool frame = true);

bool send_bytes(int fd, const bytes &b);
// Reads exactly n bytes; returns what arrived before close or time-out.
bytes recv_bytes(int fd, size_t n);
// Sends a framed request and reads one framed reply (header, then the announced length).
bytes round_trip(int fd, const bytes &request);

// The agent query for the name server of protocol `version`.
bytes agent_query(uint32_t version);
// The agent's name-server port for `address` over the raw agent exchange; 0 on failure.
uint16_t lookup_name_server(const std::string &address, uint16_t agent_port);

// An FSM connection to the active manager of `fs` on `address`, already registered as an
// administration tap; -1 on failure.
int fsm_open(sim_cluster *cluster, const std::string &fs, const std::string &address);

// Sets a fault on a running cluster, failing the test when the target or text is refused.
void set_fault(sim_cluster *cluster, const char *target, const char *fault_text);
// Whether connecting to address:port is refused within two seconds (a listener closes within a poll
// period).
bool refused_soon(const std::string &address, uint16_t port);
// A connection to address:port, retried for up to two seconds while it is refused; -1 then.
int connect_soon(const std::string &address, uint16_t port);

// Starts `scenario` in-process on a fresh temp root; stops it on destruction.
struct running_cluster {
    explicit running_cluster(const sim_scenario &scenario);
    ~running_cluster();
    temp_root root;
    sim_cluster *cluster = nullptr;
};
