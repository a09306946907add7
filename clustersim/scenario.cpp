#include "clustersim/scenario.h"

#include "libutil/fatal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

using nlohmann::json;

namespace {

// Scenario mistakes are reported with the path of the offending key.
struct scenario_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void check_keys(const json &j, const std::string &where, std::initializer_list<const char *> keys) {
    if (!j.is_object())
        throw scenario_error(where + ": object expected");
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = false;
        for (const char *k : keys)
            known = known || it.key() == k;
        if (!known)
            throw scenario_error(where + ": unknown key \"" + it.key() + "\"");
    }
}

template <typename T>
void read(const json &j, const char *key, T &out) {
    if (j.contains(key))
        out = j.at(key).get<T>();
}

void read_fault(const json &j, const char *key, const std::string &where, sim_fault &fault) {
    if (!j.contains(key))
        return;
    std::string fault_text = j.at(key).get<std::string>();
    char text[256];
    if (fault_parse(fault_text.c_str(), &fault, text, sizeof text) != 0)
        throw scenario_error(where + "." + key + ": " + text);
}

sim_disk parse_disk(const json &j, const std::string &where) {
    check_keys(j, where,
               {"label", "serial", "block_device", "raw_device", "string5", "string6", "inquiry",
                "controller", "size", "state", "word_a", "word_b", "word_c", "word_d", "word_f",
                "hba_id", "lun_id", "byte_e"});
    sim_disk d;
    read(j, "label", d.label);
    read(j, "serial", d.serial);
    read(j, "block_device", d.block_device);
    read(j, "raw_device", d.raw_device);
    read(j, "string5", d.string5);
    read(j, "string6", d.string6);
    read(j, "inquiry", d.inquiry);
    read(j, "controller", d.controller);
    read(j, "size", d.size);
    read(j, "state", d.state);
    read(j, "word_a", d.word_a);
    read(j, "word_b", d.word_b);
    read(j, "word_c", d.word_c);
    read(j, "word_d", d.word_d);
    read(j, "word_f", d.word_f);
    read(j, "hba_id", d.hba_id);
    read(j, "lun_id", d.lun_id);
    read(j, "byte_e", d.byte_e);
    return d;
}

sim_host parse_host(const json &j, const std::string &where) {
    check_keys(j, where,
               {"address", "name", "name_server_port", "generation", "refuse", "auth_secret",
                "disks", "control", "agent_fault", "name_server_fault"});
    sim_host h;
    h.address = j.at("address").get<std::string>();
    uint8_t mapped[16];
    if (!address_parse(h.address, mapped) || mapped[10] != 0xFF || mapped[12] != 127)
        throw scenario_error(where + ".address: not a 127.0.0.0/8 address: " + h.address);
    read(j, "name", h.name);
    read(j, "name_server_port", h.name_server_port);
    read(j, "generation", h.generation);
    if (h.generation < 1 || h.generation > 3)
        throw scenario_error(where + ".generation: 1, 2 or 3 expected");
    if (j.contains("refuse"))
        for (const json &pair : j.at("refuse")) {
            auto form_command = pair.get<std::vector<uint8_t>>();
            if (form_command.size() != 2)
                throw scenario_error(where + ".refuse: [form, command] pairs expected");
            h.refused.push_back(uint16_t(form_command[0] << 8 | form_command[1]));
        }
    if (j.contains("auth_secret")) {
        h.auth_required = true;
        h.auth_secret = j.at("auth_secret").get<std::string>();
    }
    if (j.contains("disks"))
        for (size_t i = 0; i < j.at("disks").size(); ++i)
            h.disks.push_back(
                parse_disk(j.at("disks").at(i), where + ".disks[" + std::to_string(i) + "]"));
    if (j.contains("control"))
        for (size_t i = 0; i < j.at("control").size(); ++i) {
            const json &c = j.at("control").at(i);
            check_keys(c, where + ".control[" + std::to_string(i) + "]",
                       {"fs", "start", "stop", "failover", "start_once", "activate"});
            sim_control_status s;
            s.fs_name = c.at("fs").get<std::string>();
            read(c, "start", s.start);
            read(c, "stop", s.stop);
            read(c, "failover", s.failover);
            read(c, "start_once", s.start_once);
            read(c, "activate", s.activate);
            h.control.push_back(s);
        }
    read_fault(j, "agent_fault", where, h.agent_fault);
    read_fault(j, "name_server_fault", where, h.name_server_fault);
    return h;
}

// `debug_flags` is the file system's word, which the manager's own key overrides.
sim_manager parse_manager(const json &j, const std::string &where, uint32_t debug_flags) {
    check_keys(j, where, {"host", "port", "state", "priority", "pid", "debug_flags", "fault"});
    sim_manager m;
    m.debug_flags = debug_flags;
    read(j, "debug_flags", m.debug_flags);
    m.host = j.at("host").get<std::string>();
    read(j, "port", m.port);
    std::string state = "active";
    read(j, "state", state);
    if (state == "active")
        m.state = SIM_ACTIVE;
    else if (state == "standby")
        m.state = SIM_STANDBY;
    else if (state == "down")
        m.state = SIM_DOWN;
    else
        throw scenario_error(where + ".state: active, standby or down expected");
    read(j, "priority", m.priority);
    if (m.priority > 0x7FFF)
        throw scenario_error(where + ".priority: at most 32767");
    read(j, "pid", m.pid);
    read_fault(j, "fault", where, m.fault);
    return m;
}

sim_stripe_group parse_stripe_group(const json &j, const std::string &where) {
    check_keys(j, where,
               {"name", "flags", "word", "total_blocks", "reserved_blocks", "free_blocks",
                "counters", "disks", "access", "multipath", "breadth", "affinity", "word2", "qos"});
    sim_stripe_group g;
    read(j, "name", g.name);
    read(j, "flags", g.flags);
    read(j, "word", g.word);
    read(j, "total_blocks", g.total_blocks);
    read(j, "reserved_blocks", g.reserved_blocks);
    read(j, "free_blocks", g.free_blocks);
    if (j.contains("counters")) {
        auto c = j.at("counters").get<std::vector<uint64_t>>();
        for (size_t i = 0; i < 3 && i < c.size(); ++i)
            g.counters[i] = c[i];
    }
    read(j, "disks", g.disks);
    read(j, "access", g.access);
    read(j, "multipath", g.multipath);
    read(j, "breadth", g.breadth);
    read(j, "affinity", g.affinity);
    read(j, "word2", g.word2);
    if (j.contains("qos")) {
        const json &q = j.at("qos");
        check_keys(q, where + ".qos",
                   {"limit_iops", "current_iops", "reserved_iops", "hint_iops", "clients_iops",
                    "limit_mbps", "words"});
        read(q, "limit_iops", g.qos.limit_iops);
        read(q, "current_iops", g.qos.current_iops);
        read(q, "reserved_iops", g.qos.reserved_iops);
        read(q, "hint_iops", g.qos.hint_iops);
        read(q, "clients_iops", g.qos.clients_iops);
        read(q, "limit_mbps", g.qos.limit_mbps);
        if (q.contains("words")) {
            auto w = q.at("words").get<std::vector<uint32_t>>();
            for (size_t i = 0; i < 4 && i < w.size(); ++i)
                g.qos.words[i] = w[i];
        }
    }
    return g;
}

sim_client parse_client(const json &j, const std::string &where) {
    check_keys(j, where,
               {"flags", "type", "cpus", "expiry", "uptime", "hashed_id", "ip", "local", "identity",
                "io_rate", "io_last", "build", "reconnect_time", "reconnect_count"});
    sim_client c;
    read(j, "flags", c.flags);
    read(j, "type", c.type);
    read(j, "cpus", c.cpus);
    read(j, "expiry", c.expiry);
    read(j, "uptime", c.uptime);
    read(j, "hashed_id", c.hashed_id);
    read(j, "ip", c.ip);
    read(j, "local", c.local);
    read(j, "identity", c.identity);
    uint8_t scratch[16];
    for (const std::string *a : {&c.ip, &c.local, &c.identity})
        if (!a->empty() && !address_parse(*a, scratch))
            throw scenario_error(where + ": bad address " + *a);
    read(j, "io_rate", c.io_rate);
    read(j, "io_last", c.io_last);
    read(j, "build", c.build);
    if (c.build.size() > 1023)
        throw scenario_error(where + ".build: at most 1023 characters");
    read(j, "reconnect_time", c.reconnect_time);
    read(j, "reconnect_count", c.reconnect_count);
    return c;
}

// A path below a mount point: relative, without "." or ".." steps, at most 1000 characters.
std::string relative_path(const json &j, const std::string &where) {
    const std::string path = j.get<std::string>();
    bool ok = !path.empty() && path.size() <= 1000 && path[0] != '/';
    for (size_t begin = 0; ok && begin <= path.size();) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string step = path.substr(begin, end - begin);
        ok = step != "." && step != "..";
        begin = end + 1;
    }
    if (!ok)
        throw scenario_error(where + ": a relative path without \".\" or \"..\" expected");
    return path;
}

// User and group entries are named; directory entries name their directory by `path` (or,
// for a name space without a directory, by `name`).
std::vector<sim_quota> parse_quotas(const json &j, const char *key, const std::string &where,
                                    bool directory) {
    std::vector<sim_quota> out;
    if (!j.contains(key))
        return out;
    for (size_t i = 0; i < j.at(key).size(); ++i) {
        const json &q = j.at(key).at(i);
        std::string w = where + "." + key + "[" + std::to_string(i) + "]";
        if (directory)
            check_keys(q, w, {"name", "path", "used", "hard", "soft", "grace", "time_remaining"});
        else
            check_keys(q, w, {"name", "used", "hard", "soft", "grace", "time_remaining"});
        sim_quota e;
        if (directory && q.contains("path") == q.contains("name"))
            throw scenario_error(w + ": either \"path\" or \"name\" expected");
        if (q.contains("path")) {
            e.path = relative_path(q.at("path"), w + ".path");
        } else {
            e.name = q.at("name").get<std::string>();
            if (e.name.empty() || e.name.size() > 255)
                throw scenario_error(w + ".name: 1 to 255 characters expected");
        }
        read(q, "used", e.used);
        read(q, "hard", e.hard);
        read(q, "soft", e.soft);
        read(q, "grace", e.grace);
        read(q, "time_remaining", e.time_remaining);
        out.push_back(e);
    }
    return out;
}

void parse_directories(const json &j, const std::string &where, sim_filesystem &f) {
    if (j.contains("directories"))
        for (size_t i = 0; i < j.at("directories").size(); ++i)
            f.directories.push_back(relative_path(
                j.at("directories").at(i), where + ".directories[" + std::to_string(i) + "]"));
    if (j.contains("name_spaces"))
        for (size_t i = 0; i < j.at("name_spaces").size(); ++i) {
            const json &n = j.at("name_spaces").at(i);
            const std::string w = where + ".name_spaces[" + std::to_string(i) + "]";
            check_keys(n, w, {"path", "busy"});
            sim_name_space space;
            space.path = relative_path(n.at("path"), w + ".path");
            read(n, "busy", space.busy);
            f.name_spaces.push_back(space);
        }
    read(j, "dir_quotas", f.dir_quotas);
}

sim_filesystem parse_filesystem(const json &j, const std::string &where,
                                const sim_scenario &scenario) {
    check_keys(
        j, where,
        {"name",         "managers",     "tap_capability",   "status",          "block_size",
         "total_blocks", "free_blocks",  "stripe_groups",    "clients",         "quotas_enabled",
         "user_quotas",  "group_quotas", "dir_space_quotas", "dir_file_quotas", "users",
         "groups",       "debug_flags",  "debug_settable",   "dir_quotas",      "directories",
         "name_spaces"});
    sim_filesystem f;
    f.name = j.at("name").get<std::string>();
    if (f.name.empty() || f.name.size() > 255)
        throw scenario_error(where + ".name: 1 to 255 characters expected");
    // The name is also the mount point's directory name.
    if (f.name.find('/') != std::string::npos || f.name == "." || f.name == "..")
        throw scenario_error(where + ".name: no \"/\", \".\" or \"..\" allowed");
    uint32_t debug_flags = 0;
    read(j, "debug_flags", debug_flags);
    for (size_t i = 0; i < j.at("managers").size(); ++i) {
        std::string w = where + ".managers[" + std::to_string(i) + "]";
        sim_manager m = parse_manager(j.at("managers").at(i), w, debug_flags);
        if (scenario_host_index(scenario, m.host) < 0)
            throw scenario_error(w + ".host: no such host " + m.host);
        f.managers.push_back(m);
    }
    read(j, "tap_capability", f.tap_capability);
    if (j.contains("status")) {
        const json &s = j.at("status");
        check_keys(s, where + ".status",
                   {"capability_flags", "word1", "word3", "word5", "word6", "word7", "word8",
                    "word9", "counters"});
        read(s, "capability_flags", f.status.capability_flags);
        read(s, "word1", f.status.word1);
        read(s, "word3", f.status.word3);
        read(s, "word5", f.status.word5);
        read(s, "word6", f.status.word6);
        read(s, "word7", f.status.word7);
        read(s, "word8", f.status.word8);
        read(s, "word9", f.status.word9);
        if (s.contains("counters")) {
            auto c = s.at("counters").get<std::vector<uint64_t>>();
            for (size_t i = 0; i < 3 && i < c.size(); ++i)
                f.status.counters[i] = c[i];
        }
    }
    read(j, "block_size", f.block_size);
    read(j, "total_blocks", f.total_blocks);
    read(j, "free_blocks", f.free_blocks);
    if (j.contains("stripe_groups"))
        for (size_t i = 0; i < j.at("stripe_groups").size(); ++i)
            f.stripe_groups.push_back(parse_stripe_group(
                j.at("stripe_groups").at(i), where + ".stripe_groups[" + std::to_string(i) + "]"));
    if (j.contains("clients"))
        for (size_t i = 0; i < j.at("clients").size(); ++i)
            f.clients.push_back(
                parse_client(j.at("clients").at(i), where + ".clients[" + std::to_string(i) + "]"));
    read(j, "quotas_enabled", f.quotas_enabled);
    f.user_quotas = parse_quotas(j, "user_quotas", where, false);
    f.group_quotas = parse_quotas(j, "group_quotas", where, false);
    f.dir_space_quotas = parse_quotas(j, "dir_space_quotas", where, true);
    f.dir_file_quotas = parse_quotas(j, "dir_file_quotas", where, true);
    parse_directories(j, where, f);
    if (j.contains("users"))
        f.users = j.at("users").get<std::vector<std::string>>();
    if (j.contains("groups"))
        f.groups = j.at("groups").get<std::vector<std::string>>();
    read(j, "debug_settable", f.debug_settable);
    return f;
}

// Running managers without a process id get distinct made-up ones.
void assign_process_ids(sim_scenario &scenario) {
    uint32_t next = 4100;
    for (sim_filesystem &f : scenario.filesystems)
        for (sim_manager &m : f.managers)
            if (m.pid == 0)
                m.pid = next++;
}

} // namespace

bool address_parse(const std::string &text, uint8_t out[16]) {
    std::memset(out, 0, 16);
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out[10] = out[11] = 0xFF;
        std::memcpy(out + 12, &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

void scenario_sort_quotas(sim_scenario *scenario) {
    for (sim_filesystem &f : scenario->filesystems)
        for (auto *list :
             {&f.user_quotas, &f.group_quotas, &f.dir_space_quotas, &f.dir_file_quotas})
            std::stable_sort(
                list->begin(), list->end(),
                [](const sim_quota &a, const sim_quota &b) { return a.name < b.name; });
}

int scenario_host_index(const sim_scenario &scenario, const std::string &address) {
    for (size_t i = 0; i < scenario.hosts.size(); ++i)
        if (scenario.hosts[i].address == address)
            return int(i);
    return -1;
}

int scenario_parse(const char *json_text, sim_scenario *scenario, char *text, size_t text_size) {
    KX_ASSERT(json_text && scenario, "clustersim");
    sim_scenario result;
    try {
        json j = json::parse(json_text);
        check_keys(j, "scenario", {"hosts", "filesystems", "comment"});
        for (size_t i = 0; i < j.at("hosts").size(); ++i) {
            sim_host h = parse_host(j.at("hosts").at(i), "hosts[" + std::to_string(i) + "]");
            if (scenario_host_index(result, h.address) >= 0)
                throw scenario_error("hosts: address listed twice: " + h.address);
            result.hosts.push_back(h);
        }
        if (result.hosts.empty())
            throw scenario_error("hosts: at least one host expected");
        if (j.contains("filesystems"))
            for (size_t i = 0; i < j.at("filesystems").size(); ++i)
                result.filesystems.push_back(parse_filesystem(
                    j.at("filesystems").at(i), "filesystems[" + std::to_string(i) + "]", result));
    } catch (const std::exception &e) {
        bounded_format(text, text_size, "scenario: %s", e.what());
        return -1;
    }
    assign_process_ids(result);
    scenario_sort_quotas(&result);
    *scenario = std::move(result);
    return 0;
}

int scenario_load(const char *path, sim_scenario *scenario, char *text, size_t text_size) {
    std::ifstream in(path);
    if (!in) {
        bounded_format(text, text_size, "cannot read scenario file %s", path);
        return -1;
    }
    std::stringstream content;
    content << in.rdbuf();
    std::string all = content.str();
    return scenario_parse(all.c_str(), scenario, text, text_size);
}
