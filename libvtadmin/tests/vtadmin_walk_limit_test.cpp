// The tree's walks through a server's list stop at the walk limit with a message instead of
// following a list that never ends (libfsmcomm/tests/hostile_peer_test: the library's walks).
// The limit is lowered so that the simulator's short lists reach it.

#include "support_nodes.h"

#include "libfsmcomm/fsmcomm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char *const kScenario = R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "fsA", "block_size": 4096, "total_blocks": 1000, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [{"name": "ann", "used": 1}, {"name": "ben", "used": 2},
                     {"name": "cat", "used": 3}, {"name": "dan", "used": 4}]},
    {"name": "fsB", "block_size": 4096, "total_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "active"}]},
    {"name": "fsC", "block_size": 4096, "total_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "active"}]}]})";

class WalkLimit : public ClusterTreeTest {
protected:
    std::string scenario_json() const override { return kScenario; }
    void TearDown() override {
        list_walk_limit_set_for_tests(0);
        ClusterTreeTest::TearDown();
    }
    // Refreshes the child `name` of `parent` with the limit lowered to `limit`.
    int32_t refresh_with_limit(VTAObj *parent, const char *name, uint32_t limit) {
        VTAObj *node = nullptr;
        for (VTAObj *c = parent->VTA_Child; c != nullptr; c = c->VTA_SibRight)
            if (std::string(c->VTA_Name) == name)
                node = c;
        EXPECT_NE(node, nullptr) << name;
        list_walk_limit_set_for_tests(limit);
        const int32_t rc = node != nullptr ? op(VTA_OP_REFRESH, node) : -1;
        list_walk_limit_set_for_tests(0);
        return rc;
    }
};

TEST_F(WalkLimit, AListThatHasNotEndedByTheLimitIsReported) {
    const std::string no_fs_end = "Failed to list file systems: the name server's list does not "
                                  "end (stopped after 3 entries)";
    const std::string no_user_end = "The FSM's user quota list does not end (stopped after 4 "
                                    "entries)";
    struct Row {
        const char *folder; // "File Systems", or "Users & Groups" of fsA
        uint32_t limit;
        bool fails;
        std::string message;
    } rows[] = {
        // Three file systems, then the end: the fourth position must be asked for.
        {"File Systems", 3, true, no_fs_end},
        {"File Systems", 4, false, ""},
        // Four user quotas, then the end.
        {"Users & Groups", 4, true, no_user_end},
        {"Users & Groups", 5, false, ""},
    };
    VTAObj *alpha = computer("alpha");
    VTAObj *quotas = open(open(open(alpha, "File Systems"), "fsA"), "Quotas");
    for (const Row &row : rows) {
        const bool file_systems = std::string(row.folder) == "File Systems";
        const int32_t rc = refresh_with_limit(file_systems ? alpha : quotas, row.folder, row.limit);
        const std::string at = std::string(row.folder) + " limit " + std::to_string(row.limit);
        EXPECT_EQ(rc != 0, row.fails) << at << ": " << msg_;
        if (row.fails) {
            EXPECT_EQ(msg_, row.message) << at;
        }
    }
}

} // namespace
