// The admin API library's start and end for the application. Kept apart from the shell's
// header: the library's and the tree's headers both name their success code VTA_OK.
#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

// Declared in kxadmin_shell.h, which this file cannot include.
void KxStartAdminLibrary();
void KxStopAdminLibrary();

void KxStartAdminLibrary() {
    set_module_name("kxntadmin");
    VTAdmin_Init();
    // The log file is named after the program, and the library traces its calls there.
    VTAdmin_LogInit("kxntadmin");
    VTAdmin_LogEnable(VTA_LOG_GENERAL, VTA_LOG_MODULE);
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
}

void KxStopAdminLibrary() {
    VTAdmin_Teardown();
}
