// Per-user settings of the console, kept with QSettings under "Zenthor"/"kxntadmin": the main
// window's geometry and bars, the splitter between the tree and the list, and the four hosts
// most recently connected to through New Connection.
#pragma once

#include <QStringList>

class QMainWindow;
class QSplitter;

constexpr int kKxRecentHosts = 4;

// Newest first, at most kKxRecentHosts.
QStringList KxRecentHosts();
// Puts `host` first, dropping an older copy of it and the oldest beyond the limit.
void KxRememberHost(const QString &host);

void KxSaveFrameState(const QMainWindow &frame);
// False when nothing was saved yet (the frame keeps its own size).
bool KxRestoreFrameState(QMainWindow &frame);
void KxSaveSplitter(const QSplitter &splitter);
bool KxRestoreSplitter(QSplitter &splitter);
