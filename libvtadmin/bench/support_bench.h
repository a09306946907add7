// A simulated cluster for the tree benchmarks: one in-process cluster of a scenario on a
// private root, the library, and a tree in which host "alpha" is connected and the first
// active file system of its "File Systems" folder has been opened.
#pragma once

#include "clustersim/cluster.h"
#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <string>

struct bench_tree_world {
    explicit bench_tree_world(const sim_scenario &scenario);
    ~bench_tree_world();
    bench_tree_world(const bench_tree_world &) = delete;
    bench_tree_world &operator=(const bench_tree_world &) = delete;

    // Stops the program with the tree's message when `rc` is not 0.
    void must(int32_t rc);
    // VTATree_Op code 4 on `node`, which must succeed.
    void refresh(VTAObj *node);
    static size_t count(VTAObj *folder);

    std::string root;
    sim_cluster *cluster = nullptr;
    VTATree *tree = nullptr;
    VTAObj *computer = nullptr, *fs = nullptr;
    char msg[256] = "";
};
