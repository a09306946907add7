// The "Debug" folder of an active file system: reads the FSM's debug-flag word into one
// check-box child per bit, named by the flag's description, and saves a new word, after which
// it reads the word back. The FSM debug flags dialog edits the word through that save.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

// The word the folder read last (0 before its first read).
uint32_t VTAObj_DebugWord(const VTAObj *folder);
// Whether the bit of a debug-flag node was set at the folder's last read.
bool VTAObj_DebugFlagIsSet(const VTAObj *flag);

// Operation function of the "Debug" folder: rows "Set", "Debug Name"; refresh reads the word;
// save (data: the new word, 4 bytes) sets it and refreshes; Refresh and Properties allowed.
int32_t VTAObj_DebugOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
