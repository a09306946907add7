// The "fsports" file of the configuration directory: the server port range ("minport",
// "maxport") and the port of the port-mapper agent ("altpmap").
#pragma once

// Reads "<config_dir>/fsports". `altpmap` receives the value of the last valid "altpmap" line,
// 0 when there is none or no file. Bad lines are reported through the message hook (code 2),
// or the system-log hook (code 4) while the message hook is empty, and skipped.
void read_fsports(int *altpmap);
