#include "libfsmcomm/client_list.h"

#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace {

// Reply offsets of the current version; the first version shares those up to the hashed
// identifier and carries its IPv4 address where the current one has the IP address.
constexpr size_t kFlagsAt = 28;
constexpr size_t kTypeAt = 32;
constexpr size_t kCpuCountAt = 36;
constexpr size_t kExpiryAt = 40;
constexpr size_t kUptimeAt = 44;
constexpr size_t kHashedIdAt = 48;
constexpr size_t kIpAddressAt = 56;
constexpr size_t kLocalAddressAt = 72;
constexpr size_t kIdAddressAt = 88;
constexpr size_t kIoTestRateAt = 104;
constexpr size_t kIoTestLastAt = 112;
constexpr size_t kBuildTextAt = 120;
constexpr size_t kReconnectTimeAt = 1144;
constexpr size_t kReconnectCountAt = 1152;
constexpr size_t kIndexAt = 24;

client_list_realloc_fn g_realloc = realloc;

// Faults in the pages under [start, start + length) with one call: the room is written entry by
// entry right away, and a fault per page costs far more on a virtual machine. The pages at the
// ends lie within the allocation's mapping. Only advice; a kernel without it leaves the pages to
// be faulted on use.
void prefault(void *start, size_t length) {
    const uintptr_t page = 4096;
    const uintptr_t first = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
}

// Makes room for record number `taken` (from 0): the array grows by FSM_WHO_GROWTH records
// whenever `taken` reaches a multiple of it. False when memory runs out; the old array is
// then still the caller's to free.
bool make_room(void **records, size_t taken, size_t record_size) {
    if (taken % FSM_WHO_GROWTH != 0)
        return true;
    void *grown = g_realloc(*records, (taken + FSM_WHO_GROWTH) * record_size);
    if (grown == nullptr)
        return false;
    prefault(static_cast<unsigned char *>(grown) + taken * record_size,
             FSM_WHO_GROWTH * record_size);
    *records = grown;
    return true;
}

// Sends the request for `index` and waits for its reply in `message`.
int who_exchange(kx_socket socket, int type, uint32_t index,
                 uint8_t (&message)[FSM_WHO_REPLY_CAPACITY], int *error_out) {
    memset(message, 0, FSM_WHO_SEND_LENGTH);
    fsm_msg_init(message, type, 0);
    put_be32(message + kIndexAt, index);
    return fsm_send_and_wait(socket, message, FSM_WHO_SEND_LENGTH, FSM_WHO_REPLY_CAPACITY,
                             error_out, 1);
}

void write_request_error(int current_version, int error, char *text, size_t text_size) {
    char standard[256];
    const char *reason = strerror_r(error, standard, sizeof standard);
    if (current_version)
        bounded_format(text, text_size, "Fsm returned error %d (%s) for 'who' request.", error,
                       reason);
    else
        bounded_format(text, text_size, "Fsm 'who' (V1) returned error %d - %s", error, reason);
}

// Widens `taken` first-version records into a new array of client entries; null when memory
// runs out.
client_entry *widen_all(const client_entry_v1 *records, size_t taken) {
    auto *entries = static_cast<client_entry *>(g_realloc(nullptr, taken * sizeof(client_entry)));
    if (entries == nullptr)
        return nullptr;
    for (size_t i = 0; i < taken; ++i)
        client_entry_widen(&records[i], &entries[i]);
    return entries;
}

} // namespace

size_t fsm_reply_stored_length(const uint8_t *reply, size_t capacity) {
    if (capacity < MSG_HEADER_SIZE)
        return 0;
    return std::min<size_t>(msg_header_length(reply), capacity);
}

int client_entry_taken(uint32_t flags, uint32_t index) {
    return (flags & CLIENT_FLAG_CONNECTION_STATE) != 0 || index == 0;
}

void client_entry_decode(const uint8_t *reply, size_t length, uint32_t index, client_entry *entry) {
    const reply_reader r{reply, length};
    memset(entry, 0, sizeof *entry);
    entry->index = index;
    entry->flags = r.be32(kFlagsAt);
    entry->type = r.be32(kTypeAt);
    entry->cpu_count = r.be32(kCpuCountAt);
    entry->expiry_time = r.be32(kExpiryAt);
    entry->uptime = r.be32(kUptimeAt);
    entry->hashed_id = r.be64(kHashedIdAt);
    r.copy(kIpAddressAt, &entry->ip_address, sizeof entry->ip_address);
    r.copy(kLocalAddressAt, &entry->local_address, sizeof entry->local_address);
    r.copy(kIdAddressAt, &entry->id_address, sizeof entry->id_address);
    entry->io_test_rate = r.be32(kIoTestRateAt);
    entry->io_test_last = r.be64(kIoTestLastAt);
    if (length > kBuildTextAt) {
        // The text may be cut short by the reply; keep what arrived, always terminated.
        const size_t received = std::min(length - kBuildTextAt, CLIENT_BUILD_TEXT_SIZE - 1);
        memcpy(entry->build_text, reply + kBuildTextAt, received);
    }
    entry->reconnect_time = r.be64(kReconnectTimeAt);
    entry->reconnect_count = r.be32(kReconnectCountAt);
}

void client_entry_v1_decode(const uint8_t *reply, size_t length, uint32_t index,
                            client_entry_v1 *record) {
    const reply_reader r{reply, length};
    memset(record, 0, sizeof *record);
    record->index = index;
    record->flags = r.be32(kFlagsAt);
    record->type = r.be32(kTypeAt);
    record->cpu_count = r.be32(kCpuCountAt);
    record->expiry_time = r.be32(kExpiryAt);
    record->uptime = r.be32(kUptimeAt);
    record->hashed_id = r.be64(kHashedIdAt);
    r.copy(kIpAddressAt, record->ipv4, sizeof record->ipv4);
}

void client_entry_widen(const client_entry_v1 *record, client_entry *entry) {
    memset(entry, 0, sizeof *entry);
    entry->index = record->index;
    entry->flags = record->flags;
    entry->type = record->type;
    entry->cpu_count = record->cpu_count;
    entry->expiry_time = record->expiry_time;
    entry->uptime = record->uptime;
    entry->hashed_id = record->hashed_id;
    const uint8_t *ip = record->ipv4;
    if (ip[0] != 0 || ip[1] != 0 || ip[2] != 0 || ip[3] != 0)
        host_addr_set_ipv4(&entry->local_address, ip);
}

int fsm_who(kx_socket socket, int current_version, client_entry **entries, int *count, char *text,
            size_t text_size) {
    return fsm_who_reporting(socket, current_version, entries, count, text, text_size, nullptr,
                             nullptr);
}

int fsm_who_reporting(kx_socket socket, int current_version, client_entry **entries, int *count,
                      char *text, size_t text_size, fsm_who_progress progress, void *context) {
    if (entries != nullptr)
        *entries = nullptr;
    if (count != nullptr)
        *count = 0;
    if (text != nullptr && text_size > 0)
        text[0] = '\0';

    const int type = current_version ? FSM_WHO_REQUEST : FSM_WHO_V1_REQUEST;
    const size_t record_size = current_version ? sizeof(client_entry) : sizeof(client_entry_v1);
    const char *out_of_memory =
        current_version ? "FsmWho failed - out of memory" : "Fsm 'who' (V1) failed - out of memory";
    uint8_t message[FSM_WHO_REPLY_CAPACITY];
    void *records = nullptr;
    size_t taken = 0;

    const uint32_t limit = list_walk_limit();
    for (uint32_t index = 0;; ++index) {
        if (index == limit) {
            free(records);
            bounded_format(text, text_size, "Fsm 'who' list does not end: stopped after %u entries",
                           limit);
            return FSM_WHO_NO_END;
        }
        int error = 0;
        if (who_exchange(socket, type, index, message, &error) != 0) {
            if (error == FSM_WHO_END_OF_LIST)
                break;
            free(records);
            write_request_error(current_version, error, text, text_size);
            return error;
        }
        const size_t length = fsm_reply_stored_length(message, sizeof message);
        const reply_reader reply{message, length};
        if (!client_entry_taken(reply.be32(kFlagsAt), index))
            continue;
        if (!make_room(&records, taken, record_size)) {
            free(records);
            bounded_format(text, text_size, "%s", out_of_memory);
            return FSM_WHO_OUT_OF_MEMORY;
        }
        if (current_version)
            client_entry_decode(message, length, index,
                                static_cast<client_entry *>(records) + taken);
        else
            client_entry_v1_decode(message, length, index,
                                   static_cast<client_entry_v1 *>(records) + taken);
        ++taken;
        if (progress != nullptr)
            progress(context, static_cast<int>(taken));
    }

    if (!current_version && taken > 0) {
        client_entry *widened = widen_all(static_cast<client_entry_v1 *>(records), taken);
        free(records);
        if (widened == nullptr) {
            bounded_format(text, text_size, "FsmWho failed - out of memory");
            return FSM_WHO_OUT_OF_MEMORY;
        }
        records = widened;
    }

    if (count != nullptr)
        *count = static_cast<int>(taken);
    if (entries != nullptr)
        *entries = static_cast<client_entry *>(records);
    else
        free(records);
    return 0;
}

void client_list_set_realloc_for_tests(client_list_realloc_fn allocator) {
    g_realloc = allocator != nullptr ? allocator : realloc;
}
