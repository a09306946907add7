// Main frame, document window, busy display, help, About box, start-up and shutdown.
#include "kxntadmin/tests/support_shell.h"

#include "kxntadmin/dlg_about.h"

#include "kxntadmin/commands.h"
#include "kxntadmin/user_settings.h"

#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libutil/logging.h"
#include "libutil/program_version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

Qt::CursorShape cursor_of(QWidget *widget) {
    return widget->cursor().shape();
}

TEST(BusyDisplay, NestedNoticesCountAndAnExtraClearStaysAtZero) {
    ShellWindow w;
    const struct {
        bool busy;
        const char *text;
        int count;
        const char *shown;
    } notices[] = {
        {true, "Running: Refresh of 'alpha'", 1, "Running: Refresh of 'alpha'"},
        {true, "", 2, "Busy"},
        {false, "", 1, "Busy"},
        {false, "Done: Refresh of 'alpha'", 0, "Done: Refresh of 'alpha'"},
        {false, "", 0, "Ready"},
    };
    for (const auto &notice : notices) {
        send_status(w.tree(), notice.busy, notice.text);
        EXPECT_EQ(w.child->BusyCount(), notice.count) << notice.shown;
        EXPECT_EQ(cursor_of(w.child), notice.count ? Qt::WaitCursor : Qt::ArrowCursor)
            << notice.shown;
        EXPECT_EQ(w.frame->MessageText(), notice.shown);
    }
    // No text is written once the status bar is not ready.
    w.frame->status_ready = 0;
    send_status(w.tree(), true, "Running: Refresh of 'alpha'");
    EXPECT_EQ(w.frame->MessageText(), "Ready");
    EXPECT_EQ(w.child->BusyCount(), 1);
}

// What the running operation sees of the display, recorded from inside it.
CkxAdminChildFrm *observed_child = nullptr;
CKxAdminFrm *observed_frame = nullptr;
Qt::CursorShape cursor_during_op = Qt::ArrowCursor;
QString text_during_op;

int32_t ObservingOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                        char *msg, size_t msg_size) {
    if (op == VTA_OP_REFRESH) {
        cursor_during_op = cursor_of(observed_child);
        text_during_op = observed_frame->MessageText();
    }
    if (op != VTA_OP_REFRESH)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    bounded_format(msg, msg_size, "Cannot reach the file system manager");
    return 5;
}

TEST(BusyDisplay, OperationShowsWaitCursorWhileRunningAndItsOutcomeAfter) {
    ShellWindow w;
    VTAObj *fs = add_test_node(w.tree(), w.root(), "fs1", VTA_OBJ_FS_ACTIVE, true, ObservingOpFunc);
    observed_child = w.child;
    observed_frame = w.frame;
    char msg[256] = "";
    EXPECT_NE(VTATree_Op(w.tree(), VTA_OP_REFRESH, fs, nullptr, 0, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(cursor_during_op, Qt::WaitCursor);
    EXPECT_EQ(text_during_op, "Running: Refresh of 'fs1'");
    EXPECT_EQ(w.child->BusyCount(), 0);
    EXPECT_EQ(cursor_of(w.child), Qt::ArrowCursor);
    EXPECT_EQ(w.frame->MessageText(), "* ERROR *: Refresh of 'fs1'");
}

TEST(MainFrame, HasTitleSizeToolBarStatusPanesAndASplitDocumentWindow) {
    ShellWindow w;
    // The maximised document window adds the document's title to the caption.
    EXPECT_EQ(w.frame->windowTitle(), "Veltrane Administration - [Navigation]");
    EXPECT_EQ(w.frame->size(), QSize(850, 500));

    auto *tool_bar = w.frame->findChild<QToolBar *>();
    ASSERT_NE(tool_bar, nullptr);
    QStringList tips, prompts;
    for (QAction *action : tool_bar->actions()) {
        tips << action->toolTip();
        prompts << action->statusTip();
    }
    EXPECT_EQ(tips, QStringList({"New", "Save", "Refresh"}));
    EXPECT_EQ(prompts, QStringList({"Create new", "Save", "Refresh"}));

    QStatusBar *status = w.frame->statusBar();
    for (const char *pane : {"MessagePane", "CAP", "NUM", "SCRL"})
        EXPECT_NE(status->findChild<QLabel *>(pane), nullptr) << pane;

    EXPECT_EQ(w.frame->MdiArea()->subWindowList().size(), 1);
    EXPECT_TRUE(w.child->isMaximized());
    EXPECT_EQ(w.child->windowTitle(), "Navigation");
    ASSERT_EQ(w.child->Splitter()->count(), 2);
    EXPECT_EQ(w.child->Splitter()->widget(0), w.child->TreeView());
    EXPECT_EQ(w.child->Splitter()->widget(1), w.child->ListView());
    EXPECT_EQ(w.child->Splitter()->sizes().first(), 215);
    EXPECT_EQ(w.doc->Title(), "Navigation");
}

// Names of the nodes refreshed, in order.
std::vector<std::string> refreshed;

int32_t CountingOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                       char *msg, size_t msg_size) {
    if (op == VTA_OP_REFRESH)
        refreshed.emplace_back(node->VTA_Name);
    return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
}

TEST(MainFrame, RefreshCommandRefreshesEveryOpenFolderFromTheTop) {
    ShellWindow w(CountingOpFunc);
    VTAObj *disks =
        add_test_node(w.tree(), w.root(), "Disks", VTA_OBJ_ALL_DISKS, true, CountingOpFunc);
    VTAObj *disk = add_test_node(w.tree(), disks, "d0", VTA_OBJ_DISK, true, CountingOpFunc);
    add_test_node(w.tree(), disk, "Size", VTA_OBJ_VALUE, false, CountingOpFunc);
    add_test_node(w.tree(), w.root(), "Stripe Groups", VTA_OBJ_ALL_SG, true, CountingOpFunc);
    add_test_node(w.tree(), disks, "Clients", VTA_OBJ_ALL_CLIENTS, true, CountingOpFunc);
    // A lazy folder never opened keeps its placeholder and is not refreshed.
    add_test_node(w.tree(), w.root(), "Unopened", VTA_OBJ_ALL_QOS, true, CountingOpFunc, true);
    make_current(w.tree(), disk);
    refreshed.clear();

    QAction *refresh = w.frame->Action(ID_ACTION_REFRESH);
    w.frame->UpdateCommandUI();
    ASSERT_TRUE(refresh->isEnabled());
    refresh->trigger();
    EXPECT_EQ(refreshed,
              (std::vector<std::string>{"Connections", "Disks", "Clients", "d0", "Stripe Groups"}))
        << "every folder whose children were built, depth first, from the top";
    EXPECT_EQ(w.frame->MessageText(), "Done: Refresh of 'Stripe Groups'");
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// A private install root for the test.
class InstallRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        setenv("KXFSROOT", root_.path().toLocal8Bit().constData(), 1);
        install_paths_reset_for_tests();
    }
    void TearDown() override {
        unsetenv("KXFSROOT");
        install_paths_reset_for_tests();
    }
    QTemporaryDir root_;
};

TEST_F(InstallRootTest, HelpOpensTheInstalledPageOrSaysItIsMissing) {
    MessageRecorder recorder;
    CVTADoc doc;
    doc.OnHelp();
    EXPECT_EQ(recorder.boxes(),
              Lines{"Veltrane Help|Help files have not been installed\nor cannot be found.\n|"
                    "information"});

    const QString page = CVTADoc::HelpPagePath();
    EXPECT_EQ(page, root_.path() + "/help/ZudIzedaZivu/ZudIzedaZivu.htm");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(page).path()));
    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    recorder.clear();
    doc.OnHelp();
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_TRUE(recorder.messages().empty());
    EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(page)});
}

TEST(AboutBox, ShowsTitleAndTexts) {
    CAboutDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "About Veltrane Administration");
    QStringList texts;
    for (QLabel *label : dialog.findChildren<QLabel *>())
        if (!label->text().isEmpty())
            texts << label->text();
    // The version is the build's, the one `--version` of every program prints.
    for (const char *text : {"Veltrane\u00ae", "Veltrane Administration", "Version",
                             KX_PROGRAM_VERSION, "Zenthor\u00ae"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << text;
}

TEST(Shutdown, ClosingTheWindowSavesOnceAndDestroysTheTree) {
    ShellWindow w;
    saves_asked = 0;
    QPointer<CVTADoc> doc = w.doc;
    w.child->close();
    EXPECT_EQ(saves_asked, 1);
    ASSERT_FALSE(doc.isNull()); // deleted later, by the event loop
    EXPECT_EQ(doc->Tree(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(doc.isNull());
    EXPECT_TRUE(w.frame->MdiArea()->subWindowList().isEmpty());
}

int32_t UnsavableRootOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                            char *msg, size_t msg_size) {
    if (op != VTA_OP_SAVE)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    bounded_format(msg, msg_size, "Cannot write the recent connections");
    return 13;
}

TEST(Shutdown, AFailedSaveIsShownUnderItsTitle) {
    MessageRecorder recorder;
    {
        ShellWindow w(UnsavableRootOpFunc);
        recorder.clear();
        // Destroying the main frame closes its document windows too.
    }
    EXPECT_EQ(recorder.boxes(),
              Lines{"Save Recent Connections|Cannot write the recent connections|critical on top"});
}

TEST(UserSettings, KeepTheFourNewestHosts) {
    ShellWindow w;
    EXPECT_TRUE(KxRecentHosts().isEmpty());
    for (const char *host : {"alpha", "beta", "gamma", "delta", "epsilon"})
        KxRememberHost(QString::fromLatin1(host));
    EXPECT_EQ(KxRecentHosts(), QStringList({"epsilon", "delta", "gamma", "beta"}));
    KxRememberHost("gamma");
    EXPECT_EQ(KxRecentHosts(), QStringList({"gamma", "epsilon", "delta", "beta"}))
        << "a host used again moves to the front without a second copy";
}

TEST(UserSettings, TheWindowAndTheSplitterComeBackAsTheyWereLeft) {
    {
        ShellWindow w;
        w.frame->resize(900, 620);
        w.child->Splitter()->setSizes({300, 500});
        w.frame->close(); // saves the frame, then closes (and saves) the document window
    }
    CKxAdminFrm frame;
    EXPECT_TRUE(KxRestoreFrameState(frame));
    EXPECT_EQ(frame.size(), QSize(900, 620));
    frame.show();
    auto *doc = new CVTADoc(&frame);
    doc->OnNewDocument();
    doc->Tree()->VTA_Root->VTA_OpFunc = TestFolderOpFunc;
    CkxAdminChildFrm *child = frame.OpenDocumentWindow(doc);
    EXPECT_EQ(child->Splitter()->sizes().first(), 300);
}

TEST_F(InstallRootTest, StartUpOpensTheLibraryItsLogAndOneNavigationDocument) {
    ASSERT_TRUE(QDir().mkpath(root_.path() + "/debug"));
    // The recent connections are loaded at start and saved at close.
    ASSERT_TRUE(QDir().mkpath(root_.path() + "/config"));
    CKxAdminApp app;
    ASSERT_TRUE(app.InitInstance({"kxntadmin"}));
    EXPECT_STREQ(module_name(), "kxntadmin");
    EXPECT_EQ(QCoreApplication::organizationName(), "Zenthor");
    EXPECT_EQ(QCoreApplication::applicationName(), "kxntadmin");

    // The library's log is named after the program and traces exactly the classes
    // "general" (bit 0) and "entry/exit" (bit 1) of its module 3.
    bool open = false;
    char path[512] = "";
    log_query(&open, nullptr, path, sizeof path, nullptr, nullptr);
    EXPECT_TRUE(open);
    EXPECT_EQ(QString(path), root_.path() + "/debug/kxntadmin.log");
    std::vector<int> enabled;
    for (int bit = 0; bit < 64; ++bit)
        if (facility_flag_on(3, bit))
            enabled.push_back(bit);
    EXPECT_EQ(enabled, std::vector<int>({0, 1}));

    ASSERT_NE(app.MainFrame(), nullptr);
    EXPECT_TRUE(app.MainFrame()->isVisible());
    CkxAdminChildFrm *child = app.MainFrame()->ActiveChild();
    ASSERT_NE(child, nullptr);
    ASSERT_NE(child->Document(), nullptr);
    EXPECT_EQ(child->Document()->Title(), "Navigation");
    EXPECT_EQ(VTATree_GetCurrent(child->Document()->Tree()), child->Document()->Tree()->VTA_Root);

    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_EQ(app.MainFrame(), nullptr);
    log_query(&open, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_FALSE(open); // the library's tear-down closed its log
}

TEST(StartUp, CommandLineTakesAScreenshotFileOrACommandByItsMenuName) {
    const struct {
        QStringList arguments;
        bool accepted;
    } rows[] = {
        {{}, true},
        {{"--screenshot", "/tmp/a.png", "--screenshot-delay", "10"}, true},
        {{"--screenshot"}, false},
        {{"--screenshot-delay", "-1"}, false},
        {{"extra"}, false},
        {{"--select", "localhost/File Systems"}, true},
        {{"--select"}, false},
        {{"--command", "Start"}, true},
        {{"--command", "Export List"}, true},
        {{"--command", "Bogus"}, false},
        {{"--command", "start"}, false},
        {{"--command", "&New\tCtrl+N"}, false},
    };
    for (const auto &row : rows) {
        const std::string name = row.arguments.join(' ').toStdString();
        KxCommandLine line;
        QString error;
        EXPECT_EQ(
            CKxAdminApp::ParseCommandLine(QStringList{"kxntadmin"} + row.arguments, &line, &error),
            row.accepted)
            << name;
        // A refusal shows the usage.
        EXPECT_EQ(error.contains("--select PATH"), !row.accepted) << name;
        if (row.accepted && row.arguments.size() == 2) {
            EXPECT_EQ(row.arguments[0] == "--command" ? line.command : line.select_path,
                      row.arguments[1])
                << name;
        }
    }
    KxCommandLine line;
    QString error;
    EXPECT_TRUE(CKxAdminApp::ParseCommandLine(
        {"kxntadmin", "--screenshot", "/tmp/a.png", "--screenshot-delay", "10"}, &line, &error));
    EXPECT_EQ(line.screenshot_path, "/tmp/a.png");
    EXPECT_EQ(line.screenshot_delay_ms, 10);
}

} // namespace

#include "shell_frames_test.moc"
