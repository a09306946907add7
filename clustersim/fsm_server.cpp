#include "clustersim/fsm_server.h"

#include "clustersim/frame.h"

#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint16_t capability_current_sg = 0x1000;
constexpr uint32_t tap_current_who = 0x1;

// Error codes answered in the reply header (flag 1).
constexpr uint16_t error_no_entry = 2; // index or stripe group past the end
constexpr uint16_t error_invalid = 22; // malformed request, or a request before the tap

std::vector<uint8_t> error_reply(const std::vector<uint8_t> &request, uint8_t flag, uint16_t code) {
    std::vector<uint8_t> reply = frame_reply(request, frame_header_size);
    reply[11] = flag;
    put_be16(&reply[14], code);
    return reply;
}

void put_address(uint8_t *at, const std::string &text) {
    if (!text.empty())
        address_parse(text, at);
}

std::vector<uint8_t> status(const std::vector<uint8_t> &request, const sim_filesystem &fs) {
    std::vector<uint8_t> reply = frame_reply(request, 96);
    uint8_t *r = reply.data();
    const sim_fs_status &s = fs.status;
    put_be16(r + 24, s.capability_flags);
    put_be16(r + 26, s.word1);
    put_be16(r + 28, uint16_t(fs.stripe_groups.size()));
    put_be16(r + 30, s.word3);
    put_be32(r + 32, fs.block_size);
    put_be16(r + 36, s.word5);
    put_be16(r + 38, s.word6);
    put_be16(r + 40, s.word7);
    put_be16(r + 42, s.word8);
    put_be32(r + 44, s.word9);
    put_be64(r + 56, s.counters[0]);
    put_be64(r + 64, s.counters[1]);
    put_be64(r + 72, s.counters[2]);
    put_be64(r + 80, fs.total_blocks);
    put_be64(r + 88, fs.free_blocks);
    return reply;
}

std::vector<uint8_t> stripe_group(const std::vector<uint8_t> &request, const sim_filesystem &fs,
                                  bool current) {
    uint32_t index = get_be32(&request[24]);
    if (index >= fs.stripe_groups.size())
        return error_reply(request, 1, error_no_entry);
    const sim_stripe_group &g = fs.stripe_groups[index];
    // The older form lacks the reserved blocks, so everything after them sits 8 bytes lower.
    size_t shift = current ? 0 : 8;
    size_t name_at = 112 - shift;
    std::vector<uint8_t> reply = frame_reply(request, name_at + 256);
    uint8_t *r = reply.data();
    put_be32(r + 24, g.flags);
    put_be32(r + 28, g.word);
    put_be64(r + 32, g.total_blocks);
    if (current)
        put_be64(r + 40, g.reserved_blocks);
    put_be64(r + 48 - shift, g.free_blocks);
    put_be64(r + 56 - shift, g.counters[0]);
    put_be64(r + 64 - shift, g.counters[1]);
    put_be64(r + 72 - shift, g.counters[2]);
    put_be32(r + 80 - shift, g.disks);
    put_be32(r + 88 - shift, g.access);
    put_be16(r + 92 - shift, g.multipath);
    put_be32(r + 96 - shift, g.breadth);
    put_be32(r + 100 - shift, g.affinity);
    put_be32(r + 104 - shift, g.word2);
    put_cut(r + name_at, g.name, 256);
    return reply;
}

// The word is the manager's own; a set changes only the file system's settable bits and
// answers the word that results, so a set of other bits is seen to fail.
std::vector<uint8_t> debug(const std::vector<uint8_t> &request, uint32_t settable, uint32_t &word) {
    uint32_t operation = get_be32(&request[24]);
    if (operation > 1)
        return error_reply(request, 1, error_invalid);
    if (operation == 1)
        word = (word & ~settable) | (get_be32(&request[28]) & settable);
    std::vector<uint8_t> reply = frame_reply(request, 32 + 64);
    put_be32(&reply[24], word);
    char text[64];
    bounded_format(text, sizeof text, "FSM debug flags 0x%08x", word);
    put_cut(&reply[32], text, 64);
    return reply;
}

std::vector<uint8_t> qos(const std::vector<uint8_t> &request, const sim_filesystem &fs) {
    uint32_t index = get_be32(&request[24]);
    if (index >= fs.stripe_groups.size())
        return error_reply(request, 1, error_no_entry);
    const sim_qos &q = fs.stripe_groups[index].qos;
    std::vector<uint8_t> reply = frame_reply(request, 72);
    uint8_t *r = reply.data();
    put_be32(r + 24, q.limit_iops);
    put_be32(r + 28, q.current_iops);
    put_be32(r + 32, q.reserved_iops);
    put_be32(r + 40, q.hint_iops);
    put_be32(r + 44, q.clients_iops);
    put_be32(r + 48, q.limit_mbps);
    for (int i = 0; i < 4; ++i)
        put_be32(r + 52 + 4 * i, q.words[i]);
    return reply;
}

std::vector<uint8_t> quota_state(const std::vector<uint8_t> &request, const sim_filesystem &fs) {
    std::vector<uint8_t> reply = frame_reply(request, 32 + 64);
    put_be32(&reply[24], fs.quotas_enabled ? 1 : 0);
    put_cut(&reply[32], fs.quotas_enabled ? "Quotas are enabled" : "Quotas are disabled", 64);
    return reply;
}

void put_quota(uint8_t *r, const sim_quota &q, uint32_t result) {
    put_be32(r + 28, q.grace);
    put_be64(r + 32, q.hard);
    put_be64(r + 40, q.soft);
    put_be64(r + 48, q.used);
    put_be32(r + 56, result);
    put_be32(r + 60, uint32_t(q.time_remaining));
    put_cut(r + 64, q.name, 256);
}

bool listed(const std::optional<std::vector<std::string>> &names, const std::string &name) {
    return !names || std::find(names->begin(), names->end(), name) != names->end();
}

bool by_name(const sim_quota &q, const std::string &name) {
    return q.name < name;
}

// Why `name` cannot be set in `list`, or quota_result_done. User and group entries come into
// being when first set, for names that exist; directory entries for existing name spaces that
// are not busy.
uint32_t set_refusal(const sim_filesystem &fs, bool directory, const std::vector<sim_quota> &list,
                     const std::optional<std::vector<std::string>> &known,
                     const std::string &name) {
    if (directory) {
        for (const sim_name_space &space : fs.name_spaces)
            if (space.name == name)
                return space.busy ? quota_result_busy : quota_result_done;
        return quota_result_no_entry;
    }
    const auto it = std::lower_bound(list.begin(), list.end(), name, by_name);
    const bool exists = it != list.end() && it->name == name;
    return exists || (!name.empty() && listed(known, name)) ? quota_result_done
                                                            : quota_result_no_name;
}

// Sets the limits of `name` in `list` (kept in name order), making its entry when needed. An
// entry left without limits and without usage goes away.
void quota_set(std::vector<sim_quota> &list, const std::string &name,
               const std::vector<uint8_t> &request, sim_quota *answer) {
    auto it = std::lower_bound(list.begin(), list.end(), name, by_name);
    if (it == list.end() || it->name != name) {
        it = list.insert(it, sim_quota{});
        it->name = name;
    }
    it->grace = get_be32(&request[28]);
    it->hard = get_be64(&request[32]);
    it->soft = get_be64(&request[40]);
    *answer = *it;
    if (it->hard == 0 && it->soft == 0 && it->grace == 0 && it->used == 0)
        list.erase(it);
}

std::vector<uint8_t> quota_op(const std::vector<uint8_t> &request, sim_filesystem &fs) {
    std::vector<uint8_t> reply = frame_reply(request, 320);
    uint8_t *r = reply.data();
    if (!fs.quotas_enabled)
        return reply; // state 0: nothing else is read
    put_be32(r + 24, 1);
    uint32_t code = get_be32(&request[24]) & 0x1FFFFFFF; // the top bits are list flags
    std::string name(reinterpret_cast<const char *>(&request[48]),
                     strnlen(reinterpret_cast<const char *>(&request[48]), 256));
    std::vector<sim_quota> *list = nullptr;
    const std::optional<std::vector<std::string>> none;
    const std::optional<std::vector<std::string>> *known = &none;
    switch (code) {
    case 2:
    case 4:
        list = &fs.user_quotas;
        known = &fs.users;
        break;
    case 3:
    case 5:
        list = &fs.group_quotas;
        known = &fs.groups;
        break;
    case 7:
    case 8:
        list = &fs.dir_space_quotas;
        break;
    case 10:
    case 11:
        list = &fs.dir_file_quotas;
        break;
    default:
        put_be32(r + 56, error_invalid);
        return reply;
    }
    const bool directory = code >= 7;
    if (directory && !fs.dir_quotas) {
        put_be32(r + 56, quota_result_no_support);
        return reply;
    }
    if (code == 2 || code == 3 || code == 7 || code == 10) {
        const uint32_t refusal = set_refusal(fs, directory, *list, *known, name);
        if (refusal != quota_result_done) {
            put_be32(r + 56, refusal);
            return reply;
        }
        sim_quota answer;
        quota_set(*list, name, request, &answer);
        put_quota(r, answer, quota_result_done);
        return reply;
    }
    auto next =
        std::upper_bound(list->begin(), list->end(), name,
                         [](const std::string &n, const sim_quota &q) { return n < q.name; });
    if (next == list->end())
        put_be32(r + 56, quota_result_no_entry);
    else
        put_quota(r, *next, quota_result_done);
    return reply;
}

std::vector<uint8_t> who(const std::vector<uint8_t> &request, const sim_filesystem &fs,
                         bool current) {
    uint32_t index = get_be32(&request[24]);
    if (index >= fs.clients.size())
        return error_reply(request, 1, error_no_entry);
    const sim_client &c = fs.clients[index];
    std::vector<uint8_t> reply = frame_reply(request, current ? 1168 : 64);
    uint8_t *r = reply.data();
    put_be32(r + 24, index);
    put_be32(r + 28, c.flags);
    put_be32(r + 32, c.type);
    put_be32(r + 36, c.cpus);
    put_be32(r + 40, c.expiry);
    put_be32(r + 44, c.uptime);
    put_be64(r + 48, c.hashed_id);
    if (!current) {
        // The first version carries one IPv4 address: the client's local one when it has one.
        uint8_t local[16] = {};
        put_address(local, c.local);
        if (local[10] == 0xFF && local[11] == 0xFF)
            std::memcpy(r + 56, local + 12, 4);
        return reply;
    }
    put_address(r + 56, c.ip);
    put_address(r + 72, c.local);
    put_address(r + 88, c.identity);
    put_be32(r + 104, c.io_rate);
    put_be64(r + 112, c.io_last);
    put_cut(r + 120, c.build, 1024);
    put_be64(r + 1144, c.reconnect_time);
    put_be32(r + 1152, c.reconnect_count);
    return reply;
}

std::vector<uint8_t> fsm_reply_locked(sim_filesystem &fs, sim_manager &m,
                                      const std::vector<uint8_t> &request, bool *tapped) {
    uint8_t type = request[9];
    if (request[8] != 2 || (!*tapped && type != FSM_ADMIN_TAP))
        return error_reply(request, 1, error_invalid);
    switch (type) {
    case FSM_ADMIN_TAP: {
        *tapped = true;
        std::vector<uint8_t> reply = frame_reply(request, 32);
        put_be32(&reply[24], fs.tap_capability);
        return reply;
    }
    case FSM_STATUS:
        return status(request, fs);
    case FSM_SG_STATUS_OLD:
        return stripe_group(request, fs, false);
    case FSM_SG_STATUS:
        return fs.status.capability_flags & capability_current_sg ? stripe_group(request, fs, true)
                                                                  : error_reply(request, 255, 1);
    case FSM_DEBUG:
        return debug(request, fs.debug_settable, m.debug_flags);
    case FSM_QOS:
        return qos(request, fs);
    case FSM_QUOTA_STATE:
        return quota_state(request, fs);
    case FSM_QUOTA_OP:
        return quota_op(request, fs);
    case FSM_WHO_V1:
        return who(request, fs, false);
    case FSM_WHO:
        return fs.tap_capability & tap_current_who ? who(request, fs, true)
                                                   : error_reply(request, 255, 1);
    default:
        return error_reply(request, 255, 1);
    }
}

} // namespace

void fsm_serve(sim_world &world, int fs_index, int manager_index, int socket) {
    bool tapped = false;
    while (!world.stopping) {
        std::vector<uint8_t> request(frame_header_size);
        if (!sim_recv_exact(socket, request.data(), frame_header_size))
            return;
        size_t length = fsm_request_length(request.data());
        if (length == 0)
            return;
        request.resize(std::max<size_t>(length, fsm_request_room), 0);
        if (!sim_recv_exact(socket, request.data() + frame_header_size, length - frame_header_size))
            return;
        uint8_t type = request[9];
        std::vector<uint8_t> reply;
        sim_fault fault;
        {
            std::lock_guard<std::mutex> hold(world.lock);
            sim_filesystem &fs = world.scenario.filesystems[size_t(fs_index)];
            sim_manager &m = fs.managers[size_t(manager_index)];
            if (m.state != SIM_ACTIVE)
                return; // a manager that is not running drops its connections
            fault = m.fault;
            reply = fsm_reply_locked(fs, m, request, &tapped);
        }
        sim_fault none;
        if (fault_send(socket, fault_applies(fault, type) ? fault : none, true, reply,
                       world_wait_ms, &world) != SIM_SEND_OK)
            return;
    }
}

size_t fsm_request_length(const uint8_t *header) {
    if (!frame_has_magic(header))
        return 0;
    size_t length = frame_length(header);
    return length < frame_header_size || length > frame_max_request ? 0 : length;
}

std::vector<uint8_t> fsm_reply(sim_world &world, int fs_index, int manager_index,
                               const std::vector<uint8_t> &request, bool *tapped) {
    std::vector<uint8_t> whole = request;
    whole.resize(std::max<size_t>(whole.size(), fsm_request_room), 0);
    std::lock_guard<std::mutex> hold(world.lock);
    sim_filesystem &fs = world.scenario.filesystems[size_t(fs_index)];
    return fsm_reply_locked(fs, fs.managers[size_t(manager_index)], whole, tapped);
}
