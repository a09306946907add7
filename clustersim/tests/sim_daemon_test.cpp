// The kxclustersim program as a child process: READY line, files in the root, stop signals,
// command-line faults and start-up failures.
#include "support.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct child {
    pid_t pid = -1;
    std::string line;
    ~child() {
        if (pid > 0)
            cluster_child_stop(pid, 5000);
    }
};

TEST(SimDaemon, WritesItsPortAndHostsThenServesUntilSigterm) {
    temp_root root;
    child c;
    char text[256] = "";
    ASSERT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root.path.c_str(), nullptr, {}, &c.pid, &c.line,
                            text, sizeof text),
              0)
        << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        c.line, m,
        std::regex("READY agent=127\\.0\\.0\\.1:([0-9]+) ns=127\\.0\\.0\\.1:[0-9]+,"
                   "127\\.0\\.0\\.2:[0-9]+ root=(.*)")))
        << c.line;
    uint16_t agent = uint16_t(std::stoi(m[1]));
    EXPECT_EQ(m[2], root.path);
    EXPECT_EQ(cluster_read_altpmap(root.path.c_str()), agent);
    EXPECT_EQ(read_file(root.path + "/config/hosts"), "127.0.0.1 alpha\n127.0.0.2 beta\n");
    EXPECT_NE(lookup_name_server("127.0.0.2", agent), 0);
    EXPECT_EQ(cluster_child_stop(c.pid, 5000), 0);
    c.pid = -1;
    EXPECT_EQ(connect_to("127.0.0.1", agent), -1);
}

TEST(SimDaemon, HonoursAnExistingAltpmapLineAndStopsOnSigint) {
    temp_root root;
    // A port that is free now, written in hexadecimal with a mixed-case directive.
    temp_root probe_root;
    uint16_t port = 0;
    char text[256] = "";
    ASSERT_EQ(
        cluster_prepare_root(probe_root.path.c_str(), default_scenario(), &port, text, sizeof text),
        0);
    ::mkdir((root.path + "/config").c_str(), 0755);
    std::ofstream(root.path + "/config/fsports")
        << "# altpmap 1\nminport 2000\nAltPmap 0x" << std::hex << port << "\n";
    std::ofstream(root.path + "/config/hosts") << "127.0.0.2 mine\n";
    child c;
    ASSERT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root.path.c_str(),
                            KX_CLUSTERSIM_SCENARIOS "/default.json", {}, &c.pid, &c.line, text,
                            sizeof text),
              0)
        << text;
    EXPECT_NE(c.line.find("agent=127.0.0.1:" + std::to_string(port) + " "), std::string::npos);
    EXPECT_EQ(read_file(root.path + "/config/hosts"), "127.0.0.2 mine\n"); // left alone
    ::kill(c.pid, SIGINT);
    EXPECT_EQ(cluster_child_stop(c.pid, 5000), 0);
    c.pid = -1;
}

TEST(SimDaemon, CommandLineFaultsApply) {
    temp_root root;
    child c;
    char text[256] = "";
    ASSERT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root.path.c_str(), nullptr,
                            {"agent@127.0.0.2=refuse", "ns@127.0.0.1=error:255:1"}, &c.pid, &c.line,
                            text, sizeof text),
              0)
        << text;
    uint16_t agent = cluster_read_altpmap(root.path.c_str());
    EXPECT_EQ(connect_to("127.0.0.2", agent), -1);
    uint16_t ns = lookup_name_server("127.0.0.1", agent);
    ASSERT_NE(ns, 0);
    int fd = connect_to("127.0.0.1", ns);
    bytes reply = round_trip(fd, pm_request(0, 36));
    ::close(fd);
    ASSERT_GE(reply.size(), 24u);
    EXPECT_EQ(reply[11], 255);
}

TEST(SimDaemon, StartUpFailuresGiveNoReadyLine) {
    temp_root root;
    pid_t pid = -1;
    std::string line;
    char text[256] = "";
    EXPECT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root.path.c_str(), nullptr, {"ns@nowhere=silent"},
                            &pid, &line, text, sizeof text),
              -1);
    std::ofstream(root.path + "/bad.json") << R"({"hosts": [{"address": "10.0.0.1"}]})";
    EXPECT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root.path.c_str(),
                            (root.path + "/bad.json").c_str(), {}, &pid, &line, text, sizeof text),
              -1);
    EXPECT_NE(std::string(text).find("READY"), std::string::npos);
}

} // namespace
