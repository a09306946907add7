// kxntadmin: the Veltrane administration console.
#include "kxntadmin/kxadmin_shell.h"
#include "libutil/program_version.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    // Answered before the toolkit starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(CKxAdminApp::Usage(), stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("kxntadmin " KX_PROGRAM_VERSION);
            return 0;
        }
    }
    QApplication toolkit(argc, argv);
    CKxAdminApp app;
    if (!app.InitInstance(QApplication::arguments()))
        return 2;
    const KxCommandLine &line = app.CommandLine();
    bool grab_failed = false;
    if (!line.screenshot_path.isEmpty()) {
        QTimer::singleShot(line.screenshot_delay_ms, &app, [&] {
            grab_failed = !app.MainFrame()->grab().save(line.screenshot_path);
            QApplication::quit();
        });
    }
    int status = QApplication::exec();
    int exit_status = app.ExitInstance();
    if (grab_failed) {
        fprintf(stderr, "kxntadmin: cannot write %s\n", qPrintable(line.screenshot_path));
        return 1;
    }
    return status != 0 ? status : exit_status;
}
