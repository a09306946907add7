// The application: start-up (settings, main frame, admin library and log, the first document)
// and shutdown, and the command line.
#pragma once

#include "kxntadmin/frames.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QStringList>

struct KxCommandLine {
    QString screenshot_path; // --screenshot FILE: grab the main window into FILE, then quit
    int screenshot_delay_ms = 1500;
    QString select_path; // --select PATH: select these items below "Connections" at start-up
    QString command;     // --command NAME: run this menu command once the window is up
};

// Start of the admin API library for this program (vtadmin_program_start): module name
// "kxntadmin", VTAdmin_Init, the log "kxntadmin.log" with the "general" and "entry/exit"
// classes of the library's log module, and the system-log hook pointed at that log.
void KxStartAdminLibrary();
// VTAdmin_Teardown: closes every connection still open and the library's log.
void KxStopAdminLibrary();

class CKxAdminApp : public QObject {
    Q_OBJECT
public:
    CKxAdminApp();
    ~CKxAdminApp() override;

    // Start-up: settings, main frame, admin library and log, the first document. False, after
    // printing the usage, for a bad command line; `args` are the program's arguments, the
    // program name first.
    bool InitInstance(const QStringList &args);
    // Tears the admin library down; the exit status.
    int ExitInstance();
    void OnAppAbout();

    // The options; --help and --version are answered by main before the toolkit starts.
    static const char *Usage();
    static bool ParseCommandLine(const QStringList &args, KxCommandLine *line, QString *error);
    CKxAdminFrm *MainFrame() const { return main_frame_; }
    // The main window as shown, with the dialog open over it, if any, drawn where it stands.
    QPixmap Screenshot() const;
    const KxCommandLine &CommandLine() const { return command_line_; }

private:
    // Runs the menu command named by its tool tip ("Start", "Properties", "Export List") or
    // "About" in the focused pane, as a user's choice would.
    void RunNamedCommand(const QString &name);

    QPointer<CKxAdminFrm> main_frame_;
    KxCommandLine command_line_;
};
