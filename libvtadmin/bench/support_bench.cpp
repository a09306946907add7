#include "support_bench.h"

#include "libutil/install_paths.h"
#include "libvtadmin/vtadminlib.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

bench_tree_world::bench_tree_world(const sim_scenario &scenario) {
    char pattern[] = "/tmp/kxtreebench.XXXXXX";
    root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/config");
    setenv("KXFSROOT", root.c_str(), 1);
    setenv("TIMEDWAIT_VALUE", "30", 1);
    install_paths_reset_for_tests();
    char text[256];
    if (cluster_start(scenario, root.c_str(), &cluster, text, sizeof text) != 0) {
        fprintf(stderr, "%s\n", text);
        std::abort();
    }
    VTAdmin_Init();
    tree = VTATree_Create();
    char host[] = "alpha";
    refresh(tree->VTA_Root);
    must(VTATree_Op(tree, VTA_OP_CREATE, tree->VTA_Root, host, sizeof host, msg, sizeof msg));
    computer = tree->VTA_Root->VTA_Child;
    refresh(computer);
    VTAObj *file_systems = VTAObj_FindChildOfType(tree, computer, VTA_OBJ_ALL_FS);
    refresh(file_systems);
    fs = VTAObj_FindChildOfType(tree, file_systems, VTA_OBJ_FS_ACTIVE);
    refresh(fs);
}

bench_tree_world::~bench_tree_world() {
    VTATree_Destroy(&tree);
    VTAdmin_Teardown();
    cluster_stop(cluster);
    std::filesystem::remove_all(root);
}

void bench_tree_world::must(int32_t rc) {
    if (rc != 0) {
        fprintf(stderr, "tree operation failed: %d %s\n", rc, msg);
        std::abort();
    }
}

void bench_tree_world::refresh(VTAObj *node) {
    must(VTATree_Op(tree, VTA_OP_REFRESH, node, nullptr, 0, msg, sizeof msg));
}

size_t bench_tree_world::count(VTAObj *folder) {
    size_t n = 0;
    for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        ++n;
    return n;
}
