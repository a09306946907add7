// Fault injection: what a simulated daemon does wrong, parsed from "kind[:value[:value]][/request]"
// texts (scenario and command line), and applied to each reply it sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum sim_fault_kind {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_SILENT,      // reads requests, never answers
    SIM_FAULT_CLOSE_AFTER, // sends the first `value` bytes of the reply, then closes
    SIM_FAULT_WRONG_MAGIC, // first byte of the reply (framed: 0xC1; agent greeting: version 9)
    SIM_FAULT_OVERSIZE,    // framed reply padded with zeros to a total length of `value`
    SIM_FAULT_ERROR,       // framed reply carries error flag `flag` and error code `value`
    SIM_FAULT_DELAY,       // every reply waits `value` milliseconds
    SIM_FAULT_REFUSE,      // the socket is bound but never listens: connections are refused
};

struct sim_fault {
    sim_fault_kind kind = SIM_FAULT_NONE;
    uint32_t value = 0;
    uint8_t flag = 1; // error flag of SIM_FAULT_ERROR
    int request = -1; // only this FSM type or name-server command; -1 every request
};

// Parses "silent", "close_after:N", "wrong_magic", "oversize:N", "error:CODE",
// "error:FLAG:CODE", "delay:MS", "refuse" or "none", each optionally followed by "/REQUEST".
// Returns 0, or -1 with a message in `text`.
int fault_parse(const char *fault_text, sim_fault *fault, char *text, size_t text_size);

// True when `fault` concerns a request with this type or command.
bool fault_applies(const sim_fault &fault, int request);

// How a connection goes on after a reply went through a fault.
enum sim_send_result { SIM_SEND_OK, SIM_SEND_CLOSE };

// Reshapes `reply` as the fault wants (framed: a 24-byte message header leads it; unframed:
// 1024-byte name-server record or 32-byte agent record) and sends it on `socket`.
// `wait_ms` sleeps interruptibly (returns false when the simulator is stopping).
sim_send_result fault_send(int socket, const sim_fault &fault, bool framed,
                           std::vector<uint8_t> &reply, bool (*wait_ms)(void *, uint32_t),
                           void *wait_context);

// Sends all of `length` bytes; false on failure.
bool sim_send_all(int socket, const uint8_t *data, size_t length);

// Receives exactly `length` bytes; false when the peer closed or the receive failed first.
bool sim_recv_exact(int socket, uint8_t *data, size_t length);
