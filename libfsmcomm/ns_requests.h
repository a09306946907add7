// Name-server (port-mapper, "VORUD") requests: connect, list and find FSMs, read the disk list,
// start, stop and activate FSMs. Each request is one 1024-byte pm_message; the client tries the
// newest form first and falls back while the name server answers "not supported". Reply decoding
// works on byte buffers only (the *_decode and disk walk functions), so it is testable without
// a network; the request functions add the socket exchange around them.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>

constexpr int PM_MESSAGE_SIZE = 1024;
constexpr int NS_TEXT_SIZE = 256; // every request writes its text into a buffer this large

// One port-mapper message; the reply overwrites the request. After a request returns, the
// fields it hands on are in host byte order (read them with pm_get16/pm_get32).
struct pm_message {
    uint8_t bytes[PM_MESSAGE_SIZE];
};

// Field offsets.
constexpr int PM_FORM = 24;        // request: form byte; reply: with byte 25 the 16-bit entry type
constexpr int PM_COMMAND = 25;     // request command
constexpr int PM_ENTRY_TYPE = 24;  // reply: 1 = FSM
constexpr int PM_PORT = 26;        // reply: FSM port; disk list: number of entries
constexpr int PM_STATUS = 28;      // reply status, 0 success
constexpr int PM_INDEX = 30;       // request: list index; reply: state word
constexpr int PM_STATE = 30;       // bit 15 active, bits 0-14 priority
constexpr int PM_IPV4 = 32;        // older forms: IPv4 address (network order); disk list: checksum
constexpr int PM_PID = 36;         // reply: FSM process id; disk-list request: entries wanted
constexpr int PM_NAME = 40;        // file-system name, NUL-terminated, 256 bytes
constexpr int PM_ADDRESS = 296;    // host_addr
constexpr int PM_RUN_STATE = 312;  // list-local reply: 2 started, 0 stopped
constexpr int PM_LOCAL_W314 = 314; // further list-local words, passed on unread
constexpr int PM_LOCAL_W316 = 316;
constexpr int PM_LOCAL_W320 = 320;
constexpr int PM_LOCAL_W322 = 322; // left in wire order
constexpr int PM_LOCAL_W324 = 324;
constexpr int PM_LOCAL_W328 = 328;
constexpr int PM_LOCAL_W332 = 332;
constexpr int PM_LOCAL_W336 = 336;
constexpr int PM_LOCAL_W340 = 340;
constexpr int PM_LOCAL_W344 = 344;
constexpr int PM_NAME_SIZE = 256;
constexpr uint16_t PM_STATE_ACTIVE = 0x8000;
constexpr uint16_t PM_STATE_PRIORITY = 0x7FFF;
constexpr uint16_t PM_ENTRY_FSM = 1;

// Host-order field access (values the request functions already converted).
uint16_t pm_get16(const pm_message *message, int offset);
uint32_t pm_get32(const pm_message *message, int offset);
void pm_set16(pm_message *message, int offset, uint16_t value);
void pm_set32(pm_message *message, int offset, uint32_t value);
// Converts the big-endian field at `offset` to host order in place.
void pm_to_host16(pm_message *message, int offset);
void pm_to_host32(pm_message *message, int offset);

void pm_set_command(pm_message *message, uint8_t form, uint8_t command);
// Copies `name` (cut to 255 characters, terminated) to offset 40; null clears it.
void pm_set_name(pm_message *message, const char *name);
const char *pm_name(const pm_message *message); // the name at 40, not necessarily terminated
host_addr pm_address(const pm_message *message);
// The host_addr at 296 set to the IPv4-mapped form of the four wire bytes at 32.
void pm_address_from_ipv4(pm_message *message);

// The three generations of a request, newest first; a 0 command ends a shorter list.
struct pm_form {
    uint8_t form;
    uint8_t command;
};
constexpr int PM_FORMS = 3;

// ---- Commands ----
constexpr pm_form NS_LIST_FORMS[PM_FORMS] = {{0, 36}, {0, 131}, {0, 3}};
constexpr pm_form NS_LIST_LOCAL_FORM = {0, 28};
constexpr pm_form NS_DISK_FORMS[PM_FORMS] = {{8, 14}, {0, 23}, {0, 21}};
constexpr pm_form NS_ACTIVATE_FORMS[2] = {{8, 10}, {0, 10}};
constexpr pm_form NS_LOCATE_FORMS[2] = {{0, 140}, {0, 12}};
constexpr pm_form NS_PING_FORM = {0, 11};

// Start/stop kinds of ns_fsm_control.
enum ns_control_kind { NS_STOP = 0, NS_START = 1, NS_STOP_FAILOVER = 2, NS_START_ONCE = 3 };
// Forms per kind; start once has only the first.
extern const pm_form NS_CONTROL_FORMS[4][PM_FORMS];

// ---- Disk list ----

// One of the eight strings of a disk entry: it points into the reply, is not terminated, holds
// no NUL and is already cut to the characters its field keeps (below).
struct disk_string {
    const char *chars;
    size_t length;
};

// Characters kept of each disk string: the label, the devices and strings 5 and 6 keep 255, the
// serial number and the controller 63, the inquiry text 31.
constexpr size_t DISK_STRING_KEPT = 255;
constexpr size_t DISK_SERIAL_KEPT = 63;
constexpr size_t DISK_INQUIRY_KEPT = 31;
constexpr size_t DISK_CONTROLLER_KEPT = 63;

// One disk as the name server reports it, decoded in host order.
struct disk_fields {
    uint64_t size;
    uint32_t state;
    uint32_t word_a, word_b, word_c, word_d, word_f;
    uint8_t hba_id;
    uint8_t lun_id;
    uint8_t byte_e;
    disk_string label, serial, block_device, raw_device, string5, string6, inquiry, controller;
};

// Receives the disks of one reply in order, `index` counting from 0; the strings are valid only
// during the call.
using disk_sink = void (*)(void *context, int index, const disk_fields &disk);

// Room per form: the reply buffer holds N + 16 bytes, N = 8192 (forms 1, 2) or 2000 (form 3).
constexpr int NS_DISK_ROOM_NEW = 8192;
constexpr int NS_DISK_ROOM_OLD = 2000;
constexpr int DISK_ENTRY_HEADER = 40; // fixed fields before the eight strings
// The most entries one disk-list reply can carry, each at least its fixed fields long: callers
// need room for no more than this per page, whatever count they ask for.
constexpr int NS_DISK_PAGE_MAX = (NS_DISK_ROOM_NEW + 16 - PM_NAME) / DISK_ENTRY_HEADER;
// The list index of a request is 16 bits wide: the last first index a page can start at.
constexpr int NS_DISK_INDEX_MAX = 0xFFFF;
// Positions a 16-bit list index can name: a walk by ordinal past them would ask for the first
// ones again.
constexpr int NS_LIST_INDEX_COUNT = 0x10000;

// How many positions a walk through a name-server list asks for at most: every position the
// index can name, or list_walk_limit() when that is lower.
int ns_list_walk_limit();

// Walks the `disk_entry` records of a first- or second-form reply. `reply_length` is the number
// of reply bytes received (entries lie in 40..reply_length). Hands at most min(`announced`,
// `count`) entries to `sink`. An entry shorter than its fixed fields or reaching past the reply
// fails the walk before any entry is handed on: -1 with a text. Otherwise returns the number
// handed on.
int ns_disk_walk(const uint8_t *reply, size_t reply_length, int announced, int count,
                 disk_sink sink, void *context, char *text, size_t text_size);

// Decodes the single disk of a third-form reply (`reply` holds at least 2000 bytes); its
// strings 5 and 6 are empty.
disk_fields ns_disk_decode_old(const uint8_t *reply);

// ---- Reply decoders of the fixed-size requests ----

// List by ordinal: host order, entry type 1 after the older forms, address from offset 32
// after the third form (`form_index` 0, 1 or 2). Returns 2 at the end of the list, else 0.
int ns_list_fsm_decode(pm_message *message, int form_index);
// List local: host order for the tabled words (32-35 and 322-323 stay as received). Returns 2
// with "VORUD List Local Fsm: End of File" when the status is not 0, else 0 with "".
int ns_list_local_decode(pm_message *message, char *text);
// Start/stop: host order, IPv4 at 32 moved into 296 after the first two forms, then the status
// table. Returns the result code with its text.
int ns_control_decode(pm_message *message, int kind, int form_index, char *text);
// Result of an activation that the name server keeps to itself ("Internal use only").
constexpr int NS_ACTIVATE_INTERNAL_ONLY = 5;

// Activate: host order and the status table (0 "FSM Activated", 2 "FSM Not found", 5 "Internal
// use only"); a status of the start/stop table (3 "FSM not configured", 4 "FSM not local", ...)
// gives that table's result and text.
int ns_activate_decode(pm_message *message, char *text);
// 1 when an unframed reply says "not supported": byte 11 is 255 and bytes 14-15 hold 1, least
// significant byte first.
int ns_unframed_not_supported(const pm_message *message);

// ---- Requests (texts into NS_TEXT_SIZE bytes) ----

// Resolves `host` (null: 127.0.0.1), asks its agent for the name-server port, connects and,
// when network authentication is enabled, authenticates. Returns the socket, or invalid_socket
// with the reason in `text`.
kx_socket ns_connect(const char *host, char *text, size_t text_size);

// The FSM at list position `ordinal`: 0 with the entry in `message`, 2 at the end of the list,
// or a negative error value (-22 when no form is supported).
int ns_list_fsm(kx_socket socket, int ordinal, pm_message *message, char *text);

// Entry `index` of the host's local FSMs; a negative index asks by the name already at 40.
// 0 found, 2 end of list, -1 failure.
int ns_list_local_fsm(kx_socket socket, int index, pm_message *message, char *text);

// 1 when the name server knows an FSM called `name` (entry left in `message`), else 0; -1
// when the list still had not ended after ns_list_walk_limit() entries.
int ns_find_fsm(kx_socket socket, const char *name, pm_message *message);

// Up to `count` disks from position `first`, handed to `sink` in order. Returns the number
// read, 0 when the name server answers a status, -1 on failure, -2 when the list's checksum
// changed since `first` 0 (the new checksum is stored in `checksum`). No disk is handed on
// unless the page is returned.
int ns_get_disks(kx_socket socket, int first, int count, disk_sink sink, void *context,
                 uint32_t *checksum, char *text);

// Start or stop (`kind`) the FSM `name`; the caller's value at offset 26 (host order) is sent
// as the FSM port. Returns the result code of the status table, or -1.
int ns_fsm_control(kx_socket socket, int kind, const char *name, pm_message *message, char *text);

// Activates the FSM `name` with an unframed exchange, whose reply is awaited for the reply
// time-out. Returns 0, 2, 5 or a start/stop result, or -1 (also when both forms are refused:
// "unsupported message").
int ns_fsm_activate(kx_socket socket, const char *name, pm_message *message, char *text);
