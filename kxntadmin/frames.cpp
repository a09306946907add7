#include "kxntadmin/kxadmin_shell.h"

#include "libvtadmin/vtadminlib.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include <algorithm>
#include <cstring>

// ---- Main frame ----

int CKxAdminFrm::progress_interval_ms = 200;

CKxAdminFrm::CKxAdminFrm() : mdi_(new QMdiArea(this)), message_pane_(new QLabel(this)) {
    setCentralWidget(mdi_);

    // Commands whose handlers do not exist yet stay greyed, as the toolkit greys them.
    QStyle *style = QApplication::style();
    auto *tool_bar = new QToolBar(QStringLiteral("Standard"), this);
    tool_bar->setObjectName(QStringLiteral("ToolBar"));
    tool_bar->setIconSize(QSize(16, 15));
    QAction *new_action =
        tool_bar->addAction(style->standardIcon(QStyle::SP_FileIcon), QStringLiteral("New"));
    new_action->setStatusTip(QStringLiteral("Create new"));
    new_action->setEnabled(false);
    QAction *save_action = tool_bar->addAction(style->standardIcon(QStyle::SP_DialogSaveButton),
                                               QStringLiteral("Save"));
    save_action->setStatusTip(QStringLiteral("Save"));
    save_action->setEnabled(false);
    QAction *refresh_action = tool_bar->addAction(style->standardIcon(QStyle::SP_BrowserReload),
                                                  QStringLiteral("Refresh"));
    refresh_action->setObjectName(QStringLiteral("Refresh"));
    refresh_action->setStatusTip(QStringLiteral("Refresh"));
    refresh_action->setShortcuts(
        {QKeySequence(QStringLiteral("Ctrl+R")), QKeySequence(Qt::Key_F5)});
    connect(refresh_action, &QAction::triggered, this, &CKxAdminFrm::OnRefresh);
    addToolBar(Qt::TopToolBarArea, tool_bar);

    QMenu *actions = menuBar()->addMenu(QStringLiteral("&Actions"));
    actions->addAction(refresh_action);
    actions->addSeparator();
    QAction *exit_action = actions->addAction(QStringLiteral("E&xit"));
    connect(exit_action, &QAction::triggered, this, &QWidget::close);
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction *help_action = help->addAction(QStringLiteral("Administrator Tool Help"));
    connect(help_action, &QAction::triggered, this, &CKxAdminFrm::OnHelp);
    help->addSeparator();
    QAction *about_action = help->addAction(QStringLiteral("&About Veltrane Administration"));
    connect(about_action, &QAction::triggered, this, &CKxAdminFrm::AboutRequested);

    // Message pane, then the lock indicators. Qt cannot read the lock states portably, so the
    // indicators are shown greyed.
    QStatusBar *status = statusBar();
    message_pane_->setObjectName(QStringLiteral("MessagePane"));
    status->addWidget(message_pane_, 1);
    for (const char *indicator : {"CAP", "NUM", "SCRL"}) {
        auto *label = new QLabel(QString::fromLatin1(indicator), this);
        label->setObjectName(QString::fromLatin1(indicator));
        label->setEnabled(false);
        status->addPermanentWidget(label);
    }
    status_ready = 1;
    SetMessageText(QStringLiteral("Ready"));

    setWindowTitle(QStringLiteral("Veltrane Administration"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kxntadmin.svg")));
    resize(850, 500);
    VTAdmin_SetProgress(&CKxAdminFrm::LibraryProgress, this);
}

CKxAdminFrm::~CKxAdminFrm() {
    VTAdmin_SetProgress(nullptr, this);
    status_ready = 0;
    // The document windows save and close while this frame is still whole.
    for (QMdiSubWindow *window : mdi_->subWindowList())
        delete window;
}

CkxAdminChildFrm *CKxAdminFrm::NewDocumentWindow() {
    auto *doc = new CVTADoc(this);
    doc->OnNewDocument();
    return OpenDocumentWindow(doc);
}

CkxAdminChildFrm *CKxAdminFrm::OpenDocumentWindow(CVTADoc *doc) {
    auto *frame = new CkxAdminChildFrm(doc, this);
    mdi_->addSubWindow(frame);
    frame->showMaximized();
    frame->OnInitialUpdate();
    return frame;
}

void CKxAdminFrm::SetMessageText(const QString &text) {
    if (status_ready == 0)
        return;
    progress_text_ = text;
    message_pane_->setText(text);
    // Tree operations block the event loop; paint now so the running operation is visible.
    message_pane_->repaint();
}

void CKxAdminFrm::BeginProgress() {
    progressing_ = true;
    library_entries_ = tree_entries_ = 0;
    // A quick operation ends before its first count is due.
    progress_clock_.start();
}

void CKxAdminFrm::EndProgress() {
    progressing_ = false;
}

void CKxAdminFrm::NoteEntry() {
    ++tree_entries_;
    ShowProgress();
}

void CKxAdminFrm::LibraryProgress(void *frame, int entries) {
    auto *self = static_cast<CKxAdminFrm *>(frame);
    self->library_entries_ = std::max(self->library_entries_, entries);
    self->ShowProgress();
}

void CKxAdminFrm::ShowProgress() {
    if (!progressing_ || status_ready == 0 || progress_clock_.elapsed() < progress_interval_ms)
        return;
    progress_clock_.start();
    message_pane_->setText(
        progress_text_ +
        QStringLiteral(" (%1 entries)").arg(std::max(library_entries_, tree_entries_)));
    // The user's input waits until the operation ends, but the count is painted now.
    message_pane_->repaint();
}

CkxAdminChildFrm *CKxAdminFrm::ActiveChild() const {
    QMdiSubWindow *window = mdi_->currentSubWindow();
    if (window == nullptr && !mdi_->subWindowList().isEmpty())
        window = mdi_->subWindowList().first();
    return qobject_cast<CkxAdminChildFrm *>(window);
}

void CKxAdminFrm::closeEvent(QCloseEvent *event) {
    mdi_->closeAllSubWindows();
    QMainWindow::closeEvent(event);
}

// Refreshes the tree's current node.
void CKxAdminFrm::OnRefresh() {
    CkxAdminChildFrm *child = ActiveChild();
    if (child == nullptr || child->Document() == nullptr)
        return;
    VTATree *tree = child->Document()->Tree();
    VTAObj *current = VTATree_GetCurrent(tree);
    if (tree == nullptr || current == nullptr)
        return;
    char msg[256] = "";
    if (VTATree_Op(tree, VTA_OP_REFRESH, current, nullptr, 0, msg, sizeof msg) != VTA_OK)
        KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(msg),
                      QMessageBox::Critical, true);
}

void CKxAdminFrm::OnHelp() {
    CkxAdminChildFrm *child = ActiveChild();
    if (child != nullptr && child->Document() != nullptr)
        child->Document()->OnHelp();
}

// ---- Document window ----

CkxAdminChildFrm::CkxAdminChildFrm(CVTADoc *doc, CKxAdminFrm *main_frame)
    : doc_(doc), main_frame_(main_frame), splitter_(new QSplitter(Qt::Horizontal, this)),
      tree_view_(new CKxAdminTreeView(doc, splitter_)),
      list_view_(new CKxAdminListView(doc, splitter_)), normal_cursor_(Qt::ArrowCursor),
      wait_cursor_(Qt::WaitCursor) {
    setAttribute(Qt::WA_DeleteOnClose);
    splitter_->addWidget(tree_view_);
    splitter_->addWidget(list_view_);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({215, 100});
    setWidget(splitter_);
    // The document window shows its document's title, as the main frame's caption does
    // while the window is maximised.
    setWindowTitle(doc->Title());
    setWindowIcon(QIcon(QStringLiteral(":/icons/connections.svg")));
    setCursor(normal_cursor_);
    doc->AddFrame(this);
}

CkxAdminChildFrm::~CkxAdminChildFrm() {
    // Closed without a close event (its main frame went away): close the same way.
    if (doc_ != nullptr) {
        tree_view_->OnDestroy();
        doc_->RemoveFrame(this);
    }
}

void CkxAdminChildFrm::OnInitialUpdate() {
    tree_view_->OnInitialUpdate();
    list_view_->OnInitialUpdate();
}

void CkxAdminChildFrm::closeEvent(QCloseEvent *event) {
    if (doc_ != nullptr) {
        tree_view_->OnDestroy();
        CVTADoc *doc = doc_;
        doc_ = nullptr;
        doc->RemoveFrame(this);
    }
    QMdiSubWindow::closeEvent(event);
}

void CkxAdminChildFrm::OnStatusNotice(const VTAObj *notice) {
    VTA_MESSAGE_DATA data{};
    VTAObj_GetData(notice, &data, sizeof data);
    data.VTA_Text[sizeof data.VTA_Text - 1] = '\0';
    if (data.VTA_Busy) {
        if (++busy_count == 1) {
            setCursor(wait_cursor_);
            list_view_->BeginBatch();
            if (main_frame_ != nullptr)
                main_frame_->BeginProgress();
        }
    } else if (busy_count > 0) {
        if (--busy_count == 0) {
            setCursor(normal_cursor_);
            list_view_->EndBatch();
            if (main_frame_ != nullptr)
                main_frame_->EndProgress();
        }
    }
    QString text = QString::fromLocal8Bit(data.VTA_Text);
    if (text.isEmpty())
        text = busy_count > 0 ? QStringLiteral("Busy") : QStringLiteral("Ready");
    if (main_frame_ != nullptr)
        main_frame_->SetMessageText(text);
}

void CkxAdminChildFrm::OnEntryNote() {
    if (busy_count > 0 && main_frame_ != nullptr)
        main_frame_->NoteEntry();
}
