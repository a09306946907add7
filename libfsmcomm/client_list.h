// The client list of an FSM: every process connected to it (FSMs, file-system clients, name
// servers, administration tools), read one entry per request by walking an index from 0 until
// the FSM answers error 2. Two request versions exist; entries of the first are widened to the
// current layout so that callers see one record.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>

// FSM request types of the two versions; both send 32 bytes: the header and the entry index as
// a big-endian 32-bit value at 24.
constexpr int FSM_WHO_REQUEST = 22;
constexpr int FSM_WHO_V1_REQUEST = 10;
constexpr int FSM_WHO_SEND_LENGTH = 32;
constexpr int FSM_WHO_REPLY_CAPACITY = 4096;

// The FSM's error value for "no entry at this index": the end of the list.
constexpr int FSM_WHO_END_OF_LIST = 2;
// Returned when the list cannot be stored.
constexpr int FSM_WHO_OUT_OF_MEMORY = 20;
// Returned when the FSM still answered after list_walk_limit() entries.
constexpr int FSM_WHO_NO_END = 7;
// The array grows by this many entries at a time.
constexpr int FSM_WHO_GROWTH = 20;

// Bits of client_entry.flags.
constexpr uint32_t CLIENT_FLAG_CONNECTION_STATE = 0x3; // bits 0-1
constexpr uint32_t CLIENT_FLAG_DLAN_SERVER = 1u << 17; // distributed-LAN server
constexpr uint32_t CLIENT_FLAG_DLAN_CLIENT = 1u << 18; // distributed-LAN client
constexpr uint32_t CLIENT_FLAG_GATEWAY_LICENCE = 1u << 25;

// Values of client_entry.type.
constexpr uint32_t CLIENT_TYPE_FSM = 2;
constexpr uint32_t CLIENT_TYPE_CLIENT = 3;
constexpr uint32_t CLIENT_TYPE_NAME_SERVER = 4;
constexpr uint32_t CLIENT_TYPE_ADMIN_TOOL = 5;

constexpr size_t CLIENT_BUILD_TEXT_SIZE = 1024;

// One connected process. Numbers are in host order; the addresses and the build text are the
// bytes the FSM sent.
struct client_entry {
    uint32_t index; // the request index that returned the entry
    uint32_t flags; // CLIENT_FLAG_*
    uint32_t type;  // CLIENT_TYPE_*
    uint32_t cpu_count;
    uint32_t expiry_time; // seconds since 1970, 0 none
    uint32_t uptime;      // seconds
    uint64_t hashed_id;
    host_addr ip_address;
    host_addr local_address;
    host_addr id_address; // all zero: unspecified
    uint32_t io_test_rate;
    uint64_t io_test_last;
    char build_text[CLIENT_BUILD_TEXT_SIZE]; // always NUL-terminated
    uint64_t reconnect_time;                 // seconds since 1970
    uint32_t reconnect_count;
    uint8_t reserved[12]; // zero
};

// A first-version entry as the FSM sends it: no addresses beyond one IPv4 address.
struct client_entry_v1 {
    uint32_t index;
    uint32_t flags;
    uint32_t type;
    uint32_t cpu_count;
    uint32_t expiry_time;
    uint32_t uptime;
    uint64_t hashed_id;
    uint8_t ipv4[4]; // network byte order, all zero: none
};

// ---- Reply decoding (byte buffers only, no sockets) ----
// `reply` is a whole reply, header included, of which the first `length` bytes were received;
// a field that does not lie wholly within them reads as 0 (the build text keeps the part that
// arrived). Nothing past `length` is read.

// Bytes of a reply that fsm_send_and_wait stored in a buffer of `capacity` bytes: the length
// the header announces, at most `capacity`.
size_t fsm_reply_stored_length(const uint8_t *reply, size_t capacity);

// 1 when the entry returned for `index` belongs in the list: its connection-state bits are not
// both 0, or it is the first entry.
int client_entry_taken(uint32_t flags, uint32_t index);

// Fills `entry` from a current-version reply; `index` is the index it was asked for.
void client_entry_decode(const uint8_t *reply, size_t length, uint32_t index, client_entry *entry);

// Fills `record` from a first-version reply.
void client_entry_v1_decode(const uint8_t *reply, size_t length, uint32_t index,
                            client_entry_v1 *record);

// Widens a first-version record: `entry` is cleared, receives the seven leading fields, and a
// non-zero IPv4 address becomes its local address in IPv4-mapped form (::ffff:a.b.c.d).
void client_entry_widen(const client_entry_v1 *record, client_entry *entry);

// ---- The walk over a socket ----

// Reads the whole client list of the FSM on `socket`, with the current request when
// `current_version` is not 0, else with the first version. Returns 0 with `*entries` pointing
// to `*count` records (null when the list is empty) that the caller releases with free();
// when `entries` is null the list is read and released here. On failure returns the FSM's or
// the transport's error value, FSM_WHO_OUT_OF_MEMORY or FSM_WHO_NO_END, with a text in `text`,
// `*entries` null and `*count` 0. `entries` and `count` may be null; `text` is cleared on entry.
int fsm_who(kx_socket socket, int current_version, client_entry **entries, int *count, char *text,
            size_t text_size);

// Told the number of entries taken so far, after each one, while a list is read.
using fsm_who_progress = void (*)(void *context, int taken);
// fsm_who, telling `progress` (when not null) as entries arrive.
int fsm_who_reporting(kx_socket socket, int current_version, client_entry **entries, int *count,
                      char *text, size_t text_size, fsm_who_progress progress, void *context);

// Tests only: the allocator fsm_who grows and widens its arrays with; it must return memory
// that free() releases. Null restores realloc.
using client_list_realloc_fn = void *(*)(void *block, size_t size);
void client_list_set_realloc_for_tests(client_list_realloc_fn allocator);
