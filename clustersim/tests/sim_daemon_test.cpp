// The kxclustersim program as a child process: READY line, files in the root, stop signals,
// command-line faults and start-up failures.
#include "support.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// The program on `root` with `scenario` and command-line `faults`; stopped on destruction.
struct child {
    child(const std::string &root, const char *scenario = nullptr,
          std::vector<std::string> faults = {}) {
        rc = cluster_spawn(KX_CLUSTERSIM_DAEMON, root.c_str(), scenario, faults, &pid, &line, text,
                           sizeof text);
    }
    ~child() {
        if (pid > 0)
            cluster_child_stop(pid, 5000);
    }
    int stop() { return cluster_child_stop(std::exchange(pid, -1), 5000); }
    int rc;
    pid_t pid = -1;
    std::string line;
    char text[256] = "";
};

// The faults given on the command line apply from the start.
TEST(SimDaemon, WritesItsPortAndHostsThenServesWithItsFaultsUntilSigterm) {
    temp_root root;
    child c(root.path, nullptr, {"agent@127.0.0.2=refuse", "ns@127.0.0.1=error:255:1"});
    ASSERT_EQ(c.rc, 0) << c.text;
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
    EXPECT_EQ(connect_to("127.0.0.2", agent), -1);
    const int fd = connect_to("127.0.0.1", lookup_name_server("127.0.0.1", agent));
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).at(11), 255);
    ::close(fd);
    EXPECT_EQ(c.stop(), 0);
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
    child c(root.path, KX_CLUSTERSIM_SCENARIOS "/default.json");
    ASSERT_EQ(c.rc, 0) << c.text;
    EXPECT_NE(c.line.find("agent=127.0.0.1:" + std::to_string(port) + " "), std::string::npos);
    EXPECT_EQ(read_file(root.path + "/config/hosts"), "127.0.0.2 mine\n"); // left alone
    ::kill(c.pid, SIGINT);
    EXPECT_EQ(c.stop(), 0);
}

TEST(SimDaemon, StartUpFailuresGiveNoReadyLine) {
    temp_root root;
    EXPECT_EQ(child(root.path, nullptr, {"ns@nowhere=silent"}).rc, -1);
    std::ofstream(root.path + "/bad.json") << R"({"hosts": [{"address": "10.0.0.1"}]})";
    const child bad(root.path, (root.path + "/bad.json").c_str());
    EXPECT_EQ(bad.rc, -1);
    EXPECT_NE(std::string(bad.text).find("READY"), std::string::npos);
}

} // namespace
