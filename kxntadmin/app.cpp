#include "kxntadmin/app.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/dlg_about.h"
#include "kxntadmin/user_settings.h"

#include "libvtadmin/vtadminlib.h"

#include "libutil/program_version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QTimer>

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
    return "usage: kxntadmin [--select PATH] [--command NAME]\n"
           "                 [--screenshot FILE [--screenshot-delay MS]]\n"
           "       kxntadmin --help | --version\n"
           "  --select PATH  select the tree items of PATH below \"Connections\" after "
           "start-up,\n"
           "                 e.g. \"localhost/File Systems\"\n"
           "  --command NAME run a command once the window is up, as if chosen from the menu:\n"
           "                 New, Open, Save, Close, Delete, Start, Failover, Stop, Activate,\n"
           "                 Refresh, Properties, \"Export List\" or About\n"
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
        if (args[i] == QStringLiteral("--command") && i + 1 < args.size()) {
            line->command = args[++i];
            bool known = line->command == QStringLiteral("About") ||
                         line->command == QStringLiteral("Export List");
            for (const KxCommand &command : KxCommands())
                known = known || line->command == QLatin1String(command.tip);
            if (known)
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
    if (!command_line_.command.isEmpty())
        QTimer::singleShot(0, this, [this] { RunNamedCommand(command_line_.command); });
    return true;
}

void CKxAdminApp::RunNamedCommand(const QString &name) {
    if (main_frame_ == nullptr)
        return;
    if (name == QStringLiteral("About")) {
        OnAppAbout();
        return;
    }
    main_frame_->UpdateCommandUI();
    int id = ID_EXPORT_LIST;
    for (const KxCommand &command : KxCommands())
        if (name == QLatin1String(command.tip))
            id = command.menu_id;
    QAction *action = main_frame_->Action(id);
    if (!action->isEnabled()) {
        fprintf(stderr, "kxntadmin: %s is not available there\n", qPrintable(name));
        return;
    }
    action->trigger();
}

QPixmap CKxAdminApp::Screenshot() const {
    QPixmap shot = main_frame_->grab();
    QWidget *dialog = QApplication::activeModalWidget();
    if (dialog != nullptr && dialog != main_frame_) {
        // A display without a window manager (Xvfb) draws no title bars: the dialog's title
        // goes on a plain caption above it.
        const QPoint at = main_frame_->mapFromGlobal(dialog->mapToGlobal(QPoint(0, 0)));
        const QPalette palette = dialog->palette();
        const int caption = dialog->fontMetrics().height() + 8;
        const QRect bar(at.x() - 1, at.y() - caption, dialog->width() + 2, caption);
        QPainter painter(&shot);
        painter.fillRect(bar, palette.color(QPalette::Highlight));
        painter.setPen(palette.color(QPalette::HighlightedText));
        painter.drawText(bar.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         dialog->windowTitle());
        painter.drawPixmap(at, dialog->grab());
        painter.setPen(palette.color(QPalette::Highlight));
        painter.drawRect(bar.x(), at.y(), bar.width() - 1, dialog->height());
    }
    return shot;
}

int CKxAdminApp::ExitInstance() {
    delete main_frame_;
    KxStopAdminLibrary();
    return 0;
}

void CKxAdminApp::OnAppAbout() {
    CAboutDlg dialog(main_frame_);
    KxRunDialog(dialog);
}
