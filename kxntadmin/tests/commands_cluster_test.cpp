// Commands and dialogs against the simulated cluster: New Connection, File System Control with
// each action (and a wait that Cancel ends), the quota editor, the debug flags dialog, Export
// List and Refresh, each reached as a user would through the menus.
#include "kxntadmin/tests/support_cluster.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/dlg_conn_edit.h"
#include "kxntadmin/dlg_fs_ctrl.h"
#include "kxntadmin/dlg_fsm_debug_edit.h"
#include "kxntadmin/dlg_quota_edit.h"
#include "kxntadmin/user_settings.h"

#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadminlib.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// alpha answers a start of "stuck" and a stop of "held" without acting, so waiting for either
// never ends; gamma's agent never answers.
constexpr const char *kScenario = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha",
     "control": [{"fs": "stuck", "start_once": 0}, {"fs": "held", "stop": 0}]},
    {"address": "127.0.0.2", "name": "beta"},
    {"address": "127.0.0.3", "name": "gamma", "agent_fault": "silent"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "total_blocks": 1220703, "free_blocks": 610351,
     "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                  {"host": "127.0.0.2", "state": "standby", "priority": 1}],
     "stripe_groups": [{"name": "MetaFiles", "flags": 13, "total_blocks": 2000}],
     "quotas_enabled": true,
     "user_quotas": [{"name": "alice", "used": 100, "hard": 10240, "soft": 5120,
                      "grace": 10080}],
     "users": ["alice", "harry"], "directories": ["tmp"], "debug_flags": 4097},
    {"name": "scratch", "block_size": 4096, "total_blocks": 1000, "free_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "stuck", "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "held", "block_size": 4096, "total_blocks": 1000, "free_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "active"}]}]})";

ClusterEnvironment *const environment = register_cluster(kScenario);

const std::vector<std::string> kFileSystems = {"Connections", "localhost", "File Systems"};
const std::vector<std::string> kSnfs1 = {"Connections", "localhost", "File Systems", "snfs1"};
const std::vector<std::string> kUsers = {"Connections", "localhost", "File Systems",
                                         "snfs1",       "Quotas",    "Users & Groups"};
const std::vector<std::string> kDirectories = {"Connections", "localhost", "File Systems",
                                               "snfs1",       "Quotas",    "Directories"};

class CommandsOnCluster : public ShellOnCluster {
protected:
    void SetUp() override {
        ShellOnCluster::SetUp();
        // Starting, stopping and quotas need administrator rights.
        vtadmin_set_admin_for_tests(1);
    }
    void TearDown() override {
        KxSetDialogRunner(nullptr);
        ShellOnCluster::TearDown();
    }

    // Runs a menu command in `pane`, which must have it enabled.
    void command(KxPane pane, int id) {
        child_->SetActivePane(pane);
        frame_->UpdateCommandUI();
        QAction *action = frame_->Action(id);
        ASSERT_NE(action, nullptr);
        ASSERT_TRUE(action->isEnabled()) << action->toolTip().toStdString();
        action->trigger();
    }
    // Selects `path` in the tree and the list row whose first cells start with `cells`.
    void select_row(const std::vector<std::string> &path, const std::string &cells) {
        ASSERT_TRUE(select_path(path)) << path.back();
        const std::vector<std::string> lines = list_lines();
        CKxListModel *model = list_view()->Model();
        for (int r = 0; r < model->rowCount(); ++r) {
            if (lines[static_cast<size_t>(r) + 1].rfind(cells, 0) == 0) {
                list_view()->selectionModel()->select(model->index(r, 0),
                                                      QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
                return;
            }
        }
        FAIL() << "no row " << cells << " below " << path.back();
    }
    // The rows of `path`'s list (header first), selected anew so that they are read again.
    std::vector<std::string> rows_of(const std::vector<std::string> &path) {
        select(item({"Connections"}));
        EXPECT_TRUE(select_path(path)) << path.back();
        return list_lines();
    }
    static bool has_row(const std::vector<std::string> &rows, const std::string &start) {
        for (const std::string &row : rows)
            if (row.rfind(start, 0) == 0)
                return true;
        return false;
    }
    // Runs dialogs through `drive` (given the dialog, it answers Accepted or Rejected).
    static void drive(std::function<int(QDialog &)> drive) { KxSetDialogRunner(std::move(drive)); }
};

TEST_F(CommandsOnCluster, NewConnectionStaysOpenUntilAHostAnswersThenAddsIt) {
    setenv("TIMEDWAIT_VALUE", "1", 1); // gamma's agent never answers
    int shown = 0;
    drive([&](QDialog &dialog) {
        ++shown;
        auto *connection = qobject_cast<CDlgConnEdit *>(&dialog);
        EXPECT_NE(connection, nullptr);
        for (const char *host : {"", "gamma", "127.0.0.9"}) {
            connection->HostField()->setEditText(host);
            connection->OnOK();
            EXPECT_NE(connection->result(), QDialog::Accepted) << host;
            EXPECT_TRUE(connection->isEnabled()) << host;
        }
        connection->HostField()->setEditText(" beta ");
        connection->OnOK();
        return connection->result();
    });
    select(item({"Connections"}));
    command(KxPane::Tree, ID_ACTION_NEW);
    setenv("TIMEDWAIT_VALUE", "5", 1);

    EXPECT_EQ(shown, 1);
    ASSERT_EQ(messages_.messages().size(), 3u);
    EXPECT_EQ(messages_.boxes()[0], "Error|No host name was specified|critical");
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(messages_.messages()[i].title, "Veltrane Connection");
        EXPECT_FALSE(messages_.messages()[i].text.isEmpty());
        EXPECT_EQ(messages_.messages()[i].icon, QMessageBox::Critical);
        EXPECT_TRUE(messages_.messages()[i].on_top);
    }
    // The computer is added, shown and made current; the host is remembered.
    VTAObj *beta = node_at({"Connections", "beta"});
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->VTA_Type, VTA_OBJ_COMPUTER);
    EXPECT_EQ(VTATree_GetCurrent(tree()), beta);
    EXPECT_EQ(list_view()->ListDir(), beta);
    EXPECT_EQ(KxRecentHosts().first(), "beta");

    // Close takes it away again.
    select(item({"Connections", "beta"}));
    command(KxPane::Tree, ID_ACTION_CLOSE);
    EXPECT_EQ(item({"Connections", "beta"}), nullptr);
}

// Start, stop on a host, fail-over and activation, each from the command a user would choose,
// with the tree following the cluster after each.
TEST_F(CommandsOnCluster, TheControlDialogSendsEachActionAndTheTreeFollows) {
    // After each step the File Systems list has rows starting with `row_after` and `also`
    // ("!": has none).
    const struct {
        const char *name;
        bool on_snfs1;   // snfs1 selected in the tree, else File Systems
        const char *row; // then this list row, if any
        KxPane pane;
        int command;
        const char *fs_name; // typed into the dialog, if any
        bool untick_wait;
        const char *row_after, *also;
    } steps[] = {
        {"start scratch, waiting", false, nullptr, KxPane::List, ID_ACTION_START, "scratch", false,
         "scratch|127.0.0.1|Active|", "snfs1|127.0.0.1|Active|"},
        {"stop scratch on its host", false, "scratch|", KxPane::List, ID_ACTION_STOP, nullptr,
         false, "snfs1|127.0.0.1|Active|", "!scratch|"},
        {"fail snfs1 over to beta", true, nullptr, KxPane::Tree, ID_ACTION_FAILOVER, nullptr, false,
         "snfs1|127.0.0.2|Active|", "!snfs1|127.0.0.1|"},
        {"start snfs1 on localhost again", false, nullptr, KxPane::Tree, ID_ACTION_START, "snfs1",
         true, "snfs1|127.0.0.1|Standby|", "snfs1|127.0.0.2|Active|"},
        {"activate localhost's snfs1", false, "snfs1|127.0.0.1|", KxPane::List, ID_ACTION_ACTIVATE,
         nullptr, false, "snfs1|127.0.0.1|Active|", "snfs1|127.0.0.2|Standby|"},
    };
    for (const auto &step : steps) {
        int shown = 0;
        drive([&](QDialog &dialog) {
            ++shown;
            auto *control = qobject_cast<CDlgFsCtrl *>(&dialog);
            EXPECT_NE(control, nullptr) << step.name;
            if (step.fs_name != nullptr)
                control->Field(CDlgFsCtrl::kFsName)->setEditText(step.fs_name);
            if (step.untick_wait)
                control->Button(CDlgFsCtrl::kWaitStart)->click();
            control->OnOK();
            return control->result();
        });
        const std::vector<std::string> &path = step.on_snfs1 ? kSnfs1 : kFileSystems;
        if (step.row != nullptr)
            select_row(path, step.row);
        else
            ASSERT_TRUE(select_path(path)) << step.name;
        command(step.pane, step.command);
        EXPECT_EQ(shown, 1) << step.name;
        EXPECT_TRUE(messages_.messages().empty())
            << step.name << ": " << messages_.messages().front().text.toStdString();
        messages_.clear();
        const std::vector<std::string> rows = rows_of(kFileSystems);
        for (const std::string row : {step.row_after, step.also})
            if (row[0] == '!')
                EXPECT_FALSE(has_row(rows, row.substr(1))) << step.name << ": still " << row;
            else
                EXPECT_TRUE(has_row(rows, row)) << step.name << ": no row " << row;
    }
}

// A start or stop that waits for a file system that never comes or goes: the wait shows how
// long it has waited, and Cancel ends it with the library's "interrupted".
TEST_F(CommandsOnCluster, AWaitingRequestShowsItsWaitAndCancelEndsIt) {
    const struct {
        const char *name;
        const char *fs_name;
        const char *list_row; // the File Systems row selected, if any
        int command;
        std::vector<int> picks; // option buttons picked before OK
        int wait_box;
    } rows[] = {
        // The folder starts what its computer's name server knows of.
        {"start stuck", "stuck", nullptr, ID_ACTION_START, {}, CDlgFsCtrl::kWaitStart},
        {"stop both managers of held",
         "held",
         "held|",
         ID_ACTION_STOP,
         {CDlgFsCtrl::kStopBoth},
         CDlgFsCtrl::kWaitStop},
    };
    for (const auto &row : rows) {
        QString wait_text;
        qint64 waited_ms = -1;
        drive([&](QDialog &dialog) {
            auto *control = qobject_cast<CDlgFsCtrl *>(&dialog);
            EXPECT_NE(control, nullptr);
            control->Field(CDlgFsCtrl::kFsName)->setEditText(row.fs_name);
            for (int id : row.picks)
                control->Button(id)->click();
            EXPECT_TRUE(control->Button(row.wait_box)->isChecked()) << row.name;
            // The user presses Cancel after a little more than a second; should that not end
            // the wait, the test still ends after 20 seconds.
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
            control->OnOK();
            waited_ms = clock.elapsed();
            return control->result();
        });
        if (row.list_row != nullptr)
            select_row(kFileSystems, row.list_row);
        else
            ASSERT_TRUE(select_path(kFileSystems));
        command(KxPane::List, row.command);
        EXPECT_GE(waited_ms, 1000) << row.name;
        EXPECT_LT(waited_ms, 8000) << row.name;
        EXPECT_TRUE(wait_text.contains("Waited 1 s"))
            << row.name << ": " << wait_text.toStdString();
        EXPECT_EQ(frame_->WaitDialog(), nullptr) << row.name << ": gone with the operation";
        EXPECT_EQ(messages_.boxes(),
                  Lines{"Error|The operation was interrupted.|information on top"})
            << row.name;
        messages_.clear();
        EXPECT_EQ(child_->BusyCount(), 0);
    }
    const std::vector<std::string> rows_after = rows_of(kFileSystems);
    EXPECT_FALSE(has_row(rows_after, "stuck|")) << "never started";
    EXPECT_TRUE(has_row(rows_after, "held|127.0.0.1|Active|")) << "never stopped";
}

TEST_F(CommandsOnCluster, TheQuotaEditorAddsChangesAndTheListShowsIt) {
    // A new user quota from the list of "Users & Groups".
    drive([&](QDialog &dialog) {
        auto *editor = qobject_cast<CDlgQuotaEdit *>(&dialog);
        EXPECT_NE(editor, nullptr);
        editor->Field(CDlgQuotaEdit::kUserName)->setText("harry");
        editor->Field(CDlgQuotaEdit::kHard)->setText("2G");
        editor->Field(CDlgQuotaEdit::kSoft)->setText("1G");
        editor->OnOK();
        return editor->result();
    });
    ASSERT_TRUE(select_path(kUsers));
    command(KxPane::List, ID_ACTION_NEW);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(has_row(list_lines(), "harry|User|2G|1G|")) << "the folder was refreshed";

    // alice's limits, through Properties on her row.
    drive([&](QDialog &dialog) {
        auto *editor = qobject_cast<CDlgQuotaEdit *>(&dialog);
        EXPECT_NE(editor, nullptr);
        EXPECT_EQ(editor->Field(CDlgQuotaEdit::kUserName)->text(), "alice");
        EXPECT_EQ(editor->Field(CDlgQuotaEdit::kHard)->text(), "40M");
        editor->Field(CDlgQuotaEdit::kHard)->setText("80M");
        editor->OnOK();
        return editor->result();
    });
    select_row(kUsers, "alice|");
    command(KxPane::List, ID_ACTION_PROPERTIES);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(has_row(rows_of(kUsers), "alice|User|80M|20M|"));

    // A data quota on the directory tmp.
    drive([&](QDialog &dialog) {
        auto *editor = qobject_cast<CDlgQuotaEdit *>(&dialog);
        EXPECT_NE(editor, nullptr);
        EXPECT_TRUE(editor->Button(CDlgQuotaEdit::kData)->isChecked());
        editor->Field(CDlgQuotaEdit::kDirectory)->setText("tmp");
        editor->OnOK();
        return editor->result();
    });
    ASSERT_TRUE(select_path(kDirectories));
    command(KxPane::List, ID_ACTION_NEW);
    EXPECT_TRUE(messages_.messages().empty());
    const std::vector<std::string> directories = list_lines();
    ASSERT_EQ(directories.size(), 2u);
    EXPECT_NE(directories[1].find("|Data|1G|900M|"), std::string::npos) << directories[1];
    EXPECT_NE(directories[1].find("|/tmp|"), std::string::npos) << directories[1];

    // Delete takes both new quotas away again.
    select_row(kDirectories, "D:");
    command(KxPane::List, ID_ACTION_DELETE);
    EXPECT_EQ(rows_of(kDirectories).size(), 1u);
    select_row(kUsers, "harry|");
    command(KxPane::List, ID_ACTION_DELETE);
    EXPECT_FALSE(has_row(rows_of(kUsers), "harry|"));
    EXPECT_TRUE(messages_.messages().empty());
}

TEST_F(CommandsOnCluster, TheDebugDialogSavesAWordThatTheFolderThenShows) {
    const std::vector<std::string> debug_path = {"Connections", "localhost", "File Systems",
                                                 "snfs1", "Debug"};
    ASSERT_TRUE(select_path(debug_path));
    VTAObj *folder = node_at(debug_path);
    ASSERT_EQ(VTAObj_DebugWord(folder), 0x1001u);
    drive([&](QDialog &dialog) {
        auto *flags = qobject_cast<CDlgFsmDebugEdit *>(&dialog);
        EXPECT_NE(flags, nullptr);
        for (int r = 0; r < flags->List()->topLevelItemCount(); ++r) {
            QTreeWidgetItem *row = flags->List()->topLevelItem(r);
            if (row->text(1) == "Sockets")
                row->setCheckState(0, Qt::Checked);
            if (row->text(1) == "Quotas")
                row->setCheckState(0, Qt::Unchecked);
        }
        flags->OnOK();
        return flags->result();
    });
    command(KxPane::Tree, ID_ACTION_PROPERTIES);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_EQ(VTAObj_DebugWord(folder), 0x0003u) << "read back from the manager";
    VTAObj *sockets = nullptr;
    ASSERT_EQ(VTAObj_FindChild(folder, nullptr, "Sockets", &sockets), VTA_OK);
    EXPECT_TRUE(VTAObj_DebugFlagIsSet(sockets));
    VTAObj *quotas = nullptr;
    ASSERT_EQ(VTAObj_FindChild(folder, nullptr, "Quotas", &quotas), VTA_OK);
    EXPECT_FALSE(VTAObj_DebugFlagIsSet(quotas));
}

std::vector<std::string> split_lines(const QByteArray &text) {
    std::vector<std::string> lines;
    for (const QByteArray &line : text.split('\n'))
        if (!line.isEmpty())
            lines.push_back(line.endsWith('\r') ? line.chopped(1).toStdString()
                                                : line.toStdString());
    return lines;
}

TEST_F(CommandsOnCluster, ExportListWritesTheShownListAsCsvOrJsonByTheFileType) {
    ASSERT_TRUE(select_path(kUsers));
    const std::vector<std::string> shown = list_lines();
    ASSERT_GE(shown.size(), 2u);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char *file : {"quotas.csv", "quotas.JSON"}) {
        const QString path = dir.filePath(file);
        drive([&](QDialog &dialog) {
            auto *files = qobject_cast<QFileDialog *>(&dialog);
            EXPECT_NE(files, nullptr);
            EXPECT_EQ(files->acceptMode(), QFileDialog::AcceptSave);
            files->selectFile(path);
            return int(QDialog::Accepted);
        });
        // From the list's context menu, as the Actions menu does.
        std::unique_ptr<QMenu> menu(child_->Commands().ContextMenu(KxPane::List, nullptr));
        QAction *export_list = menu->actions().last();
        ASSERT_EQ(export_list->data().toInt(), ID_EXPORT_LIST);
        ASSERT_TRUE(export_list->isEnabled());
        child_->Commands().Run(KxPane::List, ID_EXPORT_LIST);
        EXPECT_TRUE(messages_.messages().empty());
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << file;
        const QByteArray text = written.readAll();
        // The list's header texts and cells; none of them holds a comma or a quote.
        std::vector<std::vector<std::string>> cells;
        for (const std::string &line : shown) {
            cells.emplace_back();
            for (const QString &cell : QString::fromStdString(line).split('|'))
                cells.back().push_back(cell.toStdString());
        }
        if (QString(file).endsWith(".csv")) {
            EXPECT_TRUE(text.contains("\r\n"));
            std::vector<std::string> expected;
            for (const auto &row : cells) {
                std::string line;
                for (const std::string &cell : row)
                    line += (line.empty() ? "" : ",") + cell;
                expected.push_back(line);
            }
            EXPECT_EQ(split_lines(text), expected);
        } else {
            const nlohmann::json json = nlohmann::json::parse(text.toStdString());
            ASSERT_TRUE(json.is_array());
            ASSERT_EQ(json.size(), cells.size() - 1);
            for (size_t r = 1; r < cells.size(); ++r)
                for (size_t c = 0; c < cells[0].size(); ++c)
                    EXPECT_EQ(json[r - 1].at(cells[0][c]).get<std::string>(), cells[r][c])
                        << "row " << r << " " << cells[0][c];
        }
    }
}

TEST_F(CommandsOnCluster, RefreshRereadsEveryOpenFolderFromTheTop) {
    const std::vector<std::string> groups = {"Connections", "localhost", "File Systems", "snfs1",
                                             "Stripe Groups"};
    ASSERT_TRUE(select_path(groups));
    ASSERT_TRUE(select_path(kFileSystems)); // the list shows the file systems
    cluster_edit(
        cluster_env->cluster,
        [](sim_scenario &s, void *) {
            for (sim_filesystem &fs : s.filesystems) {
                if (fs.name == "snfs1") {
                    sim_stripe_group fresh;
                    fresh.name = "Fresh";
                    fresh.total_blocks = 100;
                    fs.stripe_groups.push_back(fresh);
                    fs.free_blocks = 0;
                }
            }
        },
        nullptr);
    command(KxPane::Tree, ID_ACTION_REFRESH);
    EXPECT_TRUE(messages_.messages().empty());
    // The open folders show the change at once, the list included...
    EXPECT_TRUE(has_row(list_lines(), "snfs1|127.0.0.1|Active|4768M|0%"));
    QTreeWidgetItem *fresh =
        item({"Connections", "localhost", "File Systems", "snfs1", "Stripe Groups", "Fresh"});
    EXPECT_NE(fresh, nullptr);
    // ...while a folder never opened is not asked.
    QTreeWidgetItem *disks = item({"Connections", "localhost", "Disks"});
    ASSERT_NE(disks, nullptr);
    ASSERT_EQ(disks->childCount(), 1);
    EXPECT_EQ(disks->child(0)->text(0), "_NEED_REFRESH_");
}

} // namespace
