// Library lifecycle, log set-up, error texts and formatters.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libutil/logging.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <string>
#include <unistd.h>

namespace {

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        test_root();
        VTAdmin_Teardown();
    }
    void TearDown() override {
        VTAdmin_Teardown();
        write_config_file("vtadmin.conf", "");
        unsetenv("VT_MAX_LOGSIZE_kxtest");
        unsetenv("VT_ADMIN_GROUP");
    }
    static std::string open_log_path() {
        bool open = false;
        char path[512] = "";
        log_query(&open, nullptr, path, sizeof path, nullptr, nullptr);
        return open ? path : "";
    }
};

} // namespace

TEST(StrError, TableTextsAndUnknownCodes) {
    EXPECT_STREQ(VTAdmin_StrError(0), "No Error.");
    EXPECT_STREQ(VTAdmin_StrError(1), "Permission denied.");
    EXPECT_STREQ(VTAdmin_StrError(2), "Entry not found.");
    EXPECT_STREQ(VTAdmin_StrError(3), "Object already exists.");
    EXPECT_STREQ(VTAdmin_StrError(4), "No configuration.");
    EXPECT_STREQ(VTAdmin_StrError(5), "Object is not local.");
    EXPECT_STREQ(VTAdmin_StrError(6), "End of file/list.");
    EXPECT_STREQ(VTAdmin_StrError(7), "Retry from start.");
    EXPECT_STREQ(VTAdmin_StrError(8), "A timeout occured.");
    EXPECT_STREQ(VTAdmin_StrError(9), "The operation was interrupted.");
    EXPECT_STREQ(VTAdmin_StrError(10), "Blocked by HA operation.");
    EXPECT_STREQ(VTAdmin_StrError(11), "Blocaked by HA mis-configuration.");
    EXPECT_STREQ(VTAdmin_StrError(12), "Non-approved daemon.");
    EXPECT_STREQ(VTAdmin_StrError(25), "Operation is not supported.");
    EXPECT_STREQ(VTAdmin_StrError(13), "Unknown error.");
    EXPECT_STREQ(VTAdmin_StrError(-1), "Unknown error.");
    EXPECT_STREQ(VTAdmin_StrError(113), "Unknown error.");
}

TEST(DiskStateString, FirstMatchingBitDecides) {
    const struct {
        uint32_t state;
        const char *text;
    } rows[] = {{0x0000000C, "Available"},      {0x0000000D, "Active"},
                {0x00000006, "Primary"},        {0x00000008, "Standby"},
                {0x00000009, "Passive"},        {0x0000000A, "Secondary"},
                {0x30000000, "Deferred Close"}, {0x20000000, "Label Not Verified"},
                {0x40000000, "Unusable"},       {0x80000000, "Unavailable"},
                {0x00000003, "<Unknwon>"},      {0, "<Unknwon>"}};
    for (const auto &r : rows) {
        char text[32];
        VTAdmin_DiskStateString(r.state, text, sizeof text);
        EXPECT_STREQ(text, r.text) << std::hex << r.state;
    }
    char small[4];
    VTAdmin_DiskStateString(0xD, small, sizeof small);
    EXPECT_STREQ(small, "Act") << "bounded and terminated";
}

TEST_F(Lifecycle, InitIsIdempotentAndTeardownBeforeInitIsHarmless) {
    EXPECT_EQ(VTAdmin_Teardown(), 0) << "not ready";
    EXPECT_EQ(VTAdmin_IsReady(), 0);
    EXPECT_EQ(VTAdmin_Init(), 0);
    EXPECT_EQ(VTAdmin_OnceDone(), 1);
    EXPECT_EQ(VTAdmin_IsReady(), 1);
    EXPECT_EQ(open_log_path(), log_path("vtadmin"));

    EXPECT_EQ(VTAdmin_Init(), 0);
    EXPECT_EQ(VTAdmin_IsReady(), 1);

    EXPECT_EQ(VTAdmin_Teardown(), 0);
    EXPECT_EQ(VTAdmin_IsReady(), 0);
    EXPECT_EQ(open_log_path(), "") << "teardown closes the log";
    EXPECT_FALSE(facility_flag_on(VTA_LOG_MODULE, VTA_LOG_ENTRY_EXIT));
    EXPECT_EQ(VTAdmin_Init(), 0) << "init again after teardown";
    EXPECT_EQ(VTAdmin_IsReady(), 1);
}

TEST_F(Lifecycle, LogInitKeepsOrSwitchesTheLog) {
    VTAdmin_Init();
    ASSERT_EQ(open_log_path(), log_path("vtadmin"));
    VTAdmin_LogInit(nullptr);
    EXPECT_EQ(open_log_path(), log_path("vtadmin")) << "null keeps the open log";
    VTAdmin_LogInit("kxtest");
    EXPECT_EQ(open_log_path(), log_path("kxtest")) << "the program's name switches the log";
    VTAdmin_LogInit("kxtest");
    EXPECT_EQ(open_log_path(), log_path("kxtest"));
    VTAdmin_Teardown();
    EXPECT_EQ(open_log_path(), "");
}

TEST_F(Lifecycle, LogLimitsHaveMinimumsAndTheEnvironmentWins) {
    const struct {
        const char *file;
        const char *env;
        uint64_t size;
        int files;
    } rows[] = {{"", nullptr, 1048576, 10},
                {"VT_MAX_LOGSIZE_kxtest=512k\nVT_MAX_LOGFILES_kxtest=3\n", nullptr, 1048576, 10},
                {"VT_MAX_LOGSIZE_kxtest=4M\nVT_MAX_LOGFILES_kxtest=25\n", nullptr, 4194304, 25},
                {"VT_MAX_LOGSIZE_kxtest=0x200000\n", nullptr, 2097152, 10},
                {"VT_MAX_LOGSIZE_kxtest=lots\nVT_MAX_LOGFILES_kxtest=many\n", nullptr, 1048576, 10},
                {"VT_MAX_LOGSIZE_kxtest=4M\n", "3m", 3145728, 10},
                {"VT_MAX_LOGSIZE_vtadmin=8M\n", nullptr, 1048576, 10}};
    for (const auto &r : rows) {
        write_config_file("vtadmin.conf", r.file);
        if (r.env)
            setenv("VT_MAX_LOGSIZE_kxtest", r.env, 1);
        else
            unsetenv("VT_MAX_LOGSIZE_kxtest");
        VTAdmin_Init();
        VTAdmin_LogInit("kxtest");
        uint64_t size = 0;
        int files = 0;
        log_query(nullptr, nullptr, nullptr, 0, &size, &files);
        EXPECT_EQ(size, r.size) << r.file;
        EXPECT_EQ(files, r.files) << r.file;
        VTAdmin_Teardown();
    }
}

TEST_F(Lifecycle, TraceLinesFollowTheFacilityBitsErrorsAlways) {
    VTAdmin_Init();
    vta_enter("hidden");
    vta_error_message(5, "call", "shown");
    VTAdmin_LogEnable(1, VTA_LOG_MODULE);
    vta_enter("VTAdmin_X");
    vta_enter_args("VTAdmin_X", "nshandle=%d\n", 4);
    vta_exit_ok_args("VTAdmin_X", "found=%s\n", "fs");
    vta_exit_error(-1, "VTAdmin_X");
    vta_info("not shown\n");
    VTAdmin_LogEnable(0, VTA_LOG_MODULE);
    vta_info("general %d\n", 7);
    VTAdmin_Teardown();
    const std::vector<std::string> messages = log_messages("vtadmin");
    const std::vector<std::string> expected = {
        "ERROR 5: call: shown",         "Enter: VTAdmin_X",
        "Enter: VTAdmin_X: nshandle=4", " Exit: OK: VTAdmin_X: found=fs",
        " Exit: ERROR -1: VTAdmin_X",   "general 7",
        "Enter: VTAdmin_Teardown",      " Exit: OK: VTAdmin_Teardown"};
    ASSERT_GE(messages.size(), expected.size());
    // Earlier tests of this program may have written to the same log; compare the tail.
    const std::vector<std::string> tail(messages.end() - expected.size(), messages.end());
    EXPECT_EQ(tail, expected);
    std::remove(log_path("vtadmin").c_str());
}

TEST_F(Lifecycle, HandleCheckReasons) {
    char message[256];
    EXPECT_EQ(VTAdmin_CheckHandle(0, -1, message, sizeof message), -1);
    EXPECT_STREQ(message, "The VT Admin library has not been initialized.");
    VTAdmin_Init();
    EXPECT_EQ(VTAdmin_CheckHandle(20, -1, message, sizeof message), -1);
    EXPECT_STREQ(message, "Invalid connection handle: 20\n");
    EXPECT_EQ(VTAdmin_CheckHandle(-1, -1, message, sizeof message), -1);
    EXPECT_STREQ(message, "Invalid connection handle: -1\n");
    EXPECT_EQ(VTAdmin_CheckHandle(3, VTA_CONN_NS, message, sizeof message), -1);
    EXPECT_STREQ(message, "Invalid connection type. Expected 1 but type is 0.\n");
    EXPECT_EQ(VTAdmin_CheckHandle(3, VTA_CONN_ANY, nullptr, 0), 0);
    EXPECT_EQ(VTAdmin_NSDisconnect(20), -1);
    VTA_CONN_INFO info;
    EXPECT_EQ(VTAdmin_NSGetConnInfo(3, &info), 0);
    EXPECT_EQ(info.type, 0);
}

TEST_F(Lifecycle, ConnectBeforeInitIsRefused) {
    char message[256];
    int handle = 5;
    EXPECT_EQ(VTAdmin_Connect("127.0.0.1", nullptr, &handle, message, sizeof message, 0), 22);
    EXPECT_EQ(handle, -1);
    EXPECT_STREQ(message, "VT Admin Connect: Library not ready.");
    EXPECT_EQ(VTAdmin_NSConnect("127.0.0.1", message), -22);
}

TEST(RightsProbe, GroupMembership) {
    const group *own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(vtadmin_in_group(own->gr_name), 1);
    EXPECT_EQ(vtadmin_in_group("no-such-group-kx"), 0);
    EXPECT_EQ(vtadmin_in_group(""), 0);
    // Root always qualifies; otherwise the group named in the environment decides.
    setenv("VT_ADMIN_GROUP", own->gr_name, 1);
    EXPECT_EQ(vtadmin_rights_probe(), 1);
    setenv("VT_ADMIN_GROUP", "no-such-group-kx", 1);
    EXPECT_EQ(vtadmin_rights_probe(), geteuid() == 0 ? 1 : 0);
    unsetenv("VT_ADMIN_GROUP");
}
