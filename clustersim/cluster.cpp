#include "clustersim/cluster.h"

#include "clustersim/agent.h"
#include "clustersim/client_driver.h"
#include "clustersim/fsm_server.h"
#include "clustersim/name_server.h"
#include "clustersim/world.h"
#include "libutil/fatal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <list>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

enum endpoint_kind { ENDPOINT_AGENT, ENDPOINT_NAME_SERVER, ENDPOINT_FSM, ENDPOINT_DRIVER };

// One listening socket. It listens only while its daemon runs and has no "refuse" fault;
// otherwise it stays bound without listening, so that connections are refused.
struct endpoint {
    endpoint_kind kind;
    int host = -1, fs = -1, manager = -1;
    std::string address;
    uint16_t port = 0;
    int fd = -1;
    bool listening = false;
};

struct connection {
    int fd;
    std::thread thread;
    bool done = false; // guarded by the cluster's connection lock
};

constexpr int accept_poll_ms = 50; // how soon a state change opens or closes a listener

int bind_socket(const std::string &address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        (ntohl(sa.sin_addr.s_addr) >> 24) != 127) {
        errno = EADDRNOTAVAIL; // nothing outside the loopback network
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

bool parse_port(const std::string &word, uint16_t *port) {
    char *end = nullptr;
    long v = std::strtol(word.c_str(), &end, 0);
    if (word.empty() || *end != '\0' || v < 1 || v > 65535)
        return false;
    *port = uint16_t(v);
    return true;
}

} // namespace

struct sim_cluster {
    sim_world world;
    std::string root;
    uint16_t agent_port = 0;
    std::vector<endpoint> endpoints; // owned by the accept thread once started
    int wake_pipe[2] = {-1, -1};
    std::thread accept_thread;
    std::mutex connection_lock;
    std::list<std::unique_ptr<connection>> connections;

    // Whether an endpoint's daemon takes connections now (world lock held).
    bool wants_listen(const endpoint &e) {
        const sim_scenario &s = world.scenario;
        switch (e.kind) {
        case ENDPOINT_AGENT:
            return s.hosts[size_t(e.host)].agent_fault.kind != SIM_FAULT_REFUSE;
        case ENDPOINT_NAME_SERVER:
            return s.hosts[size_t(e.host)].name_server_fault.kind != SIM_FAULT_REFUSE;
        case ENDPOINT_FSM: {
            const sim_manager &m = s.filesystems[size_t(e.fs)].managers[size_t(e.manager)];
            return m.state != SIM_DOWN && m.fault.kind != SIM_FAULT_REFUSE;
        }
        case ENDPOINT_DRIVER:
            return true;
        }
        return false;
    }

    // Opens or closes listeners to follow the scenario; a closed one is re-bound at once so
    // that its port stays reserved and refuses connections.
    void sync_listeners() {
        std::vector<bool> wanted;
        {
            std::lock_guard<std::mutex> hold(world.lock);
            for (const endpoint &e : endpoints)
                wanted.push_back(wants_listen(e));
        }
        for (size_t i = 0; i < endpoints.size(); ++i) {
            endpoint &e = endpoints[i];
            if (wanted[i] == e.listening)
                continue;
            if (wanted[i]) {
                if (e.fd < 0) // the re-bind failed last time; the port may be free again
                    e.fd = bind_socket(e.address, e.port);
                e.listening = e.fd >= 0 && ::listen(e.fd, 128) == 0;
                continue;
            }
            if (e.fd >= 0)
                ::close(e.fd);
            e.fd = bind_socket(e.address, e.port);
            e.listening = false;
        }
    }

    void serve(const endpoint &e, int fd) {
        switch (e.kind) {
        case ENDPOINT_AGENT: {
            uint16_t ns_port = 0;
            for (const endpoint &n : endpoints)
                if (n.kind == ENDPOINT_NAME_SERVER && n.host == e.host)
                    ns_port = n.port;
            agent_serve(world, e.host, ns_port, fd);
            break;
        }
        case ENDPOINT_NAME_SERVER:
            name_server_serve(world, e.host, fd);
            break;
        case ENDPOINT_FSM:
            fsm_serve(world, e.fs, e.manager, fd);
            break;
        case ENDPOINT_DRIVER:
            client_driver_serve(world, fd);
            break;
        }
    }

    void reap_connections() {
        std::list<std::unique_ptr<connection>> finished;
        {
            std::lock_guard<std::mutex> hold(connection_lock);
            for (auto it = connections.begin(); it != connections.end();) {
                auto next = std::next(it);
                if ((*it)->done)
                    finished.splice(finished.end(), connections, it);
                it = next;
            }
        }
        for (auto &c : finished)
            c->thread.join();
    }

    void accept_loop() {
        while (!world.stopping) {
            sync_listeners();
            reap_connections();
            std::vector<pollfd> fds;
            std::vector<size_t> which;
            fds.push_back({wake_pipe[0], POLLIN, 0});
            for (size_t i = 0; i < endpoints.size(); ++i)
                if (endpoints[i].listening) {
                    fds.push_back({endpoints[i].fd, POLLIN, 0});
                    which.push_back(i);
                }
            if (::poll(fds.data(), fds.size(), accept_poll_ms) <= 0)
                continue;
            for (size_t k = 1; k < fds.size(); ++k) {
                if (!(fds[k].revents & POLLIN))
                    continue;
                int fd = ::accept4(fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                std::lock_guard<std::mutex> hold(connection_lock);
                auto c = std::make_unique<connection>();
                c->fd = fd;
                connection *raw = c.get();
                const endpoint e = endpoints[which[k - 1]];
                raw->thread = std::thread([this, raw, e] {
                    serve(e, raw->fd);
                    std::lock_guard<std::mutex> done_hold(connection_lock);
                    ::close(raw->fd);
                    raw->done = true;
                });
                connections.push_back(std::move(c));
            }
        }
    }
};

uint16_t cluster_read_altpmap(const char *root) {
    std::ifstream in(std::string(root) + "/config/fsports");
    uint16_t port = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string directive, value;
        words >> directive >> value;
        uint16_t v;
        if (strcasecmp(directive.c_str(), "altpmap") == 0 && parse_port(value, &v))
            port = v;
    }
    return port;
}

int cluster_prepare_root(const char *root, const sim_scenario &scenario, uint16_t *agent_port,
                         char *text, size_t text_size) {
    std::string config = std::string(root) + "/config";
    ::mkdir(root, 0755);
    if (::mkdir(config.c_str(), 0755) != 0 && errno != EEXIST) {
        bounded_format(text, text_size, "cannot create %s: %s", config.c_str(), strerror(errno));
        return -1;
    }
    uint16_t port = cluster_read_altpmap(root);
    for (int attempt = 0; port == 0 && attempt < 20; ++attempt) {
        int probe = bind_socket("127.0.0.1", 0);
        if (probe < 0)
            break;
        uint16_t candidate = bound_port(probe);
        ::close(probe);
        bool free_everywhere = true;
        for (const sim_host &h : scenario.hosts) {
            int fd = bind_socket(h.address, candidate);
            free_everywhere = free_everywhere && fd >= 0;
            if (fd >= 0)
                ::close(fd);
        }
        if (!free_everywhere)
            continue;
        std::ofstream out(config + "/fsports", std::ios::app);
        out << "altpmap " << candidate << "\n";
        if (!out) {
            bounded_format(text, text_size, "cannot write %s/fsports", config.c_str());
            return -1;
        }
        port = candidate;
    }
    if (port == 0) {
        bounded_format(text, text_size, "no free agent port found");
        return -1;
    }
    // The console with the same root then authenticates with the first host's secret.
    std::string secret_path = config + "/.auth_secret";
    for (const sim_host &h : scenario.hosts)
        if (h.auth_required && ::access(secret_path.c_str(), F_OK) != 0) {
            std::ofstream out(secret_path);
            out << h.auth_secret << "\n";
        }
    std::string hosts_path = config + "/hosts";
    if (::access(hosts_path.c_str(), F_OK) != 0) {
        std::ofstream out(hosts_path);
        for (const sim_host &h : scenario.hosts)
            if (!h.name.empty())
                out << h.address << " " << h.name << "\n";
    }
    *agent_port = port;
    return 0;
}

int cluster_start(const sim_scenario &scenario, const char *root, sim_cluster **out, char *text,
                  size_t text_size) {
    KX_ASSERT(root && out, "clustersim");
    auto cluster = std::make_unique<sim_cluster>();
    cluster->root = root;
    cluster->world.scenario = scenario;
    if (cluster_prepare_root(root, scenario, &cluster->agent_port, text, text_size) != 0 ||
        client_mounts_prepare(root, &cluster->world.scenario, text, text_size) != 0)
        return -1;
    scenario_sort_quotas(&cluster->world.scenario); // directory entries got their names
    auto add = [&](endpoint e) {
        e.fd = bind_socket(e.address, e.port);
        if (e.fd < 0) {
            bounded_format(text, text_size, "cannot bind %s:%u: %s", e.address.c_str(),
                           unsigned(e.port), strerror(errno));
            return false;
        }
        e.port = bound_port(e.fd);
        cluster->endpoints.push_back(e);
        return true;
    };
    sim_scenario &s = cluster->world.scenario;
    bool ok = true;
    for (size_t h = 0; ok && h < s.hosts.size(); ++h) {
        ok = add({ENDPOINT_AGENT, int(h), -1, -1, s.hosts[h].address, cluster->agent_port}) &&
             add({ENDPOINT_NAME_SERVER, int(h), -1, -1, s.hosts[h].address,
                  s.hosts[h].name_server_port});
        if (ok)
            s.hosts[h].name_server_port = cluster->endpoints.back().port;
    }
    for (size_t f = 0; ok && f < s.filesystems.size(); ++f)
        for (size_t m = 0; ok && m < s.filesystems[f].managers.size(); ++m) {
            sim_manager &man = s.filesystems[f].managers[m];
            ok = add({ENDPOINT_FSM, -1, int(f), int(m), man.host, man.port});
            if (ok)
                man.port = cluster->endpoints.back().port;
        }
    if (ok) {
        endpoint driver{ENDPOINT_DRIVER, -1, -1, -1, client_driver_socket_path(root), 0};
        driver.fd = client_driver_bind(driver.address);
        if (driver.fd < 0) {
            bounded_format(text, text_size, "cannot bind %s: %s", driver.address.c_str(),
                           strerror(errno));
            ok = false;
        } else {
            cluster->endpoints.push_back(driver);
        }
    }
    if (ok && ::pipe2(cluster->wake_pipe, O_CLOEXEC) != 0) {
        bounded_format(text, text_size, "pipe: %s", strerror(errno));
        ok = false;
    }
    if (!ok) {
        for (endpoint &e : cluster->endpoints) {
            ::close(e.fd);
            if (e.kind == ENDPOINT_DRIVER)
                ::unlink(e.address.c_str());
        }
        for (int fd : cluster->wake_pipe)
            if (fd >= 0)
                ::close(fd);
        return -1;
    }
    cluster->sync_listeners(); // every socket listens before start returns
    sim_cluster *raw = cluster.release();
    raw->accept_thread = std::thread([raw] { raw->accept_loop(); });
    *out = raw;
    return 0;
}

void cluster_stop(sim_cluster *cluster) {
    if (!cluster)
        return;
    world_stop(cluster->world);
    char byte = 1;
    (void)!::write(cluster->wake_pipe[1], &byte, 1);
    cluster->accept_thread.join();
    {
        std::lock_guard<std::mutex> hold(cluster->connection_lock);
        for (auto &c : cluster->connections)
            if (!c->done)
                ::shutdown(c->fd, SHUT_RDWR);
    }
    for (auto &c : cluster->connections)
        c->thread.join();
    for (endpoint &e : cluster->endpoints) {
        if (e.fd >= 0)
            ::close(e.fd);
        if (e.kind == ENDPOINT_DRIVER)
            ::unlink(e.address.c_str());
    }
    ::close(cluster->wake_pipe[0]);
    ::close(cluster->wake_pipe[1]);
    delete cluster;
}

uint16_t cluster_agent_port(const sim_cluster *cluster) {
    return cluster->agent_port;
}

uint16_t cluster_name_server_port(const sim_cluster *cluster, const char *host_address) {
    for (const endpoint &e : cluster->endpoints)
        if (e.kind == ENDPOINT_NAME_SERVER && e.address == host_address)
            return e.port;
    return 0;
}

uint16_t cluster_manager_port(const sim_cluster *cluster, const char *fs_name,
                              const char *host_address) {
    const sim_scenario &s = cluster->world.scenario; // names and ports never change
    for (const endpoint &e : cluster->endpoints)
        if (e.kind == ENDPOINT_FSM && e.address == host_address &&
            s.filesystems[size_t(e.fs)].name == fs_name)
            return e.port;
    return 0;
}

std::string cluster_ready_line(const sim_cluster *cluster) {
    std::string line = "READY agent=" + cluster->world.scenario.hosts.front().address + ":" +
                       std::to_string(cluster->agent_port) + " ns=";
    bool first = true;
    for (const endpoint &e : cluster->endpoints)
        if (e.kind == ENDPOINT_NAME_SERVER) {
            line += (first ? "" : ",") + e.address + ":" + std::to_string(e.port);
            first = false;
        }
    return line + " root=" + cluster->root;
}

int scenario_set_fault(sim_scenario *scenario, const char *target, const char *fault_text,
                       char *text, size_t text_size) {
    sim_fault fault;
    if (fault_parse(fault_text, &fault, text, text_size) != 0)
        return -1;
    std::string t = target;
    size_t at = t.find('@');
    std::string address = at == std::string::npos ? "" : t.substr(at + 1);
    std::string what = t.substr(0, at);
    int changed = 0;
    if (what == "agent" || what == "ns") {
        int h = scenario_host_index(*scenario, address);
        if (h >= 0) {
            sim_host &host = scenario->hosts[size_t(h)];
            (what == "agent" ? host.agent_fault : host.name_server_fault) = fault;
            changed = 1;
        }
    } else if (what.rfind("fsm:", 0) == 0) {
        for (sim_filesystem &f : scenario->filesystems)
            if (f.name == what.substr(4))
                for (sim_manager &m : f.managers)
                    if (address.empty() || m.host == address) {
                        m.fault = fault;
                        ++changed;
                    }
    }
    if (changed == 0) {
        bounded_format(text, text_size,
                       "fault target '%s' names nothing (agent@ADDR, ns@ADDR, fsm:NAME[@ADDR])",
                       target);
        return -1;
    }
    return 0;
}

int cluster_set_fault(sim_cluster *cluster, const char *target, const char *fault_text, char *text,
                      size_t text_size) {
    std::lock_guard<std::mutex> hold(cluster->world.lock);
    return scenario_set_fault(&cluster->world.scenario, target, fault_text, text, text_size);
}

void cluster_edit(sim_cluster *cluster, void (*edit)(sim_scenario &, void *), void *context) {
    std::lock_guard<std::mutex> hold(cluster->world.lock);
    edit(cluster->world.scenario, context);
    scenario_sort_quotas(&cluster->world.scenario);
    ++cluster->world.edits;
}

sim_scenario cluster_snapshot(sim_cluster *cluster) {
    std::lock_guard<std::mutex> hold(cluster->world.lock);
    return cluster->world.scenario;
}

int cluster_spawn(const char *program, const char *root, const char *scenario_path,
                  const std::vector<std::string> &faults, pid_t *pid, std::string *ready_line,
                  char *text, size_t text_size) {
    std::vector<std::string> args = {program, "--root", root};
    if (scenario_path) {
        args.push_back("--scenario");
        args.push_back(scenario_path);
    }
    for (const std::string &f : faults) {
        args.push_back("--fault");
        args.push_back(f);
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        bounded_format(text, text_size, "pipe: %s", strerror(errno));
        return -1;
    }
    pid_t child = ::fork();
    if (child < 0) {
        bounded_format(text, text_size, "fork: %s", strerror(errno));
        ::close(out[0]);
        ::close(out[1]);
        return -1;
    }
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(program, argv.data());
        _exit(127);
    }
    ::close(out[1]);
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool complete = false;
    while (!complete) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            break;
        char c;
        if (::read(out[0], &c, 1) != 1)
            break;
        if (c == '\n')
            complete = true;
        else
            line += c;
    }
    ::close(out[0]);
    if (!complete || line.rfind("READY ", 0) != 0) {
        cluster_child_stop(child, 2000);
        bounded_format(text, text_size, "%s did not report READY (got '%s')", program,
                       line.c_str());
        return -1;
    }
    *pid = child;
    *ready_line = line;
    return 0;
}

int cluster_child_stop(pid_t pid, int timeout_ms) {
    ::kill(pid, SIGTERM);
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}
