// Window shell of the administration console: application, main frame, document windows, the
// document that owns the admin object tree, and the navigation tree and detail list views.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPointer>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>

#include <deque>
#include <unordered_map>
#include <vector>

class CVTADoc;
class CkxAdminChildFrm;

// ---- Message boxes ----

// Every message box of the shell goes through KxShowMessage, so tests can capture the
// messages instead of blocking in a modal loop.
struct KxMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    bool on_top; // kept above other windows
};
using KxMessageCapture = void (*)(const KxMessage &message);

// With a capture installed, messages go to it and no box is shown; null restores the boxes.
void KxSetMessageCapture(KxMessageCapture capture);
void KxShowMessage(QWidget *parent, const QString &title, const QString &text,
                   QMessageBox::Icon icon, bool on_top);

// ---- Node images ----

// The 16 x 16 image of every node kind, plus the set and clear images of a debug flag.
class CKxNodeImages {
public:
    // Loads the images from `dir` (the resource folder by default). On the first image that
    // cannot be loaded, shows "Error Loading Image List" and keeps the images loaded so far.
    bool Load(const QString &dir = QStringLiteral(":/icons"));
    // The image of a node: kinds 30 and above have none, a missing node gets the "All" image.
    QIcon Icon(const VTAObj *node) const;
    int Count() const { return static_cast<int>(images_.size()); }

private:
    std::vector<QIcon> images_;
};

// ---- Views ----

// What the document relays to its views: every tree notification except the status notices.
class CKxAdminView {
public:
    virtual ~CKxAdminView() = default;
    virtual void OnInitialUpdate() = 0;
    virtual void OnUpdate(const VTANote *note) = 0;
};

// Navigation tree: one item per folder node shown, in the tree's sibling order.
class CKxAdminTreeView : public QTreeWidget, public CKxAdminView {
    Q_OBJECT
public:
    CKxAdminTreeView(CVTADoc *doc, QWidget *parent = nullptr);
    ~CKxAdminTreeView() override;

    void OnInitialUpdate() override;
    void OnUpdate(const VTANote *note) override;
    // Saves the recent connections (code 7 on the top node); run when the window closes.
    void OnDestroy();

    // Selects, as a user's clicks would, each item of `path` in turn below the top item
    // ("localhost/File Systems"). False when an item of the path is not shown.
    bool SelectPath(const QString &path);

    static VTAObj *ItemNode(const QTreeWidgetItem *item);
    static QTreeWidgetItem *NodeItem(const VTAObj *node);

private:
    void InsertNodeItem(VTAObj *node);
    void RewriteItem(QTreeWidgetItem *item, VTAObj *node);
    void RemoveNodeItem(VTAObj *node);
    void SelectAndExpand(QTreeWidgetItem *item);
    void OnSelectionChanged();
    void OnItemExpanded(QTreeWidgetItem *item);
    void ForgetItems(QTreeWidgetItem *item);

    QPointer<CVTADoc> doc_;
    CKxNodeImages images_;
    // Set while the view changes itself, so that its own selection and expansion changes do
    // not act on the tree as a user's would.
    int self_change_ = 0;
};

// Rows of the detail list: the columns of a node's header row and one row per child node.
// A row is reached by number at once and by node in O(log n); rows leave from either end in
// constant time.
class CKxListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CKxListModel(QObject *parent = nullptr);
    ~CKxListModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Filling a whole list is one model reset: rows added between BeginFill and EndFill are
    // announced together.
    void BeginFill();
    void EndFill();
    // While a tree operation runs: the first changes are announced row by row, but once they
    // are many (or a row leaves a long list) the rest are gathered into one model reset that
    // EndBatch announces.
    void BeginBatch();
    void EndBatch();
    // True while a reset is open: the views learn of the changes only when it closes.
    bool Resetting() const { return resetting_; }
    // Drops every row and column, clearing the list's word of each row's node.
    void Clear();
    void SetColumns(const VTA_LV_ROW &header);
    // Finds the row of the record's node or adds one at the end, and sets its cells.
    void SetRow(const VTA_LV_ROW &row, const QIcon &icon);
    void RemoveNode(VTAObj *node);
    int RowOf(const VTAObj *node) const; // -1 when the node has no row
    VTAObj *NodeAt(int row) const;

    // Row changes of one batch announced one by one before the rest go into a reset, and the
    // length from which a removal goes into the reset at once.
    static constexpr int kBatchChanges = 1000;
    static constexpr size_t kLongList = 10000;

private:
    struct Row {
        VTAObj *node; // null once removed while a reset is open
        uint64_t seq; // rows keep the order of these numbers
        QIcon icon;
        std::vector<QString> cells;
    };
    void FillRow(Row &target, const VTA_LV_ROW &row, const QIcon &icon) const;
    uintptr_t RowMark() const { return reinterpret_cast<uintptr_t>(this); }
    // Counts a row change of a batch and opens the reset when the batch has grown large.
    void Changing(bool removal);
    // Opens a reset unless one is open; true when this call opened it.
    bool OpenReset();
    // Closes the open reset, dropping the rows removed meanwhile.
    void CloseReset();

    std::vector<QString> headers_;
    std::vector<bool> right_align_;
    std::deque<Row> rows_;
    std::unordered_map<const VTAObj *, uint64_t> seq_of_; // rows by node
    uint64_t next_seq_ = 0;
    bool resetting_ = false;
    bool in_batch_ = false;
    int batch_changes_ = 0;
};

// Detail list: the rows of the tree's current node (list_dir).
class CKxAdminListView : public QTreeView, public CKxAdminView {
    Q_OBJECT
public:
    CKxAdminListView(CVTADoc *doc, QWidget *parent = nullptr);
    ~CKxAdminListView() override;

    void OnInitialUpdate() override;
    void OnUpdate(const VTANote *note) override;
    // Shows the tree's current node unless the list already shows it.
    void ShowCurrentNode();
    // Bracket a tree operation (the document window's busy time): its many row changes reach
    // the view as one model reset.
    void BeginBatch();
    void EndBatch();

    CKxListModel *Model() { return &model_; }
    VTAObj *ListDir() const { return list_dir; }
    uint32_t Initialised() const { return initialised; }

private:
    void FillFrom(VTATree *tree, VTAObj *node);
    // Sizes the columns to their contents once a fill has reached the view.
    void SizeColumns();
    void UpdateChildRow(VTATree *tree, VTAObj *node);
    void OnDoubleClicked(const QModelIndex &index);

    QPointer<CVTADoc> doc_;
    CKxListModel model_;
    CKxNodeImages images_;
    uint32_t initialised = 0;
    VTAObj *list_dir = nullptr;
    bool columns_unsized_ = false;
};

// ---- Document ----

// Owns the admin object tree and relays its notifications: status notices to the document
// windows, everything else to the views.
class CVTADoc : public QObject {
    Q_OBJECT
public:
    explicit CVTADoc(QObject *parent = nullptr);
    ~CVTADoc() override;

    // Creates the tree with its "Connections" root. Without memory for it the document stays
    // up without a tree after one message.
    void OnNewDocument();
    // Destroys the tree (every removal is still announced to the views left).
    void OnCloseDocument();
    VTATree *Tree() const { return tree_; }
    QString Title() const { return QStringLiteral("Navigation"); }

    void AddView(CKxAdminView *view);
    void RemoveView(CKxAdminView *view);
    void AddFrame(CkxAdminChildFrm *frame);
    // The last window gone closes the document.
    void RemoveFrame(CkxAdminChildFrm *frame);
    void UpdateAllViews(const VTANote *note);

    // "Administrator Tool Help": opens the help page in the help directory.
    void OnHelp();
    static QString HelpPagePath();

    VTAObj *context_node = nullptr; // node of the last context menu

private:
    static void TreeNotify(VTANote *note);

    VTATree *tree_ = nullptr;
    std::vector<CKxAdminView *> views_;
    std::vector<CkxAdminChildFrm *> frames_;
};

// ---- Frames ----

class CKxAdminFrm : public QMainWindow {
    Q_OBJECT
public:
    CKxAdminFrm();
    ~CKxAdminFrm() override;

    // Opens a document window on a new "Navigation" document and runs its views' first
    // display.
    CkxAdminChildFrm *NewDocumentWindow();
    // Opens a further document window on `doc` and runs its views' first display.
    CkxAdminChildFrm *OpenDocumentWindow(CVTADoc *doc);
    // Writes the message pane while the status bar is ready.
    void SetMessageText(const QString &text);
    // While a tree operation runs (between BeginProgress and EndProgress) the message pane
    // follows its text with the number of entries that have arrived so far: the larger of what
    // the admin library reports and the rows the tree announced (NoteEntry). It is repainted
    // when entries arrive, at most every progress_interval_ms.
    void BeginProgress();
    void EndProgress();
    void NoteEntry();
    static int progress_interval_ms; // 200; tests change it
    QString MessageText() const { return message_pane_->text(); }
    QMdiArea *MdiArea() const { return mdi_; }
    // The document window shown in front, or null.
    CkxAdminChildFrm *ActiveChild() const;

    uint32_t status_ready = 0;

signals:
    void AboutRequested();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void OnRefresh();
    void OnHelp();
    static void LibraryProgress(void *frame, int entries);
    void ShowProgress();

    QMdiArea *mdi_;
    QLabel *message_pane_;
    bool progressing_ = false;
    int library_entries_ = 0;
    int tree_entries_ = 0;
    QString progress_text_; // the text the count follows
    QElapsedTimer progress_clock_;
};

class CkxAdminChildFrm : public QMdiSubWindow {
    Q_OBJECT
public:
    CkxAdminChildFrm(CVTADoc *doc, CKxAdminFrm *main_frame);
    ~CkxAdminChildFrm() override;

    // Status notice (a VTA_OBJ_MESSAGE node): busy count, cursor and message pane.
    void OnStatusNotice(const VTAObj *notice);
    // A node was inserted or updated: counted as an arrived entry while busy.
    void OnEntryNote();
    void OnInitialUpdate();

    CVTADoc *Document() const { return doc_; }
    CKxAdminTreeView *TreeView() const { return tree_view_; }
    CKxAdminListView *ListView() const { return list_view_; }
    QSplitter *Splitter() const { return splitter_; }
    int32_t BusyCount() const { return busy_count; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QPointer<CVTADoc> doc_;
    QPointer<CKxAdminFrm> main_frame_;
    QSplitter *splitter_;
    CKxAdminTreeView *tree_view_;
    CKxAdminListView *list_view_;
    QCursor normal_cursor_;
    QCursor wait_cursor_;
    int32_t busy_count = 0;
};

// ---- Dialogs and application ----

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget *parent = nullptr);
};

struct KxCommandLine {
    QString screenshot_path; // --screenshot FILE: grab the main window into FILE, then quit
    int screenshot_delay_ms = 1500;
    QString select_path; // --select PATH: select these items below "Connections" at start-up
};

// Start of the admin API library for this program (vtadmin_program_start): module name
// "kxntadmin", VTAdmin_Init, the log "kxntadmin.log" with the "general" and "entry/exit"
// classes of the library's log module, and the system-log hook pointed at that log.
void KxStartAdminLibrary();
// VTAdmin_Teardown: closes every connection still open and the library's log.
void KxStopAdminLibrary();

class CKxAdminApp : public QObject {
    Q_OBJECT
public:
    CKxAdminApp();
    ~CKxAdminApp() override;

    // Start-up: settings, main frame, admin library and log, the first document. False, after
    // printing the usage, for a bad command line; `args` are the program's arguments, the
    // program name first.
    bool InitInstance(const QStringList &args);
    // Tears the admin library down; the exit status.
    int ExitInstance();
    void OnAppAbout();

    // The options; --help and --version are answered by main before the toolkit starts.
    static const char *Usage();
    static bool ParseCommandLine(const QStringList &args, KxCommandLine *line, QString *error);
    CKxAdminFrm *MainFrame() const { return main_frame_; }
    const KxCommandLine &CommandLine() const { return command_line_; }

private:
    QPointer<CKxAdminFrm> main_frame_;
    KxCommandLine command_line_;
};
