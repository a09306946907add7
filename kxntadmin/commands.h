// The commands of the menus, the tool bar, the accelerators and the context menu: their ids,
// texts and tree operations, and what each does on the node of the pane it is given to. A
// command is enabled when its node answers the command's operation with "allowed" (allow-menu,
// code 16) and the pane has something to do with it there.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QMessageBox>
#include <QString>

#include <span>
#include <vector>

class CkxAdminChildFrm;
class QMenu;
class QWidget;

// Command ids. Each menu command has a context-menu twin one above it.
enum KxCommandId : int {
    ID_ACTION_NEW = 32770,
    ID_ACTION_OPEN = 32772,
    ID_ACTION_SAVE = 32774,
    ID_ACTION_CLOSE = 32776,
    ID_ACTION_DELETE = 32778,
    ID_ACTION_START = 32781,
    ID_ACTION_FAILOVER = 32783,
    ID_ACTION_STOP = 32785,
    ID_ACTION_ACTIVATE = 32787,
    ID_ACTION_REFRESH = 32791,
    ID_ACTION_PROPERTIES = 32793,
    ID_HELP_ADMIN_TOOL = 32800,
    ID_EXPORT_LIST = 32810,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

struct KxCommand {
    int menu_id;
    uint32_t op;              // the tree operation asked about for enabling
    const char *menu_text;    // Actions menu (the View menu for Refresh)
    const char *context_text; // context menu
    const char *prompt;       // status-bar prompt
    const char *tip;          // tool tip
    int context_id() const { return menu_id + 1; }
};

// The eleven commands, in the order of the Actions menu.
std::span<const KxCommand> KxCommands();
// The command of a menu or context id; null for any other id.
const KxCommand *KxFindCommand(int id);
// The tree operation of a menu or context id; 0 for any other id.
uint32_t KxCommandOperation(int id);
bool KxIsContextCommand(int id);

enum class KxPane { Tree, List };

// The commands of one document window, on the node that each acts on in a pane: in the tree
// the selected item's (a context command: the context node's); in the list the first selected
// row's, or the tree's current node when no row is selected (New always the current node;
// Close, Delete and Properties only selected rows).
class CKxCommands {
public:
    explicit CKxCommands(CkxAdminChildFrm *frame) : frame_(frame) {}

    VTAObj *CommandNode(KxPane pane, int id) const;
    bool IsEnabled(KxPane pane, int id) const;
    // Carries out a menu or context command (or Export List) in `pane`.
    void Run(KxPane pane, int id);

    // The context menu of `pane` on its command node, every item enabled or greyed; the list's
    // ends with Export List. The caller owns the menu.
    QMenu *ContextMenu(KxPane pane, QWidget *parent);
    // A double click on a list row: a folder becomes current, anything else shows its
    // properties.
    void OnDoubleClick(VTAObj *node);
    // The properties action: the debug flags dialog for the "Debug" folder and its flags, the
    // quota editor for a quota; nothing for other nodes.
    void Properties(VTAObj *node);
    // Export List: the list's rows as CSV, or as JSON when `path` ends in ".json". False after
    // a message when the list cannot be read or the file not written.
    bool ExportList(const QString &path);
    bool CanExportList() const;

private:
    VTATree *Tree() const;
    // Whether the pane's command does anything on `node` (apart from its allow-menu answer).
    bool Acts(KxPane pane, int menu_id, const VTAObj *node) const;
    void NewConnection(KxPane pane);
    void NewCommand(KxPane pane, VTAObj *node);
    void ControlCommand(KxPane pane, int menu_id, VTAObj *node);
    void OnExportList();
    // Runs `op` on `node`, showing a failure under `title`; VTA_OK or the code.
    int32_t Operation(uint32_t op, VTAObj *node, const QString &title, QMessageBox::Icon icon,
                      bool on_top);

    CkxAdminChildFrm *frame_;
};
