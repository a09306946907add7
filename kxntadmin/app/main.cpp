// kxntadmin: the Veltrane administration console.
#include "kxntadmin/kxadmin_shell.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char **argv) {
    QApplication toolkit(argc, argv);
    CKxAdminApp app;
    if (!app.InitInstance(QApplication::arguments()))
        return 1;
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
