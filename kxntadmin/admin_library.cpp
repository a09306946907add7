// The admin API library's start and end for the application.
#include "kxntadmin/kxadmin_shell.h"

#include "libvtadmin/vtadminlib.h"

void KxStartAdminLibrary() {
    // The log file is named after the program, and the library traces its calls there.
    vtadmin_program_start("kxntadmin");
}

void KxStopAdminLibrary() {
    VTAdmin_Teardown();
}
