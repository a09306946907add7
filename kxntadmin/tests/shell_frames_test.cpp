// Main frame, document window, busy display, help, About box, start-up and shutdown.
#include "kxntadmin/tests/support_shell.h"

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
    send_status(w.tree(), true, "Running: Refresh of 'alpha'");
    EXPECT_EQ(w.child->BusyCount(), 1);
    EXPECT_EQ(cursor_of(w.child), Qt::WaitCursor);
    EXPECT_EQ(w.frame->MessageText(), "Running: Refresh of 'alpha'");

    send_status(w.tree(), true, "");
    EXPECT_EQ(w.child->BusyCount(), 2);
    EXPECT_EQ(w.frame->MessageText(), "Busy");

    send_status(w.tree(), false, "");
    EXPECT_EQ(w.child->BusyCount(), 1);
    EXPECT_EQ(cursor_of(w.child), Qt::WaitCursor);
    EXPECT_EQ(w.frame->MessageText(), "Busy");

    send_status(w.tree(), false, "Done: Refresh of 'alpha'");
    EXPECT_EQ(w.child->BusyCount(), 0);
    EXPECT_EQ(cursor_of(w.child), Qt::ArrowCursor);
    EXPECT_EQ(w.frame->MessageText(), "Done: Refresh of 'alpha'");

    send_status(w.tree(), false, "");
    EXPECT_EQ(w.child->BusyCount(), 0);
    EXPECT_EQ(cursor_of(w.child), Qt::ArrowCursor);
    EXPECT_EQ(w.frame->MessageText(), "Ready");
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
    return TestUnreachableOpFunc(tree, op, node, data, data_size, msg, msg_size);
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

TEST(BusyDisplay, NoTextIsWrittenOnceTheStatusBarIsNotReady) {
    ShellWindow w;
    send_status(w.tree(), false, "Done: Save of 'Connections'");
    w.frame->status_ready = 0;
    send_status(w.tree(), true, "Running: Refresh of 'alpha'");
    EXPECT_EQ(w.frame->MessageText(), "Done: Save of 'Connections'");
    EXPECT_EQ(w.child->BusyCount(), 1);
}

TEST(MainFrame, HasTitleSizeToolBarStatusPanesAndASplitDocumentWindow) {
    ShellWindow w;
    // The maximised document window adds the document's title to the caption.
    EXPECT_EQ(w.frame->windowTitle(), "Veltrane Administration - [Navigation]");
    EXPECT_EQ(w.frame->size(), QSize(850, 500));

    auto *tool_bar = w.frame->findChild<QToolBar *>();
    ASSERT_NE(tool_bar, nullptr);
    QStringList buttons;
    for (QAction *action : tool_bar->actions())
        buttons << action->text();
    EXPECT_EQ(buttons, QStringList({"New", "Save", "Refresh"}));

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

// Receives the URLs that the desktop would open.
int refreshes = 0;

int32_t CountingOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                       char *msg, size_t msg_size) {
    if (op == VTA_OP_REFRESH)
        ++refreshes;
    return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
}

TEST(MainFrame, RefreshCommandRefreshesTheCurrentNode) {
    ShellWindow w;
    VTAObj *alpha =
        add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true, CountingOpFunc);
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), alpha, msg, sizeof msg), VTA_OK);
    refreshes = 0;
    auto *refresh = w.frame->findChild<QAction *>("Refresh");
    ASSERT_NE(refresh, nullptr);
    EXPECT_TRUE(refresh->shortcuts().contains(QKeySequence(Qt::Key_F5)));
    refresh->trigger();
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(w.frame->MessageText(), "Done: Refresh of 'alpha'");
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

TEST_F(InstallRootTest, HelpMissingPageShowsNotInstalled) {
    MessageRecorder recorder;
    CVTADoc doc;
    doc.OnHelp();
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].title, "Veltrane Help");
    EXPECT_EQ(recorder.messages()[0].text,
              "Help files have not been installed\nor cannot be found.\n");
    EXPECT_EQ(recorder.messages()[0].icon, QMessageBox::Information);
}

TEST_F(InstallRootTest, HelpInstalledPageIsOpenedByTheDesktop) {
    QString page = CVTADoc::HelpPagePath();
    EXPECT_EQ(page, root_.path() + "/help/ZudIzedaZivu/ZudIzedaZivu.htm");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(page).path()));
    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    MessageRecorder recorder;
    CVTADoc doc;
    doc.OnHelp();
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_TRUE(recorder.messages().empty());
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl::fromLocalFile(page));
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

TEST(Shutdown, AFailedSaveIsShownUnderItsTitle) {
    MessageRecorder recorder;
    {
        ShellWindow w(TestUnsavableRootOpFunc);
        recorder.clear();
        // Destroying the main frame closes its document windows too.
    }
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].title, "Save Recent Connections");
    EXPECT_EQ(recorder.messages()[0].text, "Cannot write the recent connections");
    EXPECT_EQ(recorder.messages()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(recorder.messages()[0].on_top);
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

TEST(StartUp, CommandLineTakesAScreenshotFileOnly) {
    KxCommandLine line;
    QString error;
    EXPECT_TRUE(CKxAdminApp::ParseCommandLine({"kxntadmin"}, &line, &error));
    EXPECT_TRUE(line.screenshot_path.isEmpty());
    EXPECT_TRUE(CKxAdminApp::ParseCommandLine(
        {"kxntadmin", "--screenshot", "/tmp/a.png", "--screenshot-delay", "10"}, &line, &error));
    EXPECT_EQ(line.screenshot_path, "/tmp/a.png");
    EXPECT_EQ(line.screenshot_delay_ms, 10);
    EXPECT_FALSE(CKxAdminApp::ParseCommandLine({"kxntadmin", "--screenshot"}, &line, &error));
    EXPECT_FALSE(
        CKxAdminApp::ParseCommandLine({"kxntadmin", "--screenshot-delay", "-1"}, &line, &error));
    EXPECT_FALSE(CKxAdminApp::ParseCommandLine({"kxntadmin", "extra"}, &line, &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace

#include "shell_frames_test.moc"
