#include "clustersim/name_server.h"

#include "clustersim/frame.h"

#include "libfsmcomm/auth.h"
#include "libfsmcomm/wire.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>

namespace {

struct command_form {
    uint8_t form, command;
    int generation; // oldest generation that answers it
};

// Newest forms need the newest name server; the oldest forms are answered by every one.
constexpr command_form known_commands[] = {
    {0, 36, 3}, {0, 131, 2}, {0, 3, 1},   {0, 28, 3}, {8, 14, 3}, {0, 23, 2},
    {0, 21, 1}, {8, 5, 3},   {0, 133, 2}, {0, 5, 1},  {8, 4, 3},  {0, 132, 2},
    {0, 4, 1},  {8, 13, 3},  {0, 141, 2}, {0, 13, 1}, {8, 27, 3}, {8, 10, 3},
    {0, 10, 1}, {0, 140, 3}, {0, 12, 1},  {0, 11, 1}, {0, 19, 1},
};

enum control_kind { CONTROL_STOP = 0, CONTROL_START = 1, CONTROL_FAILOVER = 2, CONTROL_ONCE = 3 };

int control_kind_of(uint8_t command) {
    switch (command) {
    case 5:
    case 133:
        return CONTROL_STOP;
    case 4:
    case 132:
        return CONTROL_START;
    case 13:
    case 141:
        return CONTROL_FAILOVER;
    case 27:
        return CONTROL_ONCE;
    default:
        return -1;
    }
}

uint32_t fnv(uint32_t h, const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

std::string name_at(const uint8_t *message) {
    return std::string(reinterpret_cast<const char *>(message + 40),
                       strnlen(reinterpret_cast<const char *>(message + 40), 256));
}

void put_name(uint8_t *message, const std::string &name) {
    std::memcpy(message + 40, name.c_str(), std::min<size_t>(name.size(), 255));
}

// True when the host's generation (and its refusal list) answers command (form, command).
bool name_server_knows(const sim_host &host, uint8_t form, uint8_t command) {
    uint16_t key = uint16_t(form << 8 | command);
    for (uint16_t refused : host.refused)
        if (refused == key)
            return false;
    for (const command_form &c : known_commands)
        if (c.form == form && c.command == command)
            return host.generation >= c.generation;
    return false;
}

// Checksum of a disk set, as the disk-list replies carry it; changes with any disk field.
uint32_t disk_set_checksum(const std::vector<sim_disk> &disks) {
    uint32_t h = 2166136261u;
    for (const sim_disk &d : disks) {
        for (const std::string *s : {&d.label, &d.serial, &d.block_device, &d.raw_device,
                                     &d.string5, &d.string6, &d.inquiry, &d.controller})
            h = fnv(h, s->c_str(), s->size() + 1);
        uint32_t words[] = {d.state,
                            d.word_a,
                            d.word_b,
                            d.word_c,
                            d.word_d,
                            d.word_f,
                            uint32_t(d.size >> 32),
                            uint32_t(d.size),
                            d.hba_id,
                            d.lun_id,
                            d.byte_e};
        h = fnv(h, words, sizeof words);
    }
    return h;
}

// The checksum of a host's disk list, computed once per edit of the scenario rather than for
// every page. The caller holds the world's lock.
uint32_t disk_list_checksum(sim_world &world, size_t host_index) {
    world.disk_checksums.resize(world.scenario.hosts.size());
    sim_disk_checksum &cached = world.disk_checksums[host_index];
    if (cached.edits != world.edits) {
        cached.value = disk_set_checksum(world.scenario.hosts[host_index].disks);
        cached.edits = world.edits;
    }
    return cached.value;
}

class session {
public:
    session(sim_world &world, int host_index, int socket)
        : world_(world), host_index_(size_t(host_index)), socket_(socket) {}

    void run() {
        while (!world_.stopping) {
            std::vector<uint8_t> request(frame_header_size);
            if (!sim_recv_exact(socket_, request.data(), frame_header_size))
                return;
            bool framed = false;
            size_t length = name_server_request_length(request.data(), &framed);
            if (length == 0)
                return;
            request.resize(std::max(length, pm_message_size), 0);
            if (!sim_recv_exact(socket_, request.data() + frame_header_size,
                                length - frame_header_size))
                return;
            if (!answer(request, framed))
                return;
        }
    }

    // The reply to `request` (at least pm_message_size bytes); the world's lock is held.
    std::vector<uint8_t> reply_locked(const std::vector<uint8_t> &request, bool framed) {
        uint8_t form = request[24], command = request[25];
        // Activate and the authentication query travel unframed, everything else framed.
        bool wants_unframed = command == 10 || command == 19;
        if (framed == wants_unframed || !name_server_knows(host(), form, command))
            return unsupported(request, framed);
        return dispatch(request, framed, command);
    }

private:
    sim_host &host() { return world_.scenario.hosts[host_index_]; }

    // A zeroed reply of `size` bytes with the request's header (class, type, sequence).
    static std::vector<uint8_t> reply_for(const std::vector<uint8_t> &request, bool framed,
                                          size_t size = pm_message_size) {
        return framed ? frame_reply(request, size) : std::vector<uint8_t>(size, 0);
    }

    bool answer(const std::vector<uint8_t> &request, bool framed) {
        uint8_t command = request[25];
        bool auth_query = !framed && command == 19;
        std::vector<uint8_t> reply;
        sim_fault fault;
        bool auth_required;
        uint32_t key[AUTH_KEY_WORDS];
        {
            std::lock_guard<std::mutex> hold(world_.lock);
            fault = host().name_server_fault;
            auth_required = host().auth_required;
            if (auth_required && !authenticated_ && !auth_query)
                return false; // a host that wants authentication serves nobody else
            auth_key_from_line(host().auth_secret.c_str(), host().auth_secret.size(), key);
            reply = reply_locked(request, framed);
        }
        sim_fault none;
        if (fault_send(socket_, fault_applies(fault, command) ? fault : none, framed, reply,
                       world_wait_ms, &world_) != SIM_SEND_OK)
            return false;
        if (auth_query && auth_required && reply[11] == 0)
            authenticated_ = challenge_response(key);
        return !auth_required || authenticated_;
    }

    // The server's side of the exchange: our challenge out, the client's answer in (kind 1,
    // echo of our challenge, the right digest), then our answer to the client's challenge.
    bool challenge_response(const uint32_t key[AUTH_KEY_WORDS]) {
        std::random_device random;
        uint32_t x = random(), y = random();
        uint8_t record[AUTH_RECORD_SIZE] = {};
        put_be32(record + AUTH_RECORD_KIND, AUTH_RECORD_KIND_ANSWER);
        put_be32(record + AUTH_RECORD_TIME, uint32_t(std::time(nullptr)));
        put_be32(record + AUTH_RECORD_CHALLENGE, x);
        put_be32(record + AUTH_RECORD_CHALLENGE + 4, y);
        if (!sim_send_all(socket_, record, sizeof record) ||
            !sim_recv_exact(socket_, record, sizeof record))
            return false;
        uint32_t digest[4];
        auth_digest_keyed(key, x, y, digest);
        bool valid = get_be32(record + AUTH_RECORD_KIND) == AUTH_RECORD_KIND_ANSWER &&
                     get_be32(record + AUTH_RECORD_ECHO) == x &&
                     get_be32(record + AUTH_RECORD_ECHO + 4) == y;
        for (int j = 0; j < 4; ++j)
            valid = valid && get_be32(record + AUTH_RECORD_RESPONSE + 4 * j) == digest[j];
        if (!valid)
            return false;
        uint32_t client_x = get_be32(record + AUTH_RECORD_CHALLENGE);
        uint32_t client_y = get_be32(record + AUTH_RECORD_CHALLENGE + 4);
        auth_digest_keyed(key, client_x, client_y, digest);
        uint8_t answer[AUTH_RECORD_SIZE] = {};
        put_be32(answer + AUTH_RECORD_KIND, AUTH_RECORD_KIND_ANSWER);
        put_be32(answer + AUTH_RECORD_TIME, uint32_t(std::time(nullptr)));
        for (int j = 0; j < 4; ++j)
            put_be32(answer + AUTH_RECORD_RESPONSE + 4 * j, digest[j]);
        put_be32(answer + AUTH_RECORD_ECHO, client_x);
        put_be32(answer + AUTH_RECORD_ECHO + 4, client_y);
        return sim_send_all(socket_, answer, sizeof answer);
    }

    std::vector<uint8_t> unsupported(const std::vector<uint8_t> &request, bool framed) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        reply[24] = request[24];
        reply[25] = request[25];
        reply[11] = 255;
        if (framed)
            put_be16(&reply[14], 1);
        else
            reply[14] = 1; // unframed records carry the code least significant byte first
        return reply;
    }

    std::vector<uint8_t> dispatch(const std::vector<uint8_t> &request, bool framed,
                                  uint8_t command) {
        switch (command) {
        case 36:
        case 131:
        case 3:
            return list_by_ordinal(request, framed, command);
        case 28:
            return list_local(request, framed);
        case 14:
        case 23:
        case 21:
            return disks(request, framed, command);
        case 140:
        case 12:
            return locate(request, framed, command == 140);
        case 11:
            return reply_for(request, framed);
        case 10:
            return activate(request, framed);
        case 19:
            return auth_query(request, framed);
        default:
            return control(request, framed, control_kind_of(command));
        }
    }

    // Fields of one manager's entry; `mapped` also fills the 16-byte address at 296.
    static void put_entry(uint8_t *reply, const sim_filesystem &fs, const sim_manager &m,
                          bool mapped) {
        put_be16(reply + 26, m.port);
        put_be16(reply + 30, uint16_t((m.state == SIM_ACTIVE ? 0x8000 : 0) | m.priority));
        uint8_t address[16];
        address_parse(m.host, address);
        std::memcpy(reply + 32, address + 12, 4);
        put_be32(reply + 36, m.pid);
        put_name(reply, fs.name);
        if (mapped)
            std::memcpy(reply + 296, address, 16);
    }

    std::vector<uint8_t> list_by_ordinal(const std::vector<uint8_t> &request, bool framed,
                                         uint8_t command) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        uint16_t ordinal = get_be16(&request[30]);
        put_be16(&reply[30], ordinal);
        uint16_t seen = 0;
        for (const sim_filesystem &fs : world_.scenario.filesystems)
            for (const sim_manager &m : fs.managers) {
                if (m.state == SIM_DOWN || seen++ != ordinal)
                    continue;
                if (command == 36)
                    put_be16(&reply[24], 1); // entry type: FSM
                put_entry(reply.data(), fs, m, command != 3);
                return reply;
            }
        put_be16(&reply[28], pm_status_end);
        return reply;
    }

    std::vector<uint8_t> list_local(const std::vector<uint8_t> &request, bool framed) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        std::string wanted = name_at(request.data());
        uint16_t index = get_be16(&request[30]);
        uint16_t seen = 0;
        for (const sim_filesystem &fs : world_.scenario.filesystems)
            for (const sim_manager &m : fs.managers) {
                if (m.host != host().address)
                    continue;
                bool match = wanted.empty() ? seen++ == index : fs.name == wanted;
                if (!match)
                    continue;
                put_be16(&reply[24], 1);
                put_entry(reply.data(), fs, m, true);
                put_be16(&reply[312], m.state == SIM_DOWN ? 0 : 2); // run state
                return reply;
            }
        put_be16(&reply[28], pm_status_end);
        return reply;
    }

    std::vector<uint8_t> locate(const std::vector<uint8_t> &request, bool framed, bool current) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        std::string wanted = name_at(request.data());
        const sim_filesystem *standby_fs = nullptr;
        const sim_manager *standby = nullptr;
        for (const sim_filesystem &fs : world_.scenario.filesystems) {
            if (fs.name != wanted)
                continue;
            for (const sim_manager &m : fs.managers) {
                if (m.state == SIM_ACTIVE) {
                    put_be16(&reply[24], 1);
                    put_entry(reply.data(), fs, m, current);
                    return reply;
                }
                if (m.state == SIM_STANDBY && !standby) {
                    standby_fs = &fs;
                    standby = &m;
                }
            }
        }
        if (standby) {
            put_entry(reply.data(), *standby_fs, *standby, current);
            put_be16(&reply[28], pm_status_standby);
        } else {
            put_name(reply.data(), wanted);
            put_be16(&reply[28], pm_status_not_found);
        }
        return reply;
    }

    std::vector<uint8_t> disks(const std::vector<uint8_t> &request, bool framed, uint8_t command) {
        const std::vector<sim_disk> &all = host().disks;
        size_t first = get_be16(&request[30]);
        if (first >= all.size()) {
            std::vector<uint8_t> reply = reply_for(request, framed);
            put_be16(&reply[28], pm_status_end);
            return reply;
        }
        if (command == 21)
            return single_disk(request, framed, all[first]);
        size_t room = std::min<size_t>(get_be16(&request[26]), 8192 - 40);
        size_t wanted = get_be32(&request[36]);
        std::vector<uint8_t> body; // stays empty for a request of 0 entries
        uint16_t taken = 0;
        for (size_t i = first; i < all.size() && taken < wanted; ++i) {
            std::vector<uint8_t> entry = disk_entry(all[i]);
            if (body.size() + entry.size() > room)
                break;
            body.insert(body.end(), entry.begin(), entry.end());
            ++taken;
        }
        std::vector<uint8_t> reply =
            reply_for(request, framed, std::max(pm_message_size, 40 + body.size()));
        put_be16(&reply[26], taken);
        put_be16(&reply[30], uint16_t(first));
        put_be32(&reply[32], disk_list_checksum(world_, host_index_));
        std::copy(body.begin(), body.end(), reply.begin() + 40);
        return reply;
    }

    static std::vector<uint8_t> disk_entry(const sim_disk &d) {
        std::vector<uint8_t> e(40, 0);
        put_be32(&e[4], d.word_a);
        put_be32(&e[8], d.word_b);
        put_be32(&e[12], d.state);
        put_be64(&e[16], d.size);
        put_be32(&e[24], d.word_c);
        put_be32(&e[28], d.word_d);
        e[32] = d.hba_id;
        e[33] = d.lun_id;
        e[34] = d.byte_e;
        put_be32(&e[36], d.word_f);
        for (const std::string *s : {&d.label, &d.serial, &d.block_device, &d.raw_device,
                                     &d.string5, &d.string6, &d.inquiry, &d.controller})
            e.insert(e.end(), s->c_str(), s->c_str() + s->size() + 1);
        e.resize((e.size() + 3) & ~size_t(3), 0); // entries start on 4-byte boundaries
        put_be32(&e[0], uint32_t(e.size()));
        return e;
    }

    // The oldest disk list: one disk per request at fixed offsets.
    static std::vector<uint8_t> single_disk(const std::vector<uint8_t> &request, bool framed,
                                            const sim_disk &d) {
        std::vector<uint8_t> reply = reply_for(request, framed, 2000);
        uint8_t *r = reply.data();
        put_be16(r + 26, 1);
        put_be32(r + 1024, d.word_a);
        put_be32(r + 1028, d.word_b);
        put_be64(r + 1032, d.size);
        put_be32(r + 1040, d.word_c);
        put_be32(r + 1044, d.word_d);
        put_cut(r + 1048, d.label, 256);
        put_cut(r + 1304, d.inquiry, 32);
        put_cut(r + 1336, d.controller, 64);
        put_cut(r + 1400, d.serial, 64);
        put_cut(r + 1464, d.block_device, 256);
        put_cut(r + 1720, d.raw_device, 256);
        put_be32(r + 1976, d.state);
        r[1980] = d.hba_id;
        r[1981] = d.lun_id;
        put_be32(r + 1984, d.word_f);
        return reply;
    }

    const sim_control_status *control_override(const std::string &name) {
        for (const sim_control_status &c : host().control)
            if (c.fs_name == name)
                return &c;
        return nullptr;
    }

    static uint32_t next_pid(const sim_scenario &s) {
        uint32_t top = 4099;
        for (const sim_filesystem &fs : s.filesystems)
            for (const sim_manager &m : fs.managers)
                top = std::max(top, m.pid);
        return top + 1;
    }

    // Brings a down manager up: active unless another manager of its file system is.
    void bring_up(sim_filesystem &fs, sim_manager &m) {
        bool other_active = false;
        for (const sim_manager &o : fs.managers)
            other_active = other_active || (&o != &m && o.state == SIM_ACTIVE);
        m.pid = next_pid(world_.scenario);
        m.state = other_active ? SIM_STANDBY : SIM_ACTIVE;
    }

    std::vector<uint8_t> control(const std::vector<uint8_t> &request, bool framed, int kind) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        std::string name = name_at(request.data());
        put_name(reply.data(), name);
        if (const sim_control_status *o = control_override(name)) {
            int status = kind == CONTROL_START  ? o->start
                         : kind == CONTROL_STOP ? o->stop
                         : kind == CONTROL_ONCE ? o->start_once
                                                : o->failover;
            if (status >= 0) {
                put_be16(&reply[28], uint16_t(status));
                return reply;
            }
        }
        sim_filesystem *fs = nullptr;
        for (sim_filesystem &f : world_.scenario.filesystems)
            fs = f.name == name ? &f : fs;
        bool starting = kind == CONTROL_START || kind == CONTROL_ONCE;
        if (!fs) {
            put_be16(&reply[28], starting ? pm_status_unconfigured : pm_status_not_found);
            return reply;
        }
        // A name server acts only on its own host's manager, and a port names exactly which
        // one: ports of managers on other hosts may well be equal.
        uint16_t port = get_be16(&request[26]);
        sim_manager *m = nullptr;
        bool local = false;
        for (sim_manager &c : fs->managers) {
            if (c.host != host().address)
                continue;
            local = true;
            if (port == 0 || c.port == port)
                m = &c;
        }
        if (!m) {
            put_be16(&reply[28], local ? pm_status_not_found : pm_status_not_local);
            return reply;
        }
        uint16_t status = 0;
        if (starting) {
            if (m->state != SIM_DOWN)
                status = pm_status_running;
            else
                bring_up(*fs, *m);
        } else if (m->state == SIM_DOWN) {
            status = pm_status_not_found;
        } else {
            if (kind == CONTROL_FAILOVER && m->state == SIM_ACTIVE) {
                sim_manager *best = nullptr;
                for (sim_manager &c : fs->managers)
                    if (c.state == SIM_STANDBY && (!best || c.priority < best->priority))
                        best = &c;
                if (best)
                    best->state = SIM_ACTIVE;
            }
            m->state = SIM_DOWN;
        }
        put_entry(reply.data(), *fs, *m, true);
        put_be16(&reply[28], status);
        return reply;
    }

    std::vector<uint8_t> activate(const std::vector<uint8_t> &request, bool framed) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        reply[24] = request[24];
        reply[25] = request[25];
        std::string name = name_at(request.data());
        put_name(reply.data(), name);
        if (const sim_control_status *o = control_override(name); o && o->activate >= 0) {
            put_be16(&reply[28], uint16_t(o->activate));
            return reply;
        }
        bool known = false;
        for (sim_filesystem &fs : world_.scenario.filesystems) {
            if (fs.name != name)
                continue;
            known = true;
            for (sim_manager &m : fs.managers) {
                if (m.host != host().address)
                    continue;
                if (m.state == SIM_DOWN)
                    m.pid = next_pid(world_.scenario);
                for (sim_manager &o : fs.managers)
                    if (o.state == SIM_ACTIVE)
                        o.state = SIM_STANDBY;
                m.state = SIM_ACTIVE;
                put_entry(reply.data(), fs, m, true);
                return reply;
            }
        }
        // A file system with no manager on this host cannot be activated here.
        put_be16(&reply[28], known ? pm_status_not_local : pm_status_not_found);
        return reply;
    }

    std::vector<uint8_t> auth_query(const std::vector<uint8_t> &request, bool framed) {
        std::vector<uint8_t> reply = reply_for(request, framed);
        reply[25] = request[25];
        put_be16(&reply[28],
                 host().auth_required ? AUTH_ANSWER_REQUIRED : AUTH_ANSWER_NOT_REQUIRED);
        return reply;
    }

    sim_world &world_;
    size_t host_index_;
    int socket_;
    bool authenticated_ = false;
};

} // namespace

void name_server_serve(sim_world &world, int host_index, int socket) {
    session(world, host_index, socket).run();
}

size_t name_server_request_length(const uint8_t *header, bool *framed) {
    *framed = frame_has_magic(header);
    if (*framed) {
        size_t length = frame_length(header);
        return length < frame_header_size || length > frame_max_request ? 0 : length;
    }
    return get_be64(header) == 0 ? pm_message_size : 0; // else neither framed nor unframed
}

std::vector<uint8_t> name_server_reply(sim_world &world, int host_index,
                                       const std::vector<uint8_t> &request, bool framed) {
    std::vector<uint8_t> whole = request;
    whole.resize(std::max(whole.size(), pm_message_size), 0);
    std::lock_guard<std::mutex> hold(world.lock);
    return session(world, host_index, -1).reply_locked(whole, framed);
}
