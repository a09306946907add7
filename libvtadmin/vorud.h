// Name-server connections and FSM discovery: the 20-slot connection table shared by name-server
// (type 1) and FSM (type 2) connections, the handle check, the shared connect path with its
// reference counts, ping and reconnect, and the discovery calls on a name-server connection.
//
// Locking: con_list_lock (vtadminlib.h) guards the table and is always taken before a slot
// mutex; every request/reply exchange on a slot's socket runs under that slot's mutex.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>

constexpr int VTA_MAX_CONNECTIONS = 20;
constexpr int VTA_MESSAGE_SIZE = 256;

enum vta_connection_type { VTA_CONN_FREE = 0, VTA_CONN_NS = 1, VTA_CONN_FSM = 2 };
constexpr int VTA_CONN_ANY = -1; // VTAdmin_CheckHandle: accept any slot type

// An FSM as the name server lists it.
struct VTA_FSM_ENTRY {
    uint32_t ordinal;
    uint32_t state;    // 2 active, 1 standby
    uint32_t priority; // 0..32767
    host_addr address;
    uint32_t port;
    uint32_t pid;
    char name[256]; // not terminated when exactly 256 long
};
constexpr uint32_t VTA_FSM_ACTIVE = 2;
constexpr uint32_t VTA_FSM_STANDBY = 1;

// An FSM of the host's local list (VTAdmin_NSFsmSearch).
struct VTA_FSM_SEARCH {
    uint32_t entry_type; // 1 = FSM
    uint32_t run_state;  // 2 started, 0 stopped
    uint32_t word314;
    uint32_t active;
    uint32_t word316;
    uint32_t priority;
    host_addr address;
    uint32_t port;
    uint32_t pid;
    char name[256]; // always terminated
    uint32_t word320_322;
    uint32_t word324, word328, word332, word336;
    uint32_t word340;
    uint32_t word344;
};

// A disk the host sees (VTAdmin_NSGetDisks).
struct VTA_DISK {
    char label[256];
    char block_device[256];
    char raw_device[256];
    char inquiry[256];
    char controller[256];
    char serial[256];
    uint64_t size;
    uint32_t word_a, word_f, word_b, word_d, word_c;
    uint32_t hba_id;
    uint32_t lun_id;
    uint32_t state; // VTAdmin_DiskStateString
};

// State of a connection slot (VTAdmin_NSGetConnInfo).
struct VTA_CONN_INFO {
    uint64_t reserved; // cleared
    int32_t type;
    char host[256];
    char name[256]; // the slot's host again
    int32_t ref_count;
    uint64_t capability;
};

// 0 when `handle` is a slot of `expected_type` (VTA_CONN_ANY: any), else -1 with the reason
// logged and copied into `message` (when given).
int VTAdmin_CheckHandle(int handle, int expected_type, char *message, size_t message_size);

// Finds or takes the slot of (host, FSM name) and makes sure it holds a live connection.
// Returns 0 with the handle, or 22 (not ready), 23 (table full), 113 ((re)connect failed) or a
// mutex creation error, with `*handle` -1 and the reason in `message`. `no_lock` is for a
// caller that already holds the mutex of the slot it will find.
int VTAdmin_Connect(const char *host, const char *fsm_name, int *handle, char *message,
                    size_t message_size, int no_lock);

// A name-server connection to `host`: the handle, or the negated code of VTAdmin_Connect.
// `message` holds VTA_MESSAGE_SIZE bytes.
int _VTAdmin_NSConnect(const char *host, char *message, int no_lock);
int VTAdmin_NSConnect(const char *host, char *message);
int VTAdmin_NSConnectNoLock(const char *host, char *message);

// Releases one reference; the last closes the connection. 0 or -1.
int VTAdmin_NSDisconnect(int handle);

int VTAdmin_NSGetConnInfo(int handle, VTA_CONN_INFO *info);

// The FSM at list position `ordinal`: 0, 3 (not an FSM), 6 (end of list) or a negative error.
int VTAdmin_NSListFsm(int handle, int ordinal, VTA_FSM_ENTRY *entry, char *message);

// The host's local FSM called `name`: 0, 2 (not found) or -1.
int VTAdmin_NSFsmSearch(int handle, const char *name, VTA_FSM_SEARCH *result, char *message);

// The FSM `fsm_name` with `priority` (-1: the active one): 0, 2 or a negative error.
int VTAdmin_NSFsmLocate(int handle, const char *fsm_name, int priority, VTA_FSM_ENTRY *entry);

// Up to `count` disks from `first`: 0 with `*ndisk` records, 6 past the end, 7 when the list
// changed since the page at 0 (`checksum` carried between pages), or -1.
int VTAdmin_NSGetDisks(int handle, int first, int count, VTA_DISK *disks, int *ndisk,
                       uint32_t *checksum, char *message);

// ---- Slot access for the other calls of the library ----
// A handle passed here must have passed VTAdmin_CheckHandle and be held by the caller (between
// its connect and its disconnect).

// Serialises exchanges on the slot's socket. Never take con_list_lock while holding it.
void vorud_slot_lock(int handle);
void vorud_slot_unlock(int handle);
// The slot's socket (read it under the slot mutex); invalid_socket when it has none.
kx_socket vorud_slot_socket(int handle);
// For an FSM slot: the tap value of fsm_admin_tap (bit 0: current client-list version).
uint32_t vorud_slot_capability(int handle);
// For an FSM slot: the name of its file system, cut within `size`.
void vorud_slot_fsm_name(int handle, char *name, size_t size);
// Drops one reference under con_list_lock: a count below 1 is repaired to 1 first (the count
// found is stored in `count_found`); the last reference closes the socket and frees the slot.
// Returns the references left.
int vorud_slot_release(int handle, int *count_found);

// Caller holds con_list_lock: clear every slot / close every open connection and clear it.
void vorud_table_clear();
void vorud_table_close_all();
