// The admin API library's start and end for the application.
#include "kxntadmin/kxadmin_shell.h"

#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

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
