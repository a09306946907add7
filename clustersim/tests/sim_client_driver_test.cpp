// The client side of this machine as the simulator plays it: mount points under the root, the
// mount table, the driver endpoint's answers to the console's own requests, and the FSM's
// directory quota operations on the name spaces that the endpoint creates and destroys.
#include "support.h"

#include "clustersim/client_driver.h"
#include "libfsmcomm/fs_driver.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

sim_scenario scenario() {
    sim_scenario s;
    char text[256] = "";
    EXPECT_EQ(scenario_parse(kScenario, &s, text, sizeof text), 0) << text;
    return s;
}

uint64_t inode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

std::string dir_name(const std::string &path) {
    return "D:" + std::to_string(inode_of(path));
}

// Little-endian, as the driver lays out its buffers.
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

class SimClientDriver : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<running_cluster>(scenario());
        ASSERT_NE(sim->cluster, nullptr);
        char resolved[PATH_MAX];
        mnt = std::string(realpath(sim->root.path.c_str(), resolved)) + "/mnt";
    }

    // One request through the console's driver exchange: its error number and reply buffer.
    int ask(uint32_t code, const bytes &buffer, const std::string &path, bytes *reply) {
        reply->assign(fsdrv_reply_size(code), 0);
        return fsdrv_request(client_driver_socket_path(sim->root.path.c_str()).c_str(), code,
                             buffer.data(), buffer.size(), path.c_str(), reply->data());
    }
    // The status of a name-space operation on the directory `path` below the mount points.
    uint64_t name_space(const std::string &path, uint32_t operation) {
        bytes buffer(FSDRV_NAME_SPACE_SIZE), reply;
        put_le(buffer, 0, 4, operation);
        EXPECT_EQ(ask(FSDRV_NAME_SPACE, buffer, mnt + path, &reply), 0) << path;
        return le(reply, 0, 4);
    }
    std::string path_of(const std::string &mount_point, uint64_t inode, int *error) {
        bytes buffer(FSDRV_INODE_PATH_SIZE), reply;
        put_le(buffer, 8, 8, inode);
        put_le(buffer, 24, 4, FSDRV_PATH_OUT_SIZE);
        *error = ask(FSDRV_INODE_PATH, buffer, mount_point, &reply);
        return *error == 0 ? text_at(reply, 0) : "";
    }

    std::unique_ptr<running_cluster> sim;
    std::string mnt;
};

TEST_F(SimClientDriver, MountPointsDirectoriesAndTheMountTable) {
    for (const char *dir :
         {"snfs1/tmp", "snfs1/home/bob", "snfs1/projects", "snfs1/locked", "off/x", "nodq/x"})
        EXPECT_TRUE(std::filesystem::is_directory(mnt + "/" + dir)) << dir;
    EXPECT_EQ(read_file(sim->root.path + "/config/mounttab"),
              "# file system, mount point\r\nsnfs1 " + mnt + "/snfs1\r\noff " + mnt +
                  "/off\r\nnodq " + mnt + "/nodq\r\n");

    // Entries given by path are named after the directory's inode and bring their name space.
    const sim_filesystem snfs1 = cluster_snapshot(sim->cluster).filesystems[0];
    const std::string projects = dir_name(mnt + "/snfs1/projects");
    EXPECT_EQ(snfs1.mount_point, mnt + "/snfs1");
    EXPECT_EQ(snfs1.dir_space_quotas.at(0).name, projects);
    EXPECT_EQ(snfs1.dir_file_quotas.at(0).name, projects);
    ASSERT_EQ(snfs1.name_spaces.size(), 2u) << "one per directory";
    EXPECT_EQ(snfs1.name_spaces[0].name, dir_name(mnt + "/snfs1/locked"));
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
        int error;
        uint32_t type; // mode & 0xF000
        const char *fs;
    } rows[] = {
        {"/mnt/snfs1", 0, 0x4000, "snfs1"}, {"/mnt/snfs1/home/../tmp/./file", 0, 0x8000, "snfs1"},
        {"/mnt/nodq/x", 0, 0x4000, "nodq"}, {"/mnt", 25, 0, ""},
        {"/mnt/snfs10", 2, 0, ""},          {"/mnt/snfs1/missing", 2, 0, ""},
    };
    for (const auto &row : rows) {
        const std::string path = sim->root.path + row.path;
        bytes status, name;
        EXPECT_EQ(ask(FSDRV_DIR_STATUS, bytes(64), path, &status), row.error) << row.path;
        EXPECT_EQ(ask(FSDRV_FS_NAME, bytes(255), path, &name), row.error) << row.path;
        if (row.error != 0)
            continue;
        EXPECT_EQ(le(status, 4, 4) & 0xF000, row.type) << row.path;
        EXPECT_EQ(le(status, 8, 8), inode_of(path)) << row.path;
        EXPECT_EQ(text_at(name, 0), row.fs) << row.path;
    }
    // A buffer of the wrong size and an unknown code are refused.
    sim_world world;
    for (uint32_t code : {FSDRV_DIR_STATUS, 0x800A0024u}) {
        fsdrv_frame in{}, out{};
        in.word = code;
        in.buffer_size = 63;
        uint8_t request[FSDRV_MAX_FRAME], reply[FSDRV_MAX_FRAME];
        const size_t length = fsdrv_frame_encode(in, request, sizeof request);
        const size_t answer = client_driver_answer(world, request, length, reply, sizeof reply);
        ASSERT_EQ(fsdrv_frame_decode(reply, answer, &out), 0) << code;
        EXPECT_EQ(out.word, 22u) << code;
    }
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
        EXPECT_EQ(name_space(row.path, row.operation), row.status)
            << row.path << " operation " << row.operation;
    std::ofstream(mnt + "/snfs1/tmp/file") << "x";
    bytes buffer(FSDRV_NAME_SPACE_SIZE), reply;
    put_le(buffer, 0, 4, 3);
    EXPECT_EQ(ask(FSDRV_NAME_SPACE, buffer, mnt + "/snfs1/tmp/file", &reply), 20)
        << "not a directory";

    // Destroying a name space takes its entries of both kinds along.
    EXPECT_EQ(name_space("/snfs1/projects", 2), 0u);
    const sim_scenario now = cluster_snapshot(sim->cluster);
    EXPECT_TRUE(now.filesystems[0].dir_space_quotas.empty());
    EXPECT_TRUE(now.filesystems[0].dir_file_quotas.empty());
}

TEST_F(SimClientDriver, InodesLeadBackToTheirPaths) {
    std::filesystem::create_directories(mnt + "/snfs1/later/deep");
    int error = 0;
    const std::string snfs1 = mnt + "/snfs1";
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/projects"), &error), "/projects");
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/later/deep"), &error), "/later/deep")
        << "found by a search";
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1), &error), "/");
    EXPECT_EQ(path_of(snfs1 + "/home", inode_of(snfs1 + "/home/bob"), &error), "/home/bob")
        << "relative to the mount point, whichever directory asks";
    path_of(snfs1, inode_of(mnt + "/off/x"), &error);
    EXPECT_EQ(error, 2) << "another file system's directory";
    // A renamed name-space directory is still found.
    std::filesystem::rename(snfs1 + "/projects", snfs1 + "/tmp/moved");
    EXPECT_EQ(path_of(snfs1, inode_of(snfs1 + "/tmp/moved"), &error), "/tmp/moved");
}

TEST_F(SimClientDriver, DirectoryQuotaOperationsNeedANameSpace) {
    const int fsm = fsm_open(sim->cluster, "snfs1", "127.0.0.1");
    const int nodq = fsm_open(sim->cluster, "nodq", "127.0.0.1");
    ASSERT_GE(fsm, 0);
    ASSERT_GE(nodq, 0);
    const auto result = [](int fd, uint32_t code, const std::string &name, uint64_t hard = 10) {
        return be(round_trip(fd, quota_op(code, name, hard, hard / 2, hard ? 1 : 0)), 56, 4);
    };
    const std::string tmp = dir_name(mnt + "/snfs1/tmp");
    EXPECT_EQ(result(fsm, 7, tmp), 2u) << "no name space yet";
    EXPECT_EQ(result(fsm, 10, dir_name(mnt + "/snfs1/locked")), 6u) << "busy";
    for (uint32_t code : {7u, 8u, 10u, 11u})
        EXPECT_EQ(result(nodq, code, tmp), 5u) << code;

    ASSERT_EQ(name_space("/snfs1/tmp", 3), 0u);
    expect_fields(round_trip(fsm, quota_op(10, tmp, 10, 5, 1)), "56:4=0, 32:8=10");
    bool listed = false;
    std::string name;
    for (int i = 0; i < 5 && !listed; ++i) {
        const bytes next = round_trip(fsm, quota_op(11, name));
        if (be(next, 56, 4) != 0)
            break;
        name = text_at(next, 64);
        listed = name == tmp;
    }
    EXPECT_TRUE(listed);
    // Without limits and usage the entry goes; the name space stays.
    EXPECT_EQ(result(fsm, 10, tmp, 0), 0u);
    EXPECT_EQ(result(fsm, 7, tmp), 0u);
    ::close(fsm);
    ::close(nodq);
}

} // namespace
