#include "kxntadmin/user_settings.h"

#include <QMainWindow>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>

namespace {

const QString kRecentKey = QStringLiteral("Recent Hosts/Host%1");
const QString kGeometryKey = QStringLiteral("Main Window/Geometry");
const QString kBarsKey = QStringLiteral("Main Window/Bars");
const QString kStatusBarKey = QStringLiteral("Main Window/Status Bar");
const QString kSplitterKey = QStringLiteral("Navigation/Splitter");

// The settings are named here rather than by the application object, so that they are the
// same in tests and in any program that links the shell.
QSettings UserSettings() {
    return QSettings(QStringLiteral("Zenthor"), QStringLiteral("kxntadmin"));
}

} // namespace

QStringList KxRecentHosts() {
    QSettings settings = UserSettings();
    QStringList hosts;
    for (int i = 1; i <= kKxRecentHosts; ++i) {
        QString host = settings.value(kRecentKey.arg(i)).toString();
        if (!host.isEmpty() && !hosts.contains(host))
            hosts << host;
    }
    return hosts;
}

void KxRememberHost(const QString &host) {
    QStringList hosts = KxRecentHosts();
    hosts.removeAll(host);
    hosts.prepend(host);
    QSettings settings = UserSettings();
    for (int i = 1; i <= kKxRecentHosts; ++i) {
        if (i <= hosts.size())
            settings.setValue(kRecentKey.arg(i), hosts[i - 1]);
        else
            settings.remove(kRecentKey.arg(i));
    }
}

void KxSaveFrameState(const QMainWindow &frame) {
    QSettings settings = UserSettings();
    settings.setValue(kGeometryKey, frame.saveGeometry());
    settings.setValue(kBarsKey, frame.saveState());
    settings.setValue(kStatusBarKey, frame.statusBar()->isVisibleTo(&frame));
}

bool KxRestoreFrameState(QMainWindow &frame) {
    QSettings settings = UserSettings();
    if (!settings.contains(kGeometryKey))
        return false;
    frame.restoreGeometry(settings.value(kGeometryKey).toByteArray());
    frame.restoreState(settings.value(kBarsKey).toByteArray());
    frame.statusBar()->setVisible(settings.value(kStatusBarKey, true).toBool());
    return true;
}

void KxSaveSplitter(const QSplitter &splitter) {
    UserSettings().setValue(kSplitterKey, splitter.saveState());
}

bool KxRestoreSplitter(QSplitter &splitter) {
    QSettings settings = UserSettings();
    return settings.contains(kSplitterKey) &&
           splitter.restoreState(settings.value(kSplitterKey).toByteArray());
}
