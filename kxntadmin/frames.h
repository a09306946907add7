// The main frame (tool bar, status bar, document windows) and the document window, a splitter
// with the navigation tree on the left and the detail list on the right.
#pragma once

#include "kxntadmin/commands.h"
#include "kxntadmin/list_view.h"
#include "kxntadmin/tree_view.h"
#include "kxntadmin/vtadoc.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QProgressDialog>
#include <QSplitter>
#include <QTimer>

#include <map>

class CkxAdminChildFrm;
class QToolBar;

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
    // While a start or stop waits for its file system (the admin library reports the seconds
    // waited), a window shows how long it has waited, with Cancel: cancelling ends the wait
    // (the request itself was sent). Gone when the operation ends; null when none is shown.
    QProgressDialog *WaitDialog() const { return wait_dialog_; }
    static int progress_interval_ms; // 200; tests change it
    QString MessageText() const { return message_pane_->text(); }
    QMdiArea *MdiArea() const { return mdi_; }
    // The document window shown in front, or null.
    CkxAdminChildFrm *ActiveChild() const;

    // Carries out a menu, tool-bar or accelerator command in the pane of the document window
    // in front that has the focus.
    void RunCommand(int id);
    // Enables every command by the focused pane's node (allow-menu answers); Export List by
    // the list. Runs when a menu opens and, through ScheduleCommandUpdate, once the event loop
    // is idle after a selection, focus or operation changed what the answers depend on.
    void UpdateCommandUI();
    void ScheduleCommandUpdate();
    // The action of a menu command id (null for other ids).
    QAction *Action(int id) const;

    uint32_t status_ready = 0;

signals:
    void AboutRequested();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QAction *AddCommandAction(int id, const QString &text, const QString &prompt);
    void CreateMenusAndToolBar();
    void UpdateHelpMenu();
    void OnHelp();
    static int LibraryProgress(void *frame, int kind, int count);
    void ShowProgress();
    // Shows the seconds waited and lets the user cancel; true once cancelled.
    bool ShowWait(int seconds);

    QMdiArea *mdi_;
    QLabel *message_pane_;
    QToolBar *tool_bar_ = nullptr;
    std::map<int, QAction *> actions_;
    QTimer command_update_;
    bool progressing_ = false;
    int library_entries_ = 0;
    int tree_entries_ = 0;
    QString progress_text_; // the text the count follows
    QElapsedTimer progress_clock_;
    QPointer<QProgressDialog> wait_dialog_;
    bool wait_cancelled_ = false;
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
    CKxCommands &Commands() { return commands_; }

    // The pane that answers for the menu bar and the tool bar: the view that last had the
    // focus (the tree at first).
    KxPane ActivePane() const { return active_pane_; }
    void SetActivePane(KxPane pane);
    // F6 and Shift+F6: the focus goes to the other pane.
    void NextPane();
    // A right click at `pos` (viewport coordinates) of a pane: in the tree the item there
    // becomes the context node (nothing happens over empty space), in the list its command
    // node; then the context menu runs the chosen command.
    void OnContextMenu(KxPane pane, const QPoint &pos);

signals:
    // Something that command enabling depends on changed: selection, focus, a finished
    // operation.
    void CommandStateChanged();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<CVTADoc> doc_;
    QPointer<CKxAdminFrm> main_frame_;
    QSplitter *splitter_;
    CKxAdminTreeView *tree_view_;
    CKxAdminListView *list_view_;
    CKxCommands commands_;
    KxPane active_pane_ = KxPane::Tree;
    QCursor normal_cursor_;
    QCursor wait_cursor_;
    int32_t busy_count = 0;
};
