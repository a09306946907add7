#include "kxntadmin/tests/support_cluster.h"

#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_recent.h"

#include <QIcon>
#include <QTreeWidgetItem>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

ClusterEnvironment *cluster_env = nullptr;

ClusterEnvironment *register_cluster(const char *scenario) {
    cluster_env = new ClusterEnvironment(scenario);
    ::testing::AddGlobalTestEnvironment(cluster_env);
    return cluster_env;
}

void ClusterEnvironment::SetUp() {
    char pattern[] = "/tmp/kxshell-cluster-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/config");
    std::filesystem::create_directories(root_ + "/debug");
    setenv("KXFSROOT", root_.c_str(), 1);
    unsetenv("KXFSCONF");
    unsetenv("KXFSLOGS");
    // Connection waits stay short, so a refused manager cannot stall the program.
    setenv("TIMEDWAIT_VALUE", "5", 1);
    install_paths_reset_for_tests();
    sim_scenario scenario;
    char text[256] = "";
    ASSERT_EQ(scenario_parse(scenario_, &scenario, text, sizeof text), 0) << text;
    ASSERT_EQ(cluster_start(scenario, root_.c_str(), &cluster, text, sizeof text), 0) << text;
}

void ClusterEnvironment::TearDown() {
    if (cluster != nullptr)
        cluster_stop(cluster);
    cluster = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::vector<std::string> file_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string node_name(const VTAObj *node) {
    return std::string(node->VTA_Name, strnlen(node->VTA_Name, VTA_NAME_SIZE));
}

void ShellOnCluster::SetUp() {
    ASSERT_NE(cluster_env, nullptr);
    ASSERT_NE(cluster_env->cluster, nullptr);
    std::ofstream(cluster_env->recent_path()) << "RecentConn0=localhost\n";
    VTAObj_RecentResetForTests();
    KxStartAdminLibrary();
    frame_ = new CKxAdminFrm();
    child_ = frame_->NewDocumentWindow();
    frame_->show();
}

void ShellOnCluster::TearDown() {
    delete frame_;
    KxStopAdminLibrary();
    for (const std::string &target : faults_) {
        char text[256] = "";
        EXPECT_EQ(
            cluster_set_fault(cluster_env->cluster, target.c_str(), "none", text, sizeof text), 0)
            << text;
    }
}

void ShellOnCluster::set_fault(const char *target, const char *fault) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_env->cluster, target, fault, text, sizeof text), 0) << text;
    faults_.emplace_back(target);
}

QTreeWidgetItem *ShellOnCluster::item(const std::vector<std::string> &path) const {
    QTreeWidgetItem *found = nullptr;
    for (const std::string &name : path) {
        const int count = found ? found->childCount() : tree_view()->topLevelItemCount();
        QTreeWidgetItem *next = nullptr;
        for (int i = 0; i < count && next == nullptr; ++i) {
            QTreeWidgetItem *candidate = found ? found->child(i) : tree_view()->topLevelItem(i);
            if (candidate->text(0).toStdString() == name)
                next = candidate;
        }
        if (next == nullptr)
            return nullptr;
        found = next;
    }
    return found;
}

VTAObj *ShellOnCluster::node_at(const std::vector<std::string> &path) const {
    QTreeWidgetItem *found = item(path);
    EXPECT_NE(found, nullptr) << path.back();
    return CKxAdminTreeView::ItemNode(found);
}

std::vector<std::string> ShellOnCluster::folder_children(const VTAObj *node) {
    std::vector<std::string> names;
    for (VTAObj *c = node->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        if (c->VTA_IsFolder)
            names.push_back(node_name(c));
    return names;
}

std::vector<std::string> ShellOnCluster::tree_rows(VTAObj *node, std::vector<bool> *right_align) {
    std::vector<std::string> lines;
    for (int32_t number = 0; number < 200; ++number) {
        VTA_LV_ROW row{};
        row.VTA_RowNbr = number;
        char msg[256] = "";
        if (VTATree_Op(tree(), VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row, msg, sizeof msg) !=
            VTA_OK)
            break;
        std::string line;
        for (uint32_t c = 0; c < row.VTA_ColCount; ++c) {
            line += (c ? "|" : "") + std::string(row.VTA_Cells[c].VTA_Text);
            if (number == 0)
                right_align->push_back(row.VTA_Cells[c].VTA_RightAlign != 0);
        }
        lines.push_back(line);
    }
    return lines;
}

void ShellOnCluster::expect_list_shows_current(const std::vector<std::string> &path,
                                               size_t min_rows) {
    QTreeWidgetItem *folder = item(path);
    ASSERT_NE(folder, nullptr) << path.back();
    select(folder);
    EXPECT_TRUE(messages_.messages().empty());
    VTAObj *node = CKxAdminTreeView::ItemNode(folder);
    ASSERT_EQ(VTATree_GetCurrent(tree()), node);
    ASSERT_EQ(list_view()->ListDir(), node);

    std::vector<bool> right_align;
    const std::vector<std::string> expected = tree_rows(node, &right_align);
    ASSERT_GE(expected.size(), min_rows) << path.back();
    EXPECT_EQ(list_lines(), expected);

    const CKxListModel *model = list_view()->Model();
    ASSERT_EQ(model->columnCount(), static_cast<int>(right_align.size()));
    for (int c = 0; c < model->columnCount(); ++c) {
        const Qt::Alignment wanted = right_align[c] ? Qt::AlignRight : Qt::AlignLeft;
        const auto header_align =
            Qt::Alignment(model->headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).toInt());
        EXPECT_EQ(header_align & Qt::AlignHorizontal_Mask, wanted) << "column " << c;
        for (int r = 0; r < model->rowCount(); ++r) {
            const auto cell_align =
                Qt::Alignment(model->index(r, c).data(Qt::TextAlignmentRole).toInt());
            EXPECT_EQ(cell_align & Qt::AlignHorizontal_Mask, wanted)
                << "row " << r << " column " << c;
        }
    }
    for (int r = 0; r < model->rowCount(); ++r) {
        EXPECT_EQ(model->NodeAt(r)->VTA_Parent, node);
        EXPECT_FALSE(model->index(r, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    }
}

bool ShellOnCluster::select_path(const std::vector<std::string> &path) {
    std::vector<std::string> prefix;
    for (const std::string &name : path) {
        prefix.push_back(name);
        QTreeWidgetItem *at = item(prefix);
        if (at == nullptr)
            return false;
        select(at);
    }
    return true;
}
