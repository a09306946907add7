// Directory quota calls: the name form, the mount table, the driver requests against the
// simulator's endpoint (and without one), paths and names both ways, name spaces, and the
// listing and setting of directory quotas with their messages and trace lines.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_dirquota.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// snfs1 counts in 4096-byte blocks; "projects" has both kinds of quota, "render" files only,
// "locked" a busy name space. "off" has quotas off, "nodq" no directory quotas at all.
const char *const kScenario = R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "directories": ["tmp", "home/bob"],
     "dir_space_quotas": [{"path": "projects", "used": 10, "hard": 100, "soft": 80,
                           "grace": 60, "time_remaining": 300}],
     "dir_file_quotas": [{"path": "projects", "used": 7, "hard": 50, "soft": 40, "grace": 30},
                         {"path": "render", "used": 3, "hard": 10, "soft": 5, "grace": 1}],
     "name_spaces": [{"path": "locked", "busy": true}]},
    {"name": "other", "block_size": 4096, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}], "directories": ["elsewhere"]},
    {"name": "off", "block_size": 4096, "managers": [{"host": "127.0.0.1", "state": "active"}],
     "directories": ["x"]},
    {"name": "nodq", "block_size": 4096, "quotas_enabled": true, "dir_quotas": false,
     "managers": [{"host": "127.0.0.1", "state": "active"}], "directories": ["x"]}]})";

std::string canonical(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

uint64_t inode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

std::string name_of(const std::string &path) {
    return "D:" + std::to_string(inode_of(path));
}

TEST(DirQuotaName, OnlyDAndANumberFromTwoUp) {
    const struct {
        const char *name;
        bool valid;
        uint64_t inode;
    } rows[] = {
        {"D:2", true, 2},   {"D:1234567", true, 1234567},
        {"D:007", true, 7}, {"D:18446744073709551615", true, 18446744073709551615ull},
        {"D:0", false, 0},  {"D:1", false, 0},
        {"D:", false, 0},   {"D:12x", false, 0},
        {"X:12", false, 0}, {"d:12", false, 0},
        {"D:+5", false, 0}, {"D:-3", false, 0},
        {"D: 5", false, 0}, {"D:18446744073709551616", false, 0},
        {"", false, 0},     {"D", false, 0},
    };
    for (const auto &row : rows) {
        uint64_t inode = 0;
        EXPECT_EQ(vtadmin_dir_quota_name_inode(row.name, &inode), row.valid) << row.name;
        EXPECT_EQ(inode, row.inode) << row.name;
    }
}

TEST(DirQuotaMountTable, KeyIsTheFileSystemAndTheFirstFieldItsMountPoint) {
    test_root();
    const struct {
        const char *table; // "" = no mounttab
        const char *fs;
        size_t size;
        const char *mount_point; // null: not found
    } rows[] = {
        {"snfs1 /mnt/a\nother /mnt/b\n", "other", 256, "/mnt/b"},
        {"# client mounts\r\n\r\nsnfs1\t/mnt/a # the first\r\n", "snfs1", 256, "/mnt/a"},
        {"snfs1\n", "snfs1", 256, "snfs1"},
        {"snfs1 \"/mnt/with blank\" rw\n", "snfs1", 256, "/mnt/with blank"},
        {"snfs1 /mnt/first\nsnfs1 /mnt/second\n", "snfs1", 256, "/mnt/first"},
        {"snfs1 /mnt/a\n", "snfs1", 7, "/mnt/a"},
        {"snfs1 /mnt/a\n", "snfs1", 6, nullptr},
        {"  snfs1 /mnt/a\n", "snfs1", 256, nullptr},
        {"snfs10 /mnt/a\nSNFS1 /mnt/b\n", "snfs1", 256, nullptr},
        {"# snfs1 /mnt/a\n", "snfs1", 256, nullptr},
        {"", "snfs1", 256, nullptr},
    };
    for (const auto &row : rows) {
        write_config_file("mounttab", row.table);
        char path[256] = "untouched";
        char msg[VTA_MESSAGE_SIZE] = "";
        const int rc = VTAdmin_FindMountPoint(row.fs, path, row.size, msg);
        if (row.mount_point != nullptr) {
            EXPECT_EQ(rc, 0) << row.table;
            EXPECT_STREQ(path, row.mount_point) << row.table;
        } else {
            EXPECT_EQ(rc, -1) << row.table;
            EXPECT_EQ(std::string(msg),
                      std::string("could not find mount point for file system '") + row.fs + "'")
                << row.table;
        }
    }
    write_config_file("mounttab", "");
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(
        VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, "tmp", nullptr, 0, nullptr, msg), -1);
    EXPECT_STREQ(msg, "error finding mountpoint for file system 'snfs1'");
}

class DirQuotas : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        cluster_ = start_test_cluster(kScenario);
        ASSERT_NE(cluster_, nullptr);
        VTAdmin_Init();
        char message[VTA_MESSAGE_SIZE] = "";
        ns_ = VTAdmin_NSConnect("127.0.0.1", message);
        ASSERT_GE(ns_, 0) << message;
        fsm_ = connect_active_fsm(ns_, "snfs1");
        ASSERT_GE(fsm_, 0);
        mnt_ = canonical(test_root() + "/mnt");
        snfs1_ = mnt_ + "/snfs1";
    }
    void TearDown() override {
        vtadmin_set_admin_for_tests(1);
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }

    // The simulator's entry of the directory `relative` of snfs1 in the data (or files) list.
    std::optional<sim_quota> stored(const std::string &relative, bool files) {
        const std::string name = name_of(snfs1_ + "/" + relative);
        const sim_scenario now = cluster_snapshot(cluster_);
        for (const sim_quota &q :
             files ? now.filesystems[0].dir_file_quotas : now.filesystems[0].dir_space_quotas)
            if (q.name == name)
                return q;
        return std::nullopt;
    }
    bool has_name_space(const std::string &relative) {
        const std::string name = name_of(snfs1_ + "/" + relative);
        const sim_scenario now = cluster_snapshot(cluster_);
        for (const sim_name_space &space : now.filesystems[0].name_spaces)
            if (space.name == name)
                return true;
        return false;
    }

    static VTA_QUOTA limits(uint32_t type, uint64_t hard, uint64_t soft, uint32_t grace) {
        VTA_QUOTA q{};
        q.type = type;
        q.hard = hard;
        q.soft = soft;
        q.grace = grace;
        return q;
    }

    // Every entry of a walk of `type`, as "name type used/hard/soft grace remaining" texts.
    static std::vector<std::string> walk(int fsm, uint32_t type) {
        std::vector<std::string> entries;
        VTA_QUOTA q{};
        for (int i = 0; i < 20; ++i) {
            char msg[VTA_MESSAGE_SIZE] = "";
            const int rc = VTAdmin_ListDirQuotas(fsm, type, &q, msg);
            if (rc != 0) {
                entries.push_back("end " + std::to_string(rc) + " " + msg);
                break;
            }
            entries.push_back(std::string(q.name) + " " + std::to_string(q.type) + " " +
                              std::to_string(q.used) + "/" + std::to_string(q.hard) + "/" +
                              std::to_string(q.soft) + " " + std::to_string(q.grace) + " " +
                              std::to_string(q.time_remaining));
        }
        return entries;
    }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
    int fsm_ = -1;
    std::string mnt_, snfs1_;
};

} // namespace

TEST_F(DirQuotas, OpeningADirectoryAsksTheDriver) {
    std::ofstream(snfs1_ + "/tmp/file") << "x";
    const std::string outside = canonical(test_root() + "/config");
    const struct {
        std::string path;
        const char *fs;
        int rc;
        std::string message;
    } rows[] = {
        {snfs1_ + "/tmp", "snfs1", 0, ""},
        {snfs1_ + "/home/bob/", "snfs1", 0, ""},
        {snfs1_, "snfs1", 0, ""},
        {snfs1_ + "/tmp/file", "snfs1", -1,
         "The path '" + snfs1_ + "/tmp/file' is not a directory"},
        {mnt_ + "/other/elsewhere", "snfs1", -1,
         "Directory '" + mnt_ +
             "/other/elsewhere' is not in file system 'snfs1' (it's in 'other')"},
        {outside, "snfs1", -1, "Directory '" + outside + "' is not on a known file system.\n"},
        {snfs1_ + "/missing", "snfs1", 2,
         "Error opening directory '" + snfs1_ + "/missing': No such file or directory"},
    };
    for (const auto &row : rows) {
        uint64_t inode = 99;
        VTA_FS_DIR dir;
        char msg[VTA_MESSAGE_SIZE] = "";
        EXPECT_EQ(VTAdmin_OpenFsDirectory(row.fs, row.path.c_str(), &inode, &dir, msg), row.rc)
            << row.path;
        EXPECT_EQ(msg, row.message) << row.path;
        if (row.rc == 0) {
            EXPECT_EQ(inode, inode_of(row.path)) << row.path;
            EXPECT_GE(dir.fd, 0) << row.path;
            EXPECT_EQ(dir.path, canonical(row.path)) << row.path;
        } else {
            EXPECT_EQ(inode, 0u) << row.path;
            EXPECT_EQ(dir.fd, -1) << "closed again: " << row.path;
        }
        VTAdmin_CloseFsDirectory(&dir);
    }
}

TEST_F(DirQuotas, WithoutTheDriverEndpointNothingIsOnAFileSystemOfThisClient) {
    ASSERT_EQ(unlink((test_root() + "/config/kxfsdrv.sock").c_str()), 0);
    uint64_t inode = 0;
    VTA_FS_DIR dir;
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_OpenFsDirectory("snfs1", snfs1_.c_str(), &inode, &dir, msg), -1);
    EXPECT_EQ(msg, "Directory '" + snfs1_ + "' is not on a known file system.\n");
    char path[512];
    EXPECT_EQ(VTAdmin_DirQuotaName2Path("snfs1", "D:12", VTA_PATH_RELATIVE, path, sizeof path, msg),
              -1);
    EXPECT_STREQ(msg, "error talking to the FSM: 25");
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 10, 5, 1);
    EXPECT_EQ(
        VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "projects", &q, msg), -1);
    EXPECT_EQ(msg, "Directory '" + snfs1_ + "/projects' is not on a known file system.\n");
}

TEST_F(DirQuotas, PathsAndNamesBothWays) {
    const std::string projects = name_of(snfs1_ + "/projects");
    const struct {
        int kind;
        std::string path;
    } spellings[] = {
        {VTA_PATH_RELATIVE, "projects"},
        {VTA_PATH_RELATIVE, "/projects/"},
        {VTA_PATH_RELATIVE, "tmp/../projects"},
        {VTA_PATH_ABSOLUTE, snfs1_ + "/projects"},
    };
    for (const auto &s : spellings) {
        char name[64] = "";
        char msg[VTA_MESSAGE_SIZE] = "";
        EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", s.kind, s.path.c_str(), name, sizeof name,
                                            nullptr, msg),
                  0)
            << s.path << ": " << msg;
        EXPECT_EQ(name, projects) << s.path;
    }
    char path[512] = "";
    char msg[VTA_MESSAGE_SIZE] = "";
    ASSERT_EQ(VTAdmin_DirQuotaName2Path("snfs1", projects.c_str(), VTA_PATH_RELATIVE, path,
                                        sizeof path, msg),
              0)
        << msg;
    EXPECT_STREQ(path, "/projects");
    ASSERT_EQ(VTAdmin_DirQuotaName2Path("snfs1", projects.c_str(), VTA_PATH_ABSOLUTE, path,
                                        sizeof path, msg),
              0)
        << msg;
    EXPECT_EQ(path, snfs1_ + "/projects");
    const std::string mount_point = name_of(snfs1_);
    ASSERT_EQ(VTAdmin_DirQuotaName2Path("snfs1", mount_point.c_str(), VTA_PATH_RELATIVE, path,
                                        sizeof path, msg),
              0);
    EXPECT_STREQ(path, "/");

    // The open directory is handed over when asked for.
    VTA_FS_DIR dir;
    ASSERT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, "tmp", nullptr, 0, &dir, msg),
              0);
    EXPECT_GE(dir.fd, 0);
    EXPECT_EQ(dir.path, snfs1_ + "/tmp");
    VTAdmin_CloseFsDirectory(&dir);
}

TEST_F(DirQuotas, ConversionFailuresAndTheirTexts) {
    char name[64] = "";
    char msg[VTA_MESSAGE_SIZE] = "";
    // The relative path joined to the mount point reaches 1024 characters: too long.
    const std::string long_path(1024 - snfs1_.size() - 1, 'a');
    EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, long_path.c_str(), name,
                                        sizeof name, nullptr, msg),
              -1);
    EXPECT_STREQ(msg, "full path too long");
    EXPECT_NE(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, long_path.substr(1).c_str(),
                                        name, sizeof name, nullptr, msg),
              0);
    EXPECT_STRNE(msg, "full path too long") << "1023 characters are not too long";
    EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", 3, "tmp", name, sizeof name, nullptr, msg), -1);

    char path[512] = "";
    const struct {
        const char *name;
        int kind;
        size_t size;
        const char *message;
    } rows[] = {
        {"D:1", VTA_PATH_RELATIVE, sizeof path, "invalid name"},
        {"projects", VTA_PATH_RELATIVE, sizeof path, "invalid name"},
        {"D:2", 3, sizeof path, ""},
        {"D:18446744073709551615", VTA_PATH_RELATIVE, sizeof path, "error talking to the FSM: 2"},
        {nullptr, VTA_PATH_RELATIVE, 9, "string too short to hold path"},
        {nullptr, VTA_PATH_RELATIVE, 10, nullptr},
    };
    const std::string projects = name_of(snfs1_ + "/projects"); // "/projects" is 9 long
    for (const auto &row : rows) {
        const char *asked = row.name != nullptr ? row.name : projects.c_str();
        const int rc = VTAdmin_DirQuotaName2Path("snfs1", asked, row.kind, path, row.size, msg);
        EXPECT_EQ(rc, row.message == nullptr ? 0 : -1) << asked << " " << row.size;
        EXPECT_STREQ(msg, row.message == nullptr ? "" : row.message) << asked;
        if (rc != 0) {
            EXPECT_STREQ(path, "") << asked;
        }
    }
    EXPECT_EQ(VTAdmin_DirQuotaName2Path("nosuch", projects.c_str(), VTA_PATH_RELATIVE, path,
                                        sizeof path, msg),
              -1);
    EXPECT_STREQ(msg, "could not find mount point for file system 'nosuch'");
}

TEST_F(DirQuotas, NameSpacesAreCreatedOnceAndDestroyedOnce) {
    const struct {
        const char *fs;
        const char *path; // relative
        bool create;
        int rc;
        const char *message;
    } steps[] = {
        {"snfs1", "tmp", true, 0, ""},
        {"snfs1", "tmp", true, 3, "Quota namespace already exists."},
        {"snfs1", "tmp", false, 0, ""},
        {"snfs1", "tmp", false, 2, "No such namespace"},
        {"snfs1", "locked", true, 7, "Namespace is busy"},
        {"off", "x", true, 6, "Quotas are disabled on this file system."},
        {"nodq", "x", true, 25, "This file system does not support Directory Quotas."},
    };
    for (const auto &step : steps) {
        char msg[VTA_MESSAGE_SIZE] = "";
        const int rc =
            step.create
                ? VTAdmin_CreateDirQuotaNameSpace(step.fs, VTA_PATH_RELATIVE, step.path, msg)
                : VTAdmin_DestroyDirQuotaNameSpace(step.fs, VTA_PATH_RELATIVE, step.path, msg);
        EXPECT_EQ(rc, step.rc) << step.fs << "/" << step.path << (step.create ? " +" : " -");
        EXPECT_STREQ(msg, step.message) << step.fs << "/" << step.path;
    }
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_ABSOLUTE,
                                              (snfs1_ + "/home/bob").c_str(), msg),
              0);
    EXPECT_TRUE(has_name_space("home/bob"));
    EXPECT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "missing", msg), 2);
    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(VTAdmin_DestroyDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "home/bob", msg), 1);
    EXPECT_STREQ(msg, "insufficient privileges");
    EXPECT_TRUE(has_name_space("home/bob"));
}

TEST_F(DirQuotas, ListsDataInBytesAndFilesAsCounts) {
    const std::string projects = name_of(snfs1_ + "/projects");
    const std::string render = name_of(snfs1_ + "/render");
    EXPECT_EQ(walk(fsm_, VTA_QUOTA_DIR_SPACE),
              (std::vector<std::string>{projects + " 3 40960/409600/327680 60 300",
                                        "end 6 no such namespace"}));
    std::vector<std::string> files = {projects + " 4 7/50/40 30 0", render + " 4 3/10/5 1 0"};
    std::sort(files.begin(), files.end()); // the FSM walks in name order
    files.push_back("end 6 no such namespace");
    EXPECT_EQ(walk(fsm_, VTA_QUOTA_DIR_FILES), files);

    EXPECT_EQ(walk(connect_active_fsm(ns_, "off"), VTA_QUOTA_DIR_SPACE),
              std::vector<std::string>{"end 6 quotas disabled"});
    EXPECT_EQ(walk(connect_active_fsm(ns_, "nodq"), VTA_QUOTA_DIR_FILES),
              std::vector<std::string>{"end 25 no DQ support in FSM"})
        << "not an empty list";
    EXPECT_EQ(walk(fsm_, VTA_QUOTA_GROUP),
              std::vector<std::string>{"end -1 unknown quota type: 2\n"});
    EXPECT_EQ(walk(ns_, VTA_QUOTA_DIR_SPACE), std::vector<std::string>{"end -1 invalid fshandle"});
}

TEST_F(DirQuotas, SettingRoundsDataToBlocksAndSendsCountsAsTheyAre) {
    char msg[VTA_MESSAGE_SIZE] = "";
    ASSERT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "tmp", msg), 0) << msg;
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 10, 5, 60);
    ASSERT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "tmp", &q, msg), 0)
        << msg;
    EXPECT_EQ(stored("tmp", true)->hard, 10u);
    EXPECT_EQ(stored("tmp", true)->soft, 5u);
    EXPECT_EQ(q.name, name_of(snfs1_ + "/tmp"));
    EXPECT_EQ(q.type, VTA_QUOTA_DIR_FILES);

    q = limits(VTA_QUOTA_DIR_SPACE, 5000, 4097, 1);
    ASSERT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_SPACE, VTA_PATH_ABSOLUTE,
                                  (snfs1_ + "/tmp").c_str(), &q, msg),
              0)
        << msg;
    EXPECT_EQ(stored("tmp", false)->hard, 2u);
    EXPECT_EQ(stored("tmp", false)->soft, 2u);
    EXPECT_EQ(q.hard, 8192u) << "the answer, in bytes";
    EXPECT_EQ(q.soft, 8192u);

    const struct {
        int fsm; // 0: snfs1
        const char *fs;
        uint32_t type;
        const char *path;
        uint64_t hard, soft;
        uint32_t grace;
        int rc;
        const char *message;
    } rows[] = {
        {0, "snfs1", 3, "tmp", 1000, 1000, 0, -1,
         "Quota time limit must be non-zero if the soft limit is non-zero, SL = 4096, TL = 0."},
        {0, "snfs1", 4, "tmp", 5, 10, 1, -1,
         "Quota hard limit is smaller than the soft limit, HL = 5, SL = 10."},
        {0, "snfs1", 3, "home/bob", 8192, 4096, 1, 2, "File or directory namespace not found."},
        {0, "snfs1", 4, "locked", 10, 5, 1, 7, "The file system namespace is busy."},
        {0, "snfs1", 5, "tmp", 10, 5, 1, -1, "Internal Error: Invalid quota type: 5\n"},
        {0, "snfs1", 3, "../other/elsewhere", 8192, 4096, 1, -1, nullptr},
        {1, "nodq", 4, "x", 10, 5, 1, 25, "This file system does not support Directory Quotas."},
        {1, "off", 4, "x", 10, 5, 1, 2, "Quotas are not enabled on this file system."},
    };
    for (const auto &row : rows) {
        const int fsm = row.fsm == 0 ? fsm_ : connect_active_fsm(ns_, row.fs);
        VTA_QUOTA r = limits(row.type, row.hard, row.soft, row.grace);
        EXPECT_EQ(VTAdmin_SetDirQuota(fsm, row.type, VTA_PATH_RELATIVE, row.path, &r, msg), row.rc)
            << row.fs << "/" << row.path;
        const std::string expected =
            row.message != nullptr ? row.message
                                   : "Directory '" + snfs1_ + "/../other/elsewhere' is not in " +
                                         "file system 'snfs1' (it's in 'other')";
        EXPECT_EQ(msg, expected) << row.fs << "/" << row.path;
    }
    EXPECT_EQ(stored("tmp", true)->hard, 10u) << "refused limits were never sent";

    vtadmin_set_admin_for_tests(0);
    q = limits(VTA_QUOTA_DIR_FILES, 20, 10, 1);
    EXPECT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "tmp", &q, msg), 1);
    EXPECT_STREQ(msg, "Access denied (administrator only).");
}

TEST_F(DirQuotas, TraceLines) {
    VTAdmin_LogInit("dirquotatrace");
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    const size_t before = log_messages("dirquotatrace").size();
    char msg[VTA_MESSAGE_SIZE] = "";
    char path[512] = "";
    const std::string projects = name_of(snfs1_ + "/projects");
    VTAdmin_DirQuotaName2Path("snfs1", projects.c_str(), VTA_PATH_RELATIVE, path, sizeof path, msg);
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 60, 50, 30);
    VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "projects", &q, msg);
    VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "projects", msg);
    VTA_QUOTA walk{};
    VTAdmin_ListDirQuotas(fsm_, VTA_QUOTA_DIR_SPACE, &walk, msg);
    const auto all = log_messages("dirquotatrace");
    const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
    const std::string h = std::to_string(fsm_);
    const std::string ino = projects.substr(2);
    const std::vector<std::string> expected = {
        "Enter: VTAdmin_DirQuotaName2Path: fsname=snfs1",
        " Exit: OK: VTAdmin_DirQuotaName2Path: fsname=snfs1 " + ino + " -> /projects",
        "Enter: VTAdmin_SetDirQuota: hdl=" + h + " pth=projects(1) typ=4/4 Lim=60/50/30",
        "Enter: DirQuotaPath2Name: fsname=snfs1",
        " Exit: OK: DirQuotaPath2Name: fsname=snfs1 " + snfs1_ + "/projects -> " + ino,
        " Exit: OK: VTAdmin_SetDirQuota: fshandle=" + h,
        "Enter: MarkDestroyCreateDirQuotaNameSpace: fsname=snfs1 path=projects",
        "Enter: DirQuotaPath2Name: fsname=snfs1",
        " Exit: OK: DirQuotaPath2Name: fsname=snfs1 " + snfs1_ + "/projects -> " + ino,
        "ERROR 3: MarkDestroyCreateDirQuotaNameSpace: Quota namespace already exists.",
        " Exit: ERROR 3: MarkDestroyCreateDirQuotaNameSpace",
        "Enter: VTAdmin_ListDirQuotas: fshandle=" + h,
        " Exit: OK: VTAdmin_ListDirQuotas: fshandle=" + h + " name=" + projects,
    };
    std::vector<std::string> ours;
    for (const std::string &line : lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end())
            ours.push_back(line);
    EXPECT_EQ(ours, expected);
    std::remove(log_path("dirquotatrace").c_str());
}
