#include "kxntadmin/kxadmin_shell.h"

#include "libutil/program_version.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>

// ---- About box ----

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Veltrane Administration"));
    auto *layout = new QGridLayout(this);
    auto *icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/kxntadmin.svg")).pixmap(32, 32));
    layout->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    layout->addWidget(new QLabel(QStringLiteral("Veltrane\u00ae"), this), 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("Veltrane Administration"), this), 1, 1);
    layout->addWidget(new QLabel(QStringLiteral("Version"), this), 2, 1);
    layout->addWidget(new QLabel(QStringLiteral(KX_PROGRAM_VERSION), this), 2, 2);
    layout->addWidget(new QLabel(QStringLiteral("Zenthor\u00ae"), this), 3, 1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons, 4, 0, 1, 3);
}

// ---- Application ----

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
