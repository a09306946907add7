// A caller-owned set of sockets with requested and returned event bits, waited on with poll(2)
// so that descriptors above 1023 work.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstdint>

constexpr uint16_t POLLSET_READABLE = 0x300;
constexpr uint16_t POLLSET_WRITABLE = 0x10;
constexpr uint16_t POLLSET_URGENT = 0x400; // exceptional condition (out-of-band data)
constexpr uint16_t POLLSET_ERROR = 0x1;
constexpr uint16_t POLLSET_INVALID = 0x4; // not an open descriptor

constexpr int POLLSET_MAX_ENTRIES = 1024;

struct poll_entry {
    kx_socket socket; // invalid_socket when empty
    uint16_t events;
    uint16_t revents;
};

struct poll_set {
    poll_entry *entries; // caller's storage, `maxfds` entries
    int maxfds;
    int nfds;
};

// Prepares an empty set over the caller's `storage` of `capacity` entries.
void pollset_init(poll_set *set, poll_entry *storage, int capacity);

// Sets the requested events of `socket` and clears its returned events, appending it when it
// is not yet in the set. Adding to a full set is fatal ("q->d.nfds < q->d.maxfds").
void pollset_add(poll_set *set, kx_socket socket, uint16_t events);

// Returned events of `socket`, 0 when it is not in the set; the take form also clears them.
uint16_t pollset_revents(const poll_set *set, kx_socket socket);
uint16_t pollset_take_revents(poll_set *set, kx_socket socket);

// Waits until an entry has one of its requested events or `timeout_ms` passes (negative:
// without limit). Returns the number of entries with returned events, 0 on time-out, or -1
// with the thread's last system error set (WSAEINVAL without a set, WSAEINTR on a signal).
// A hang-up or error counts as readable and writable, as it would for select; a descriptor
// that is not open gets POLLSET_INVALID. More than 1024 entries is fatal.
int pollset_wait(poll_set *set, int timeout_ms);

// Microseconds of the monotonic clock, for the deadlines of waits.
int64_t monotonic_us();
