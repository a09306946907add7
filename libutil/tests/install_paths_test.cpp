#include "libutil/install_paths.h"

#include "libutil/file_read.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class InstallPaths : public testing::Test {
protected:
    void SetUp() override {
        for (const char *v : {"KXFSROOT", "KXFSCONF", "KXFSLOGS"})
            unsetenv(v);
        install_paths_reset_for_tests();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(InstallPaths, DefaultRootWhenNothingIsSet) {
    EXPECT_STREQ(install_path(INSTALL_ROOT), "/opt/veltrane");
    EXPECT_STREQ(config_dir(), "/opt/veltrane/config");
    EXPECT_STREQ(debug_dir(), "/opt/veltrane/debug");
    EXPECT_STREQ(help_dir(), "/opt/veltrane/help");
    EXPECT_STREQ(oem_dir(), "/opt/veltrane/config/oem");
}

TEST_F(InstallPaths, RootFromEnvironmentDrivesDerivedEntries) {
    setenv("KXFSROOT", "/tmp/kx", 1);
    EXPECT_STREQ(config_dir(), "/tmp/kx/config");
    EXPECT_STREQ(debug_dir(), "/tmp/kx/debug");
    EXPECT_STREQ(install_path(INSTALL_PROGRAMS_DIR), "/tmp/kx/bin");
    EXPECT_STREQ(install_path(INSTALL_QUSTATS_DIR), "/tmp/kx/qustats");
}

TEST_F(InstallPaths, LogRootMovesDebugButNotConfig) {
    setenv("KXFSROOT", "/tmp/kx", 1);
    setenv("KXFSLOGS", "/var/kxlogs", 1);
    EXPECT_STREQ(debug_dir(), "/var/kxlogs/debug");
    EXPECT_STREQ(install_path(INSTALL_DATA_DIR), "/var/kxlogs/data");
    EXPECT_STREQ(config_dir(), "/tmp/kx/config");
}

TEST_F(InstallPaths, ConfigOverrideMovesOemDirectory) {
    setenv("KXFSCONF", "/etc/kx", 1);
    EXPECT_STREQ(config_dir(), "/etc/kx");
    EXPECT_STREQ(oem_dir(), "/etc/kx/oem");
}

TEST_F(InstallPaths, ResolvedOncePerProcessUntilReset) {
    setenv("KXFSROOT", "/first", 1);
    EXPECT_STREQ(config_dir(), "/first/config");
    setenv("KXFSROOT", "/second", 1);
    EXPECT_STREQ(config_dir(), "/first/config");
    install_paths_reset_for_tests();
    EXPECT_STREQ(config_dir(), "/second/config");
}

// A path is never cut short (that would name another directory); the files built from it
// check that they fit.
TEST_F(InstallPaths, OverlongPathIsKeptWholeAndRefusedWhereItDoesNotFit) {
    std::string root = "/" + std::string(250, 'r');
    setenv("KXFSROOT", root.c_str(), 1);
    EXPECT_EQ(std::string(config_dir()), root + "/config");
    char path[256];
    EXPECT_FALSE(config_file_path("cfg.kxntadmin", path, sizeof path));
    EXPECT_STREQ(path, "");
    char wide[512];
    ASSERT_TRUE(config_file_path("cfg.kxntadmin", wide, sizeof wide));
    EXPECT_EQ(std::string(wide), root + "/config/cfg.kxntadmin");
}

TEST_F(InstallPaths, EmptyVariableCountsAsNotSet) {
    setenv("KXFSROOT", "/opt/x", 1);
    setenv("KXFSCONF", "", 1);
    EXPECT_STREQ(config_dir(), "/opt/x/config");
}

} // namespace
