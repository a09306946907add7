// "FSM Debug Flags": the 32 debug classes of a File System Manager as a check list, saved as
// one word through the file system's "Debug" folder.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QDialog>
#include <QTreeWidget>

class CDlgFsmDebugEdit : public QDialog {
    Q_OBJECT
public:
    static constexpr int kList = 1015;

    explicit CDlgFsmDebugEdit(QWidget *parent = nullptr);

    // The edit entry: opens the dialog on the "Debug" folder of `node` (the folder or one of
    // its flags) and runs it.
    static int Edit(QWidget *parent, VTATree *tree, VTAObj *node);
    // Checks the node, takes the folder's word and fills the list: one row per bit, sorted by
    // description. False after its message when the node is not a "Debug" folder or flag.
    bool OnInitDialog(VTATree *tree, VTAObj *node);
    // Adds up the ticked rows and saves the word on the folder; closes on success.
    void OnOK();

    QTreeWidget *List() const { return list_; }
    // The word being edited: the folder's at opening, the ticked rows' after OK.
    uint32_t Flags() const { return flags; }
    VTAObj *Folder() const { return folder_; }

private:
    VTATree *tree_ = nullptr;
    VTAObj *folder_ = nullptr;
    uint32_t flags = 0;
    QTreeWidget *list_;
};
