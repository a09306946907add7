#include "kxntadmin/frames.h"

#include "kxntadmin/message_box.h"
#include "kxntadmin/user_settings.h"

#include "libvtadmin/vtadminlib.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include <algorithm>
#include <cstring>
#include <memory>

// ---- Main frame ----

int CKxAdminFrm::progress_interval_ms = 200;

CKxAdminFrm::CKxAdminFrm() : mdi_(new QMdiArea(this)), message_pane_(new QLabel(this)) {
    setCentralWidget(mdi_);
    CreateMenusAndToolBar();

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

    command_update_.setSingleShot(true);
    command_update_.setInterval(0);
    connect(&command_update_, &QTimer::timeout, this, &CKxAdminFrm::UpdateCommandUI);
    connect(mdi_, &QMdiArea::subWindowActivated, this, &CKxAdminFrm::ScheduleCommandUpdate);
    connect(qApp, &QApplication::focusChanged, this, &CKxAdminFrm::ScheduleCommandUpdate);
    UpdateCommandUI();
}

QAction *CKxAdminFrm::AddCommandAction(int id, const QString &text, const QString &prompt) {
    auto *action = new QAction(text, this);
    action->setStatusTip(prompt);
    actions_[id] = action;
    return action;
}

void CKxAdminFrm::CreateMenusAndToolBar() {
    for (const KxCommand &command : KxCommands()) {
        QAction *action = AddCommandAction(command.menu_id, QString::fromLatin1(command.menu_text),
                                           QString::fromLatin1(command.prompt));
        action->setToolTip(QString::fromLatin1(command.tip));
        const int id = command.menu_id;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
    }
    // Only these keys are bound; the labels of Close, Delete and Properties name keys that are
    // not (Ctrl+C, Ctrl+D and Ctrl+P keep their usual meaning in the views).
    actions_[ID_ACTION_NEW]->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    actions_[ID_ACTION_OPEN]->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    actions_[ID_ACTION_SAVE]->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    actions_[ID_ACTION_REFRESH]->setShortcuts(
        {QKeySequence(QStringLiteral("Ctrl+R")), QKeySequence(Qt::Key_F5)});

    QStyle *style = QApplication::style();
    tool_bar_ = new QToolBar(QStringLiteral("Standard"), this);
    tool_bar_->setObjectName(QStringLiteral("ToolBar"));
    tool_bar_->setIconSize(QSize(16, 15));
    actions_[ID_ACTION_NEW]->setIcon(style->standardIcon(QStyle::SP_FileIcon));
    actions_[ID_ACTION_SAVE]->setIcon(style->standardIcon(QStyle::SP_DialogSaveButton));
    actions_[ID_ACTION_REFRESH]->setIcon(style->standardIcon(QStyle::SP_BrowserReload));
    for (int id : {ID_ACTION_NEW, ID_ACTION_SAVE, ID_ACTION_REFRESH})
        tool_bar_->addAction(actions_[id]);
    addToolBar(Qt::TopToolBarArea, tool_bar_);

    QMenu *actions = menuBar()->addMenu(QStringLiteral("&Actions"));
    for (const KxCommand &command : KxCommands()) {
        if (command.menu_id == ID_ACTION_REFRESH)
            continue; // in the View menu
        if (command.menu_id == ID_ACTION_DELETE || command.menu_id == ID_ACTION_START ||
            command.menu_id == ID_ACTION_PROPERTIES)
            actions->addSeparator();
        actions->addAction(actions_[command.menu_id]);
    }
    actions->addSeparator();
    QAction *export_list = AddCommandAction(ID_EXPORT_LIST, QStringLiteral("Export &List..."),
                                            QStringLiteral("Save the list as CSV or JSON"));
    connect(export_list, &QAction::triggered, this, [this] { RunCommand(ID_EXPORT_LIST); });
    actions->addAction(export_list);
    actions->addSeparator();
    QAction *exit_action =
        AddCommandAction(ID_APP_EXIT, QStringLiteral("E&xit"), QStringLiteral("Quit"));
    connect(exit_action, &QAction::triggered, this, &QWidget::close);
    actions->addAction(exit_action);
    connect(actions, &QMenu::aboutToShow, this, &CKxAdminFrm::UpdateCommandUI);

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    QAction *show_tool_bar = AddCommandAction(ID_VIEW_TOOLBAR, QStringLiteral("&Toolbar"),
                                              QStringLiteral("Show or hide the toolbar"));
    show_tool_bar->setCheckable(true);
    connect(show_tool_bar, &QAction::toggled, tool_bar_, &QWidget::setVisible);
    connect(tool_bar_, &QToolBar::visibilityChanged, show_tool_bar, &QAction::setChecked);
    QAction *show_status_bar = AddCommandAction(ID_VIEW_STATUS_BAR, QStringLiteral("&Status Bar"),
                                                QStringLiteral("Show or hide the status bar"));
    show_status_bar->setCheckable(true);
    connect(show_status_bar, &QAction::toggled, statusBar(), &QWidget::setVisible);
    view->addAction(show_tool_bar);
    view->addAction(show_status_bar);
    view->addSeparator();
    view->addAction(actions_[ID_ACTION_REFRESH]);
    connect(view, &QMenu::aboutToShow, this, [this, show_tool_bar, show_status_bar] {
        show_tool_bar->setChecked(tool_bar_->isVisibleTo(this));
        show_status_bar->setChecked(statusBar()->isVisibleTo(this));
        UpdateCommandUI();
    });

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction *help_action =
        AddCommandAction(ID_HELP_ADMIN_TOOL, QStringLiteral("Administrator Tool Help"),
                         QStringLiteral("Open the administrator's help page"));
    connect(help_action, &QAction::triggered, this, &CKxAdminFrm::OnHelp);
    help->addAction(help_action);
    help->addSeparator();
    QAction *about_action =
        AddCommandAction(ID_APP_ABOUT, QStringLiteral("&About Veltrane Administration"),
                         QStringLiteral("Program information, version number and copyright"));
    connect(about_action, &QAction::triggered, this, &CKxAdminFrm::AboutRequested);
    help->addAction(about_action);
    connect(help, &QMenu::aboutToShow, this, &CKxAdminFrm::UpdateHelpMenu);

    // Next and previous pane: not in a menu, so the actions belong to the window itself.
    for (const auto &[id, key] : {std::pair{ID_NEXT_PANE, QKeySequence(Qt::Key_F6)},
                                  std::pair{ID_PREV_PANE, QKeySequence(Qt::SHIFT | Qt::Key_F6)}}) {
        QAction *pane = AddCommandAction(id, QString(), QString());
        pane->setShortcut(key);
        connect(pane, &QAction::triggered, this, [this] {
            if (CkxAdminChildFrm *child = ActiveChild())
                child->NextPane();
        });
        addAction(pane);
    }
}

QAction *CKxAdminFrm::Action(int id) const {
    auto found = actions_.find(id);
    return found != actions_.end() ? found->second : nullptr;
}

void CKxAdminFrm::UpdateHelpMenu() {
    // Without a document window the Help menu is the main frame's own.
    const bool document = ActiveChild() != nullptr;
    actions_[ID_HELP_ADMIN_TOOL]->setVisible(document);
    actions_[ID_APP_ABOUT]->setText(document ? QStringLiteral("&About Veltrane Administration")
                                             : QStringLiteral("&About kxntadmin..."));
}

void CKxAdminFrm::ScheduleCommandUpdate() {
    if (!command_update_.isActive())
        command_update_.start();
}

void CKxAdminFrm::UpdateCommandUI() {
    CkxAdminChildFrm *child = ActiveChild();
    for (const KxCommand &command : KxCommands())
        actions_[command.menu_id]->setEnabled(
            child != nullptr && child->Commands().IsEnabled(child->ActivePane(), command.menu_id));
    actions_[ID_EXPORT_LIST]->setEnabled(child != nullptr &&
                                         child->Commands().IsEnabled(KxPane::List, ID_EXPORT_LIST));
    UpdateHelpMenu();
}

void CKxAdminFrm::RunCommand(int id) {
    CkxAdminChildFrm *child = ActiveChild();
    if (child == nullptr)
        return;
    child->Commands().Run(id == ID_EXPORT_LIST ? KxPane::List : child->ActivePane(), id);
    ScheduleCommandUpdate();
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
    connect(frame, &CkxAdminChildFrm::CommandStateChanged, this,
            &CKxAdminFrm::ScheduleCommandUpdate);
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
    delete wait_dialog_;
    wait_cancelled_ = false;
}

void CKxAdminFrm::NoteEntry() {
    ++tree_entries_;
    ShowProgress();
}

int CKxAdminFrm::LibraryProgress(void *frame, int kind, int count) {
    auto *self = static_cast<CKxAdminFrm *>(frame);
    if (kind == VTA_PROGRESS_WAITED)
        return self->ShowWait(count) ? 1 : 0;
    self->library_entries_ = std::max(self->library_entries_, count);
    self->ShowProgress();
    return 0;
}

bool CKxAdminFrm::ShowWait(int seconds) {
    if (wait_dialog_ == nullptr) {
        wait_cancelled_ = false;
        wait_dialog_ = new QProgressDialog(this);
        wait_dialog_->setWindowTitle(QStringLiteral("Veltrane Administration"));
        // Modal for the whole program: while the operation runs only Cancel takes input.
        wait_dialog_->setWindowModality(Qt::ApplicationModal);
        wait_dialog_->setRange(0, 0); // no end is known
        wait_dialog_->setAutoReset(false);
        wait_dialog_->setAutoClose(false);
        wait_dialog_->setCancelButtonText(QStringLiteral("Cancel"));
        connect(wait_dialog_, &QProgressDialog::canceled, this, [this] { wait_cancelled_ = true; });
        wait_dialog_->show();
    }
    wait_dialog_->setLabelText(
        QStringLiteral("%1\nWaited %2 s for the file system.\nCancel stops waiting; the request "
                       "has been sent.")
            .arg(progress_text_)
            .arg(seconds));
    if (status_ready != 0) {
        message_pane_->setText(progress_text_ + QStringLiteral(" (waited %1 s)").arg(seconds));
        message_pane_->repaint();
    }
    // The operation blocks the event loop: let the dialog paint and take its Cancel.
    QCoreApplication::processEvents();
    return wait_cancelled_;
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
    KxSaveFrameState(*this);
    mdi_->closeAllSubWindows();
    QMainWindow::closeEvent(event);
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
      list_view_(new CKxAdminListView(doc, splitter_)), commands_(this),
      normal_cursor_(Qt::ArrowCursor), wait_cursor_(Qt::WaitCursor) {
    setAttribute(Qt::WA_DeleteOnClose);
    splitter_->addWidget(tree_view_);
    splitter_->addWidget(list_view_);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({215, 100});
    KxRestoreSplitter(*splitter_);

    for (auto [view, pane] : {std::pair<QAbstractItemView *, KxPane>{tree_view_, KxPane::Tree},
                              std::pair<QAbstractItemView *, KxPane>{list_view_, KxPane::List}}) {
        view->installEventFilter(this);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, pane](const QPoint &pos) { OnContextMenu(pane, pos); });
    }
    connect(tree_view_, &QTreeWidget::itemSelectionChanged, this,
            &CkxAdminChildFrm::CommandStateChanged);
    connect(list_view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CkxAdminChildFrm::CommandStateChanged);
    connect(list_view_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        commands_.OnDoubleClick(list_view_->Model()->NodeAt(index.row()));
    });
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

bool CkxAdminChildFrm::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn) {
        active_pane_ = watched == list_view_ ? KxPane::List : KxPane::Tree;
        emit CommandStateChanged();
    }
    return QMdiSubWindow::eventFilter(watched, event);
}

void CkxAdminChildFrm::SetActivePane(KxPane pane) {
    active_pane_ = pane;
    if (pane == KxPane::List)
        list_view_->setFocus();
    else
        tree_view_->setFocus();
    emit CommandStateChanged();
}

void CkxAdminChildFrm::NextPane() {
    SetActivePane(active_pane_ == KxPane::Tree ? KxPane::List : KxPane::Tree);
}

void CkxAdminChildFrm::OnContextMenu(KxPane pane, const QPoint &pos) {
    if (doc_ == nullptr)
        return;
    QAbstractItemView *view = tree_view_;
    if (pane == KxPane::Tree) {
        QTreeWidgetItem *item = tree_view_->itemAt(pos);
        if (item == nullptr)
            return;
        doc_->context_node = CKxAdminTreeView::ItemNode(item);
    } else {
        view = list_view_;
        doc_->context_node = commands_.CommandNode(KxPane::List, ID_ACTION_REFRESH);
    }
    SetActivePane(pane);
    std::unique_ptr<QMenu> menu(commands_.ContextMenu(pane, this));
    QAction *chosen = menu->exec(view->viewport()->mapToGlobal(pos));
    if (chosen != nullptr)
        commands_.Run(pane, chosen->data().toInt());
    emit CommandStateChanged();
}

void CkxAdminChildFrm::closeEvent(QCloseEvent *event) {
    KxSaveSplitter(*splitter_);
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
            emit CommandStateChanged();
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
