#include "libvtadmin/vtadmin_tree.h"

// Operation function of the "Connections" root. So far it only answers the menu questions;
// loading, adding and saving the recent connections come later. Every other code gets the
// default handling.
int32_t VTAObj_RootOpFunc(VTATree *, uint32_t op, VTAObj *, void *data, size_t, char *, size_t) {
    if (op != VTA_OP_ALLOW_MENU)
        return VTA_ERR_NOT_HANDLED;
    auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
    bool allowed = allow->VTA_Op == VTA_OP_CREATE || allow->VTA_Op == VTA_OP_SAVE ||
                   allow->VTA_Op == VTA_OP_REFRESH_ALL;
    allow->VTA_Answer = allowed ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
    return VTA_OK;
}
