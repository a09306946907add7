// The console against the simulated cluster, reached as a user would through the tree, the list,
// the menus and the dialogs. One install root and one in-process cluster serve the whole program
// (the admin library reads the agent port once per process); the console starts on "localhost"
// from the recent connections.
#include "kxntadmin/tests/support_shell.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/dlg_conn_edit.h"
#include "kxntadmin/dlg_fs_ctrl.h"
#include "kxntadmin/dlg_fsm_debug_edit.h"
#include "kxntadmin/dlg_quota_edit.h"
#include "kxntadmin/user_settings.h"

#include "clustersim/cluster.h"
#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadminlib.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

// alpha answers a start of "stuck" without acting, so waiting for it never ends.
constexpr const char *kScenario = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha", "control": [{"fs": "stuck", "start_once": 0}],
     "disks": [{"label": "d0", "serial": "SN0", "size": 68719476736, "hba_id": 0, "lun_id": 0}]},
    {"address": "127.0.0.2", "name": "beta"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "total_blocks": 1220703, "free_blocks": 610351,
     "status": {"capability_flags": 4096},
     "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                  {"host": "127.0.0.2", "state": "standby", "priority": 1}],
     "stripe_groups": [{"name": "MetaFiles", "flags": 13, "total_blocks": 2000},
                       {"name": "Data", "flags": 1, "total_blocks": 8000}],
     "quotas_enabled": true,
     "user_quotas": [{"name": "alice", "used": 100, "hard": 10240, "soft": 5120,
                      "grace": 10080}],
     "users": ["alice", "harry"], "debug_flags": 4097},
    {"name": "scratch", "block_size": 4096, "total_blocks": 1000, "free_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "stuck", "managers": [{"host": "127.0.0.1", "state": "down"}]}]})";

std::string root;
sim_cluster *cluster = nullptr;

class ClusterEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/kxshell-cluster-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        std::filesystem::create_directories(root + "/config");
        std::filesystem::create_directories(root + "/debug");
        setenv("KXFSROOT", root.c_str(), 1);
        unsetenv("KXFSCONF");
        unsetenv("KXFSLOGS");
        // Connection waits stay short, so a refused manager cannot stall the program.
        setenv("TIMEDWAIT_VALUE", "5", 1);
        install_paths_reset_for_tests();
        sim_scenario scenario;
        char text[256] = "";
        ASSERT_EQ(scenario_parse(kScenario, &scenario, text, sizeof text), 0) << text;
        ASSERT_EQ(cluster_start(scenario, root.c_str(), &cluster, text, sizeof text), 0) << text;
    }
    void TearDown() override {
        if (cluster != nullptr)
            cluster_stop(cluster);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};
const ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new ClusterEnvironment);

// Item paths below "Connections", as --select takes them.
const QString kFileSystems = "localhost/File Systems";
const QString kSnfs1 = "localhost/File Systems/snfs1";
const QString kUsers = "localhost/File Systems/snfs1/Quotas/Users & Groups";

bool has_row(const Lines &rows, const std::string &start) {
    for (const std::string &row : rows)
        if (row.starts_with(start))
            return true;
    return false;
}

class OnCluster : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(cluster, nullptr);
        std::ofstream(root + "/config/cfg.kxntadmin") << "RecentConn0=localhost\n";
        VTAObj_RecentResetForTests();
        KxStartAdminLibrary();
        // Starting, stopping and quotas need administrator rights.
        vtadmin_set_admin_for_tests(1);
        frame_ = new CKxAdminFrm();
        child_ = frame_->NewDocumentWindow();
        frame_->show();
    }
    void TearDown() override {
        KxSetDialogRunner(nullptr);
        delete frame_;
        KxStopAdminLibrary();
        if (fault_set_)
            refuse_snfs1(false);
    }

    CKxAdminTreeView *tree_view() const { return child_->TreeView(); }
    CKxAdminListView *list_view() const { return child_->ListView(); }
    VTATree *tree() const { return child_->Document()->Tree(); }
    Lines list_lines() const { return ::list_lines(list_view()->Model()); }
    VTAObj *current() const { return VTATree_GetCurrent(tree()); }

    void refuse_snfs1(bool refuse) {
        char text[256] = "";
        ASSERT_EQ(
            cluster_set_fault(cluster, "fsm:snfs1", refuse ? "refuse" : "none", text, sizeof text),
            0)
            << text;
        fault_set_ = refuse;
    }
    // The item at `path`, or null.
    QTreeWidgetItem *item(const QString &path) const {
        QTreeWidgetItem *at = tree_view()->topLevelItem(0);
        for (const QString &name : path.split('/', Qt::SkipEmptyParts)) {
            QTreeWidgetItem *next = nullptr;
            for (int i = 0; at != nullptr && i < at->childCount() && next == nullptr; ++i)
                if (at->child(i)->text(0) == name)
                    next = at->child(i);
            at = next;
        }
        return at;
    }
    VTAObj *node_at(const QString &path) const { return CKxAdminTreeView::ItemNode(item(path)); }
    void select(QTreeWidgetItem *at) { tree_view()->setCurrentItem(at); }
    // Selects `path` in the tree and the list row that starts with `cells`.
    void select_row(const QString &path, const std::string &cells) {
        ASSERT_TRUE(tree_view()->SelectPath(path)) << path.toStdString();
        const Lines lines = list_lines();
        for (size_t r = 1; r < lines.size(); ++r) {
            if (lines[r].starts_with(cells)) {
                list_view()->selectionModel()->select(list_view()->Model()->index(int(r) - 1, 0),
                                                      QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
                return;
            }
        }
        FAIL() << "no row " << cells << " below " << path.toStdString();
    }
    // The rows of `path`'s list (header first), selected anew so that they are read again.
    Lines rows_of(const QString &path) {
        select(item(""));
        EXPECT_TRUE(tree_view()->SelectPath(path)) << path.toStdString();
        return list_lines();
    }
    // Runs a menu command in `pane`, which must have it enabled.
    void command(KxPane pane, int id) {
        child_->SetActivePane(pane);
        frame_->UpdateCommandUI();
        QAction *action = frame_->Action(id);
        ASSERT_TRUE(action->isEnabled()) << action->toolTip().toStdString();
        action->trigger();
    }
    // Runs the next dialogs through `drive` (given the dialog, it answers its result).
    template <class Dialog>
    static void drive(std::function<void(Dialog &)> drive) {
        KxSetDialogRunner([drive](QDialog &dialog) {
            auto *typed = qobject_cast<Dialog *>(&dialog);
            EXPECT_NE(typed, nullptr) << dialog.windowTitle().toStdString();
            if (typed == nullptr)
                return int(QDialog::Rejected);
            drive(*typed);
            return typed->result();
        });
    }

    MessageRecorder messages_;
    CKxAdminFrm *frame_ = nullptr;
    CkxAdminChildFrm *child_ = nullptr;
    bool fault_set_ = false;
};

TEST_F(OnCluster, StartUpShowsTheRecentComputerWithItsLazyFolders) {
    ASSERT_EQ(current(), tree()->VTA_Root);
    EXPECT_TRUE(item("")->isSelected());
    item("localhost")->setExpanded(true);
    // Lazy folders carry their placeholder until they are opened.
    EXPECT_EQ(item_texts(tree_view()),
              Lines({"Connections", "  localhost", "    Disks", "      _NEED_REFRESH_",
                     "    File Systems", "      _NEED_REFRESH_"}));
    EXPECT_TRUE(messages_.messages().empty());
}

// Listing the file systems reads the status of every active one from its manager.
TEST_F(OnCluster, AnUnreachableManagerIsShownAndTheTreeStaysPut) {
    item("localhost")->setExpanded(true);
    refuse_snfs1(true);
    item(kFileSystems)->setExpanded(true);
    Lines boxes = messages_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].starts_with("Error|") && boxes[0].ends_with("|critical on top"))
        << boxes[0];
    EXPECT_TRUE(messages_.messages()[0].text.contains("snfs1"));
    EXPECT_FALSE(item(kFileSystems)->isExpanded());
    EXPECT_EQ(current(), tree()->VTA_Root) << "expanding does not select";
    EXPECT_EQ(child_->BusyCount(), 0);
    EXPECT_TRUE(frame_->MessageText().startsWith("* ERROR *: "))
        << frame_->MessageText().toStdString();

    // Selecting fails the same way, under the selection's information icon.
    messages_.clear();
    select(item(kFileSystems));
    boxes = messages_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].starts_with("Error|") && boxes[0].ends_with("|information on top"))
        << boxes[0];
    EXPECT_EQ(current(), tree()->VTA_Root);
    EXPECT_EQ(list_view()->ListDir(), tree()->VTA_Root);

    refuse_snfs1(false);
    messages_.clear();
    item(kFileSystems)->setExpanded(true);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_NE(item(kSnfs1), nullptr);
}

// The start-up option --select walks the tree as a user's clicks would.
TEST_F(OnCluster, SelectPathOpensEachItemInTurnAndStopsAtAMissingOne) {
    ASSERT_TRUE(tree_view()->SelectPath(kSnfs1));
    EXPECT_EQ(current(), node_at(kSnfs1));
    EXPECT_EQ(list_view()->ListDir(), current());
    EXPECT_FALSE(item(kSnfs1)->isExpanded());
    EXPECT_TRUE(item(kFileSystems)->isExpanded());
    EXPECT_EQ(frame_->MessageText(), "Done: Refresh of 'snfs1'");

    EXPECT_FALSE(tree_view()->SelectPath("localhost/Nowhere"));
    EXPECT_EQ(current(), node_at("localhost")) << "the items before the missing one are selected";
    EXPECT_TRUE(messages_.messages().empty());
}

TEST_F(OnCluster, NewConnectionStaysOpenUntilAHostAnswersThenAddsIt) {
    drive<CDlgConnEdit>([](CDlgConnEdit &connection) {
        for (const char *host : {"", "127.0.0.9", " beta "}) {
            connection.HostField()->setEditText(host);
            connection.OnOK();
        }
    });
    select(item(""));
    command(KxPane::Tree, ID_ACTION_NEW);
    const Lines boxes = messages_.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Error|No host name was specified|critical");
    EXPECT_TRUE(boxes[1].starts_with("Veltrane Connection|") &&
                boxes[1].ends_with("|critical on top"))
        << boxes[1];
    // The computer is added, shown and made current; the host is remembered.
    VTAObj *beta = node_at("beta");
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->VTA_Type, VTA_OBJ_COMPUTER);
    EXPECT_EQ(current(), beta);
    EXPECT_EQ(list_view()->ListDir(), beta);
    EXPECT_EQ(KxRecentHosts().first(), "beta");

    command(KxPane::Tree, ID_ACTION_CLOSE);
    EXPECT_EQ(item("beta"), nullptr);
}

TEST_F(OnCluster, TheControlDialogSendsEachActionAndTheTreeFollows) {
    // Each step selects File Systems (or snfs1, or a row of File Systems), runs a command,
    // types the file system's name (if any) and unticks the wait (if asked); the File Systems
    // list then has a row starting with `has` and none starting with `lacks` ("" no check).
    const struct {
        const QString &path;
        const char *row;
        KxPane pane;
        int command;
        const char *fs_name;
        bool untick_wait;
        const char *has, *lacks;
    } steps[] = {
        {kFileSystems, nullptr, KxPane::List, ID_ACTION_START, "scratch", false,
         "scratch|127.0.0.1|Active|", ""},
        {kFileSystems, "scratch|", KxPane::List, ID_ACTION_STOP, nullptr, false,
         "snfs1|127.0.0.1|Active|", "scratch|"},
        {kSnfs1, nullptr, KxPane::Tree, ID_ACTION_FAILOVER, nullptr, false,
         "snfs1|127.0.0.2|Active|", "snfs1|127.0.0.1|"},
        {kFileSystems, nullptr, KxPane::Tree, ID_ACTION_START, "snfs1", true,
         "snfs1|127.0.0.1|Standby|", ""},
        {kFileSystems, "snfs1|127.0.0.1|", KxPane::List, ID_ACTION_ACTIVATE, nullptr, false,
         "snfs1|127.0.0.1|Active|", "snfs1|127.0.0.2|Active"},
    };
    for (const auto &step : steps) {
        const std::string name = std::to_string(step.command) + " " + step.has;
        int shown = 0;
        drive<CDlgFsCtrl>([&](CDlgFsCtrl &control) {
            ++shown;
            if (step.fs_name != nullptr)
                control.Field(CDlgFsCtrl::kFsName)->setEditText(step.fs_name);
            if (step.untick_wait)
                control.Button(CDlgFsCtrl::kWaitStart)->click();
            control.OnOK();
        });
        if (step.row != nullptr)
            select_row(step.path, step.row);
        else
            ASSERT_TRUE(tree_view()->SelectPath(step.path)) << name;
        command(step.pane, step.command);
        EXPECT_EQ(shown, 1) << name;
        EXPECT_EQ(messages_.boxes(), Lines{}) << name;
        messages_.clear();
        const Lines rows = rows_of(kFileSystems);
        EXPECT_TRUE(has_row(rows, step.has)) << name;
        EXPECT_TRUE(*step.lacks == '\0' || !has_row(rows, step.lacks)) << name;
    }
}

// A start that waits for a file system that never comes: the wait shows how long it has
// waited, and Cancel ends it with the library's "interrupted".
TEST_F(OnCluster, AWaitingRequestShowsItsWaitAndCancelEndsIt) {
    QString wait_text;
    qint64 waited_ms = -1;
    drive<CDlgFsCtrl>([&](CDlgFsCtrl &control) {
        control.Field(CDlgFsCtrl::kFsName)->setEditText("stuck");
        EXPECT_TRUE(control.Button(CDlgFsCtrl::kWaitStart)->isChecked());
        // Cancel after a little more than a second; should that not end the wait, the test
        // still ends after 20 seconds.
        auto press_cancel = [&] {
            if (QProgressDialog *wait = frame_->WaitDialog()) {
                wait_text = wait->labelText();
                wait->findChild<QPushButton *>()->click();
            }
        };
        QTimer::singleShot(1300, press_cancel);
        QTimer last_resort;
        last_resort.setSingleShot(true);
        QObject::connect(&last_resort, &QTimer::timeout, press_cancel);
        last_resort.start(20000);
        QElapsedTimer clock;
        clock.start();
        control.OnOK();
        waited_ms = clock.elapsed();
    });
    ASSERT_TRUE(tree_view()->SelectPath(kFileSystems));
    command(KxPane::List, ID_ACTION_START);
    EXPECT_GE(waited_ms, 1000);
    EXPECT_LT(waited_ms, 8000);
    EXPECT_TRUE(wait_text.contains("Waited 1 s")) << wait_text.toStdString();
    EXPECT_EQ(frame_->WaitDialog(), nullptr) << "gone with the operation";
    EXPECT_EQ(messages_.boxes(), Lines{"Error|The operation was interrupted.|information on top"});
    EXPECT_EQ(child_->BusyCount(), 0);
    EXPECT_FALSE(has_row(rows_of(kFileSystems), "stuck|")) << "never started";
}

TEST_F(OnCluster, TheQuotaEditorAddsAQuotaThatDeleteTakesAway) {
    drive<CDlgQuotaEdit>([](CDlgQuotaEdit &editor) {
        editor.Field(CDlgQuotaEdit::kUserName)->setText("harry");
        editor.Field(CDlgQuotaEdit::kHard)->setText("2G");
        editor.Field(CDlgQuotaEdit::kSoft)->setText("1G");
        editor.OnOK();
    });
    ASSERT_TRUE(tree_view()->SelectPath(kUsers));
    command(KxPane::List, ID_ACTION_NEW);
    EXPECT_TRUE(has_row(list_lines(), "harry|User|2G|1G|")) << "the folder was refreshed";

    select_row(kUsers, "harry|");
    command(KxPane::List, ID_ACTION_DELETE);
    EXPECT_FALSE(has_row(rows_of(kUsers), "harry|"));
    EXPECT_TRUE(messages_.messages().empty());
}

TEST_F(OnCluster, TheDebugDialogSavesAWordThatTheFolderThenShows) {
    const QString debug_path = kSnfs1 + "/Debug";
    ASSERT_TRUE(tree_view()->SelectPath(debug_path));
    VTAObj *folder = node_at(debug_path);
    ASSERT_EQ(VTAObj_DebugWord(folder), 0x1001u);
    drive<CDlgFsmDebugEdit>([](CDlgFsmDebugEdit &flags) {
        for (int r = 0; r < flags.List()->topLevelItemCount(); ++r) {
            QTreeWidgetItem *row = flags.List()->topLevelItem(r);
            if (row->text(1) == "Sockets" || row->text(1) == "Quotas")
                row->setCheckState(0, row->text(1) == "Sockets" ? Qt::Checked : Qt::Unchecked);
        }
        flags.OnOK();
    });
    command(KxPane::Tree, ID_ACTION_PROPERTIES);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_EQ(VTAObj_DebugWord(folder), 0x0003u) << "read back from the manager";
    VTAObj *sockets = nullptr;
    ASSERT_EQ(VTAObj_FindChild(folder, nullptr, "Sockets", &sockets), VTA_OK);
    EXPECT_TRUE(VTAObj_DebugFlagIsSet(sockets));
}

TEST_F(OnCluster, ExportListWritesTheShownListAsCsvOrJsonByTheFileType) {
    ASSERT_TRUE(tree_view()->SelectPath(kUsers));
    const Lines shown = list_lines();
    ASSERT_GE(shown.size(), 2u);
    QTemporaryDir dir;
    for (const char *file : {"quotas.csv", "quotas.JSON"}) {
        const QString path = dir.filePath(file);
        drive<QFileDialog>([&](QFileDialog &files) {
            EXPECT_EQ(files.acceptMode(), QFileDialog::AcceptSave);
            files.selectFile(path);
            files.setResult(QDialog::Accepted);
        });
        child_->Commands().Run(KxPane::List, ID_EXPORT_LIST);
        EXPECT_TRUE(messages_.messages().empty());
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << file;
        const QByteArray text = written.readAll();
        // The list's header texts and cells; none of them holds a comma or a quote.
        const QStringList header = QString::fromStdString(shown[0]).split('|');
        const QStringList first = QString::fromStdString(shown[1]).split('|');
        if (QString(file).endsWith(".csv")) {
            EXPECT_TRUE(
                text.startsWith((header.join(',') + "\r\n" + first.join(',') + "\r\n").toUtf8()))
                << text.toStdString();
            EXPECT_EQ(text.count('\n'), qsizetype(shown.size()));
        } else {
            const nlohmann::json json = nlohmann::json::parse(text.toStdString());
            ASSERT_EQ(json.size(), shown.size() - 1);
            for (qsizetype c = 0; c < header.size(); ++c)
                EXPECT_EQ(json[0].at(header[c].toStdString()), first[c].toStdString());
        }
    }
}

} // namespace
