#include "support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

temp_root::temp_root() {
    char pattern[] = "/tmp/kxsimtest.XXXXXX";
    path = ::mkdtemp(pattern);
}

temp_root::~temp_root() {
    std::filesystem::remove_all(path);
}

sim_scenario default_scenario() {
    sim_scenario s;
    char text[256] = "";
    int rc = scenario_load(KX_CLUSTERSIM_SCENARIOS "/default.json", &s, text, sizeof text);
    EXPECT_EQ(rc, 0) << text;
    return s;
}

int connect_to(const std::string &address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        (ntohl(sa.sin_addr.s_addr) >> 24) != 127)
        return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint64_t be(const bytes &b, size_t offset, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i)
        v = v << 8 | b.at(offset + i);
    return v;
}

void set_be(bytes &b, size_t offset, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i)
        b.at(offset + width - 1 - i) = uint8_t(value >> (8 * i));
}

std::string text_at(const bytes &b, size_t offset) {
    return std::string(
        reinterpret_cast<const char *>(b.data() + offset),
        strnlen(reinterpret_cast<const char *>(b.data() + offset), b.size() - offset));
}

void expect_fields(const bytes &b, const std::string &fields, const std::string &row) {
    for (size_t start = 0; start < fields.size();) {
        const size_t end = std::min(fields.find(", ", start), fields.size());
        const std::string field = fields.substr(start, end - start);
        start = end + 2;
        const size_t equals = field.find('='), colon = field.find(':');
        const size_t offset = std::stoul(field.substr(0, std::min(equals, colon)));
        const std::string value = field.substr(equals + 1);
        const size_t width = colon < equals ? std::stoul(field.substr(colon + 1)) : 0;
        if (offset + std::max<size_t>(width, 1) > b.size())
            ADD_FAILURE() << row << ": " << field << " beyond " << b.size() << " bytes";
        else if (width == 0)
            EXPECT_EQ(text_at(b, offset), value) << row << ": " << field;
        else
            EXPECT_EQ(be(b, offset, width), std::stoull(value, nullptr, 0)) << row << ": " << field;
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bytes framed(size_t length, uint8_t message_class, uint8_t type, uint32_t sequence) {
    bytes b(length, 0);
    const uint8_t magic[] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4};
    std::memcpy(b.data(), magic, 5);
    set_be(b, 5, 3, length);
    b[8] = message_class;
    b[9] = type;
    for (int i = 0; i < 4; ++i)
        b[16 + i] = uint8_t(sequence >> (8 * i));
    return b;
}

bytes pm_request(uint8_t form, uint8_t command, bool frame) {
    bytes b = frame ? framed(1024, 0, 0) : bytes(1024, 0);
    b[24] = form;
    b[25] = command;
    return b;
}

bool send_bytes(int fd, const bytes &b) {
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}

bytes recv_bytes(int fd, size_t n) {
    bytes b(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, b.data() + got, n - got, 0);
        if (r <= 0)
            break;
        got += size_t(r);
    }
    b.resize(got);
    return b;
}

bytes round_trip(int fd, const bytes &request) {
    if (!send_bytes(fd, request))
        return {};
    bytes header = recv_bytes(fd, 24);
    if (header.size() < 24)
        return header;
    size_t length = be(header, 5, 3);
    bytes body = recv_bytes(fd, length > 24 ? length - 24 : 0);
    header.insert(header.end(), body.begin(), body.end());
    return header;
}

bytes agent_query(uint32_t version) {
    bytes query(32, 0);
    set_be(query, 0, 4, 0x61700002);
    set_be(query, 4, 4, 0x4B584653); // "KXFS"
    set_be(query, 8, 4, 47);
    set_be(query, 12, 4, version);
    return query;
}

uint16_t lookup_name_server(const std::string &address, uint16_t agent_port) {
    int fd = connect_to(address, agent_port);
    if (fd < 0)
        return 0;
    bytes greeting = recv_bytes(fd, 32);
    send_bytes(fd, agent_query(6));
    bytes reply = recv_bytes(fd, 32);
    ::close(fd);
    if (greeting.size() != 32 || reply.size() != 32 || be(reply, 0, 4) != 0x61700003)
        return 0;
    return uint16_t(be(reply, 6, 2));
}

bytes quota_op(uint32_t code, const std::string &name, uint64_t hard, uint64_t soft,
               uint32_t grace) {
    bytes r = framed(304, 2, 13);
    set_be(r, 24, 4, code);
    set_be(r, 28, 4, grace);
    set_be(r, 32, 8, hard);
    set_be(r, 40, 8, soft);
    std::copy(name.begin(), name.end(), r.begin() + 48);
    return r;
}

int fsm_open(sim_cluster *cluster, const std::string &fs, const std::string &address) {
    int fd = connect_to(address, cluster_manager_port(cluster, fs.c_str(), address.c_str()));
    if (fd < 0)
        return -1;
    bytes reply = round_trip(fd, framed(32, 2, 7));
    if (reply.size() < 32 || reply[11] != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

running_cluster::running_cluster(const sim_scenario &scenario) {
    char text[256] = "";
    int rc = cluster_start(scenario, root.path.c_str(), &cluster, text, sizeof text);
    EXPECT_EQ(rc, 0) << text;
}

running_cluster::~running_cluster() {
    cluster_stop(cluster);
}

void set_fault(sim_cluster *cluster, const char *target, const char *fault_text) {
    char text[256] = "";
    EXPECT_EQ(cluster_set_fault(cluster, target, fault_text, text, sizeof text), 0) << text;
}

bool refused_soon(const std::string &address, uint16_t port) {
    for (int i = 0; i < 100; ++i) {
        int fd = connect_to(address, port);
        if (fd < 0)
            return true;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int connect_soon(const std::string &address, uint16_t port) {
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        fd = connect_to(address, port);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fd;
}
