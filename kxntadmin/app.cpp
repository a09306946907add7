#include "kxntadmin/app.h"

#include "kxntadmin/dlg_about.h"
#include "kxntadmin/user_settings.h"

#include "libvtadmin/vtadminlib.h"

#include "libutil/program_version.h"

#include <QCoreApplication>
#include <QGuiApplication>

void KxStartAdminLibrary() {
    // The log file is named after the program, and the library traces its calls there.
    vtadmin_program_start("kxntadmin");
}

void KxStopAdminLibrary() {
    VTAdmin_Teardown();
}

CKxAdminApp::CKxAdminApp() = default;

CKxAdminApp::~CKxAdminApp() {
    delete main_frame_;
}

const char *CKxAdminApp::Usage() {
    return "usage: kxntadmin [--select PATH] [--screenshot FILE [--screenshot-delay MS]]\n"
           "       kxntadmin --help | --version\n"
           "  --select PATH  select the tree items of PATH below \"Connections\" after "
           "start-up,\n"
           "                 e.g. \"localhost/File Systems\"\n"
           "  --screenshot FILE\n"
           "                 grab the main window into FILE after the delay, then quit\n"
           "  --screenshot-delay MS\n"
           "                 the delay before the screenshot (default 1500)\n";
}

bool CKxAdminApp::ParseCommandLine(const QStringList &args, KxCommandLine *line, QString *error) {
    *line = KxCommandLine{};
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--screenshot") && i + 1 < args.size()) {
            line->screenshot_path = args[++i];
            continue;
        }
        if (args[i] == QStringLiteral("--select") && i + 1 < args.size()) {
            line->select_path = args[++i];
            continue;
        }
        if (args[i] == QStringLiteral("--screenshot-delay") && i + 1 < args.size()) {
            bool ok = false;
            line->screenshot_delay_ms = args[++i].toInt(&ok);
            if (ok && line->screenshot_delay_ms >= 0)
                continue;
        }
        *error = QString::fromLatin1(Usage());
        return false;
    }
    return true;
}

bool CKxAdminApp::InitInstance(const QStringList &args) {
    // Per-user settings (QSettings) live under the company and program names.
    QCoreApplication::setOrganizationName(QStringLiteral("Zenthor"));
    QCoreApplication::setApplicationName(QStringLiteral("kxntadmin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KX_PROGRAM_VERSION));
    // Lets the desktop match the window to the installed kxntadmin.desktop (its icon and name).
    QGuiApplication::setDesktopFileName(QStringLiteral("kxntadmin"));

    main_frame_ = new CKxAdminFrm();
    KxRestoreFrameState(*main_frame_);
    connect(main_frame_, &CKxAdminFrm::AboutRequested, this, &CKxAdminApp::OnAppAbout);

    QString error;
    if (!ParseCommandLine(args, &command_line_, &error)) {
        fputs(qPrintable(error), stderr);
        return false;
    }
    KxStartAdminLibrary();
    CkxAdminChildFrm *window = main_frame_->NewDocumentWindow();
    main_frame_->show();
    if (!command_line_.select_path.isEmpty() &&
        !window->TreeView()->SelectPath(command_line_.select_path))
        fprintf(stderr, "kxntadmin: no item %s below Connections\n",
                qPrintable(command_line_.select_path));
    return true;
}

int CKxAdminApp::ExitInstance() {
    delete main_frame_;
    KxStopAdminLibrary();
    return 0;
}

void CKxAdminApp::OnAppAbout() {
    CAboutDlg dialog(main_frame_);
    dialog.exec();
}
