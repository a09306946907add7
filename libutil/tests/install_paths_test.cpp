#include "libutil/install_paths.h"

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

TEST_F(InstallPaths, OverlongPathIsTruncatedWithANotice) {
    std::string root(250, 'r');
    setenv("KXFSROOT", ("/" + root).c_str(), 1);
    testing::internal::CaptureStderr();
    std::string conf = config_dir();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(conf.size(), 255u);
    EXPECT_NE(err.find("Pathname too long: /" + root + "/config: truncated to "),
              std::string::npos);
}

} // namespace
