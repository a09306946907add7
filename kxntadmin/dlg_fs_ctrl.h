// "File System Control": start, stop, fail over or hold an activation vote for a file system,
// with its name, the metadata controller's host and a wait, sent as one tree operation to the
// file-system node (or the "File Systems" folder) the dialog was opened on.
#pragma once

#include "kxntadmin/vtadoc.h"

#include "libvtadmin/vtadmin_computer.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QPointer>

#include <map>

class CDlgFsCtrl : public QDialog, public CKxAdminView {
    Q_OBJECT
public:
    // Control ids.
    enum : int {
        kFsName = 1020,
        kHost = 1021,
        kStart = 1022,
        kStartSingle = 1024,
        kWaitStart = 1025,
        kStop = 1026,
        kStopBoth = 1027,
        kStopSingle = 1028,
        kWaitStop = 1029,
        kFailover = 1030,
        kActivate = 1031,
    };
    // The wait handed to waiting starts and stops, in seconds.
    static constexpr uint32_t kWait = 45000;

    explicit CDlgFsCtrl(QWidget *parent = nullptr);
    ~CDlgFsCtrl() override;

    // Opens the dialog on `node` (a file system or a "File Systems" folder) with `action`
    // (VTA_FS_START, VTA_FS_STOP_ON_HOST, VTA_FS_FAILOVER or VTA_FS_ACTIVATE) and runs it.
    static int Run(QWidget *parent, VTATree *tree, VTAObj *node, uint32_t action);

    void SetNode(VTATree *tree, VTAObj *node);
    void SetAction(uint32_t action) { record_.VTA_Action = action; }
    // Opening: the host of the folder's computer, or the file system's own address and name
    // where the record has none yet; then shows the record.
    void OnInitDialog();
    // Writes both fields, then the marks and enabled states that the action calls for.
    void ShowRecord();
    // The user picked option button `id`: it alone is marked, and the action (and wait) follow.
    void OnPick(int id);
    // Sends the record as the action's tree operation; closes on success, stays open with the
    // message on failure.
    void OnOK();

    const VTA_FS_CONTROL &Record() const { return record_; }
    QAbstractButton *Button(int id) const { return buttons_.at(id); }
    QComboBox *Field(int id) const { return id == kFsName ? fs_name_field_ : host_field_; }
    VTAObj *Node() const { return node_; }

    void OnInitialUpdate() override {}
    // Forgets the node when the tree removes it: a failed request still refreshes the tree.
    void OnUpdate(const VTANote *note) override;

private:
    QAbstractButton *AddButton(int id, QAbstractButton *button);
    void SetText(char (&field)[256], const QString &text);
    void CopyFields();
    void Mark(int id, bool marked) { buttons_.at(id)->setChecked(marked); }
    bool Marked(int id) const { return buttons_.at(id)->isChecked(); }

    VTA_FS_CONTROL record_{};
    VTATree *tree_ = nullptr;
    VTAObj *node_ = nullptr;
    VTAObj *folder_ = nullptr; // the "File Systems" folder at or above the node
    QPointer<CVTADoc> doc_;
    QComboBox *fs_name_field_;
    QComboBox *host_field_;
    std::map<int, QAbstractButton *> buttons_;
};
