// The client side of this machine as the simulator plays it: mount points under the root, the
// mount table, the driver endpoint's answers over a raw Unix-domain socket, and the FSM's
// directory quota operations on the name spaces that the endpoint creates and destroys.
#include "support.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char *const kScenario = R"({"hosts": [{"address": "127.0.0.1"}],
  "filesystems": [
    {"name": "snfs1", "quotas_enabled": true, "managers": [{"host": "127.0.0.1"}],
     "directories": ["tmp", "home/bob"],
     "dir_space_quotas": [{"path": "projects", "hard": 100, "soft": 80, "grace": 60}],
     "dir_file_quotas": [{"path": "projects", "used": 3, "hard": 10, "soft": 5, "grace": 60}],
     "name_spaces": [{"path": "locked", "busy": true}]},
    {"name": "off", "managers": [{"host": "127.0.0.1"}], "directories": ["x"]},
    {"name": "nodq", "quotas_enabled": true, "dir_quotas": false,
     "managers": [{"host": "127.0.0.1"}], "directories": ["x"]}]})";

constexpr uint32_t kStatus = 0x800A0020, kFsName = 0x800D0088, kNameSpace = 0x800E011C,
                   kInodePath = 0x800E0120;

sim_scenario scenario() {
    sim_scenario s;
    char text[256] = "";
    EXPECT_EQ(scenario_parse(kScenario, &s, text, sizeof text), 0) << text;
    return s;
}

std::string canonical(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

uint64_t inode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

void put_le(bytes &b, size_t offset, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i)
        b.at(offset + i) = uint8_t(value >> (8 * i));
}

uint64_t le(const bytes &b, size_t offset, size_t width) {
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;)
        v = v << 8 | b.at(offset + i);
    return v;
}

// The answer of the endpoint: its error word and its buffer.
struct answer {
    uint32_t error = 0xFFFFFFFF;
    bytes buffer;
};

class SimClientDriver : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<running_cluster>(scenario());
        ASSERT_NE(sim->cluster, nullptr);
        mnt = canonical(sim->root.path) + "/mnt";
    }

    // One request over a fresh connection: a 16-byte header (magic "KXFD", code, buffer
    // length, path length; big-endian), the buffer, the path.
    answer ask(uint32_t code, const bytes &buffer, const std::string &path,
               uint32_t magic = 0x4B584644) {
        bytes request(16);
        set_be(request, 0, 4, magic);
        set_be(request, 4, 4, code);
        set_be(request, 8, 4, buffer.size());
        set_be(request, 12, 4, path.size());
        request.insert(request.end(), buffer.begin(), buffer.end());
        request.insert(request.end(), path.begin(), path.end());
        answer a;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socket_path = sim->root.path + "/config/kxfsdrv.sock";
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            !send_bytes(fd, request)) {
            ::close(fd);
            ADD_FAILURE() << "no endpoint at " << socket_path;
            return a;
        }
        const bytes header = recv_bytes(fd, 16);
        if (header.size() == 16 && be(header, 0, 4) == 0x4B584644) {
            a.error = uint32_t(be(header, 4, 4));
            a.buffer = recv_bytes(fd, be(header, 8, 4));
            EXPECT_EQ(be(header, 12, 4), 0u) << "replies carry no path";
        }
        ::close(fd);
        return a;
    }

    uint32_t name_space(const std::string &path, uint32_t operation) {
        bytes buffer(40);
        put_le(buffer, 0, 4, operation);
        const answer a = ask(kNameSpace, buffer, path);
        EXPECT_EQ(a.error, 0u) << path;
        return a.buffer.size() == 40 ? uint32_t(le(a.buffer, 0, 4)) : 0xFFFFFFFF;
    }

    std::string path_of(const std::string &mount_point, uint64_t inode, uint32_t *error) {
        bytes buffer(32);
        put_le(buffer, 8, 8, inode);
        put_le(buffer, 24, 4, 1024);
        const answer a = ask(kInodePath, buffer, mount_point);
        *error = a.error;
        return a.error == 0 && a.buffer.size() == 1024 ? text_at(a.buffer, 0) : "";
    }

    std::unique_ptr<running_cluster> sim;
    std::string mnt;
};

TEST_F(SimClientDriver, MountPointsDirectoriesAndTheMountTable) {
    for (const char *dir :
         {"snfs1/tmp", "snfs1/home/bob", "snfs1/projects", "snfs1/locked", "off/x", "nodq/x"}) {
        struct stat st {};
        EXPECT_EQ(stat((mnt + "/" + dir).c_str(), &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    }
    EXPECT_EQ(read_file(sim->root.path + "/config/mounttab"),
              "# file system, mount point\r\nsnfs1 " + mnt + "/snfs1\r\noff " + mnt +
                  "/off\r\nnodq " + mnt + "/nodq\r\n");

    // Entries given by path are named after the directory's inode and bring their name space.
    const sim_scenario now = cluster_snapshot(sim->cluster);
    const sim_filesystem &snfs1 = now.filesystems[0];
    const std::string projects = "D:" + std::to_string(inode_of(mnt + "/snfs1/projects"));
    EXPECT_EQ(snfs1.mount_point, mnt + "/snfs1");
    EXPECT_EQ(snfs1.dir_space_quotas.at(0).name, projects);
    EXPECT_EQ(snfs1.dir_file_quotas.at(0).name, projects);
    ASSERT_EQ(snfs1.name_spaces.size(), 2u) << "one per directory";
    EXPECT_EQ(snfs1.name_spaces[0].name, "D:" + std::to_string(inode_of(mnt + "/snfs1/locked")));
    EXPECT_TRUE(snfs1.name_spaces[0].busy);
    EXPECT_EQ(snfs1.name_spaces[1].name, projects);

    // An existing table is the administrator's: a restart keeps it.
    cluster_stop(sim->cluster);
    sim->cluster = nullptr;
    std::ofstream(sim->root.path + "/config/mounttab") << "snfs1 /elsewhere\n";
    char text[256] = "";
    ASSERT_EQ(cluster_start(scenario(), sim->root.path.c_str(), &sim->cluster, text, sizeof text),
              0)
        << text;
    EXPECT_EQ(read_file(sim->root.path + "/config/mounttab"), "snfs1 /elsewhere\n");
}

TEST_F(SimClientDriver, StatusAndFileSystemNameOfPathsBelowAMountPoint) {
    std::ofstream(mnt + "/snfs1/tmp/file") << "x";
    const struct {
        const char *path; // below the root
        uint32_t error;
        uint32_t type; // mode & 0xF000
        const char *fs;
    } rows[] = {
        {"/mnt/snfs1", 0, 0x4000, "snfs1"},
        {"/mnt/snfs1/home/bob", 0, 0x4000, "snfs1"},
        {"/mnt/snfs1/home/../tmp/./file", 0, 0x8000, "snfs1"},
        {"/mnt/nodq/x", 0, 0x4000, "nodq"},
        {"/mnt", 25, 0, ""},
        {"/config", 25, 0, ""},
        {"/mnt/snfs10", 2, 0, ""},
        {"/mnt/snfs1/missing", 2, 0, ""},
    };
    for (const auto &row : rows) {
        const std::string path = sim->root.path + row.path;
        const answer status = ask(kStatus, bytes(64), path);
        EXPECT_EQ(status.error, row.error) << row.path;
        const answer name = ask(kFsName, bytes(255), path);
        EXPECT_EQ(name.error, row.error) << row.path;
        if (row.error != 0)
            continue;
        ASSERT_EQ(status.buffer.size(), 64u) << row.path;
        EXPECT_EQ(le(status.buffer, 4, 4) & 0xF000, row.type) << row.path;
        EXPECT_EQ(le(status.buffer, 8, 8), inode_of(path)) << row.path;
        ASSERT_EQ(name.buffer.size(), 255u) << row.path;
        EXPECT_EQ(text_at(name.buffer, 0), row.fs) << row.path;
    }
    // Malformed requests: a buffer of the wrong size, an unknown code, a bad magic.
    EXPECT_EQ(ask(kStatus, bytes(63), mnt + "/snfs1").error, 22u);
    EXPECT_EQ(ask(0x800A0024, bytes(64), mnt + "/snfs1").error, 22u);
    EXPECT_EQ(ask(kStatus, bytes(64), mnt + "/snfs1", 0x4B584645).error, 22u);
}

TEST_F(SimClientDriver, NameSpacesAreCreatedAndDestroyedOnce) {
    const struct {
        const char *path; // below mnt
        uint32_t operation;
        uint32_t status;
    } rows[] = {
        {"/snfs1/tmp", 3, 0},  {"/snfs1/tmp", 3, 7},    {"/snfs1/tmp", 2, 0},
        {"/snfs1/tmp", 2, 2},  {"/snfs1/locked", 3, 6}, {"/snfs1/locked", 2, 6},
        {"/snfs1/tmp", 9, 22}, {"/off/x", 3, 14},       {"/nodq/x", 3, 5},
    };
    for (const auto &row : rows)
        EXPECT_EQ(name_space(mnt + row.path, row.operation), row.status)
            << row.path << " operation " << row.operation;
    bytes buffer(40);
    put_le(buffer, 0, 4, 3);
    std::ofstream(mnt + "/snfs1/tmp/file") << "x";
    EXPECT_EQ(ask(kNameSpace, buffer, mnt + "/snfs1/tmp/file").error, 20u) << "not a directory";

    // Destroying a name space takes its entries of both kinds along.
    EXPECT_EQ(name_space(mnt + "/snfs1/projects", 2), 0u);
    const sim_scenario now = cluster_snapshot(sim->cluster);
    EXPECT_TRUE(now.filesystems[0].dir_space_quotas.empty());
    EXPECT_TRUE(now.filesystems[0].dir_file_quotas.empty());
}

TEST_F(SimClientDriver, InodesLeadBackToTheirPaths) {
    std::filesystem::create_directories(mnt + "/snfs1/later/deep");
    uint32_t error = 0;
    const std::string snfs1 = mnt + "/snfs1";
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/projects"), &error), "/projects");
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/later/deep"), &error), "/later/deep")
        << "found by a search";
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1), &error), "/");
    EXPECT_EQ(path_of(snfs1 + "/home", inode_of(snfs1 + "/home/bob"), &error), "/home/bob")
        << "relative to the mount point, whichever directory asks";
    path_of(snfs1, inode_of(mnt + "/off/x"), &error);
    EXPECT_EQ(error, 2u) << "another file system's directory";
    // A renamed name-space directory is still found.
    std::filesystem::rename(snfs1 + "/projects", snfs1 + "/tmp/moved");
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/tmp/moved"), &error), "/tmp/moved");
}

TEST_F(SimClientDriver, DirectoryQuotaOperationsNeedANameSpace) {
    const int fsm = fsm_open(sim->cluster, "snfs1", "127.0.0.1");
    const int nodq = fsm_open(sim->cluster, "nodq", "127.0.0.1");
    ASSERT_GE(fsm, 0);
    ASSERT_GE(nodq, 0);
    const auto op = [](int fd, uint32_t code, const std::string &name, uint64_t hard = 0,
                       uint64_t soft = 0, uint32_t grace = 0) {
        return round_trip(fd, quota_op(code, name, hard, soft, grace));
    };
    const std::string tmp = "D:" + std::to_string(inode_of(mnt + "/snfs1/tmp"));
    const std::string locked = "D:" + std::to_string(inode_of(mnt + "/snfs1/locked"));
    EXPECT_EQ(be(op(fsm, 7, tmp, 10, 5, 1), 56, 4), 2u) << "no name space yet";
    EXPECT_EQ(be(op(fsm, 10, locked, 10, 5, 1), 56, 4), 6u) << "busy";
    for (uint32_t code : {7u, 8u, 10u, 11u})
        EXPECT_EQ(be(op(nodq, code, tmp, 10, 5, 1), 56, 4), 5u) << code;

    ASSERT_EQ(name_space(mnt + "/snfs1/tmp", 3), 0u);
    const bytes set = op(fsm, 10, tmp, 10, 5, 1);
    EXPECT_EQ(be(set, 56, 4), 0u);
    EXPECT_EQ(be(set, 32, 8), 10u);
    bool listed = false;
    std::string name;
    for (int i = 0; i < 5; ++i) {
        const bytes next = op(fsm, 11, name);
        if (be(next, 56, 4) != 0)
            break;
        name = text_at(next, 64);
        listed = listed || name == tmp;
    }
    EXPECT_TRUE(listed);
    // Without limits and usage the entry goes; the name space stays.
    EXPECT_EQ(be(op(fsm, 10, tmp, 0, 0, 0), 56, 4), 0u);
    EXPECT_EQ(be(op(fsm, 7, tmp, 10, 5, 1), 56, 4), 0u);
    ::close(fsm);
    ::close(nodq);
}

} // namespace
