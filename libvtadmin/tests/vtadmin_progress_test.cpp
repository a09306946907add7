// Progress of long listings: the client list and the disk pages tell the progress function how
// many entries have arrived so far.
#include "support_vtadmin.h"

#include "clustersim/cluster.h"
#include "clustersim/generate.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

int record(void *context, int kind, int count) {
    EXPECT_EQ(kind, VTA_PROGRESS_ENTRIES);
    static_cast<std::vector<int> *>(context)->push_back(count);
    return 0;
}

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        char text[256] = "";
        ASSERT_EQ(cluster_start(scenario_generate(45, 300), test_root().c_str(), &cluster_, text,
                                sizeof text),
                  0)
            << text;
        VTAdmin_Init();
        char message[VTA_MESSAGE_SIZE] = "";
        ns_ = VTAdmin_NSConnect("127.0.0.1", message);
        ASSERT_GE(ns_, 0) << message;
        VTAdmin_SetProgress(record, &reports_);
    }
    void TearDown() override {
        VTAdmin_SetProgress(nullptr, nullptr);
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
    std::vector<int> reports_;
};

TEST_F(Progress, TheClientListTellsEveryEntryAsItArrives) {
    VTA_FSM_ENTRY entry{};
    ASSERT_EQ(VTAdmin_NSFsmLocate(ns_, "big", -1, &entry), 0);
    char message[VTA_MESSAGE_SIZE] = "";
    const int fsm = VTAdmin_FSMConnect(ns_, &entry, message);
    ASSERT_GE(fsm, 0) << message;
    VTA_CLIENT *list = nullptr;
    ASSERT_EQ(VTAdmin_GetClientList(fsm, &list), 45);
    VTAdmin_FreeClientList(list);
    VTAdmin_FSMDisconnect(fsm);
    ASSERT_EQ(reports_.size(), 45u);
    for (int i = 0; i < 45; ++i)
        EXPECT_EQ(reports_[i], i + 1);
}

TEST_F(Progress, DiskPagesTellTheDisksReadSoFar) {
    std::vector<VTA_DISK> disks(300);
    int total = 0, got = 0, pages = 0;
    char message[VTA_MESSAGE_SIZE] = "";
    for (int rc = 0;
         pages < 300 && (rc = VTAdmin_NSGetDisks(ns_, total, 300 - total, disks.data() + total,
                                                 &got, nullptr, message)) != VTA_EOF;
         ++pages) {
        ASSERT_EQ(rc, 0) << message;
        total += got;
        ASSERT_EQ(reports_.size(), size_t(pages + 1));
        EXPECT_EQ(reports_.back(), total);
    }
    EXPECT_EQ(total, 300);
    EXPECT_GT(pages, 1) << "the list comes in several pages";
    EXPECT_EQ(reports_.size(), size_t(pages)) << "the end of the list tells nothing";
}

TEST_F(Progress, OnlyItsOwnerClearsTheProgressFunction) {
    int other = 0;
    VTAdmin_SetProgress(nullptr, &other); // another owner: ignored
    vtadmin_report_progress(7);
    VTAdmin_SetProgress(nullptr, &reports_);
    vtadmin_report_progress(8);
    EXPECT_EQ(reports_, std::vector<int>{7});
}

} // namespace
