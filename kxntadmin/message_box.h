// The shell's one message-box function. Tests install a capture so that messages are recorded
// instead of blocking in a modal loop.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

struct KxMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    bool on_top; // kept above other windows
};
using KxMessageCapture = void (*)(const KxMessage &message);

// With a capture installed, messages go to it and no box is shown; null restores the boxes.
void KxSetMessageCapture(KxMessageCapture capture);
void KxShowMessage(QWidget *parent, const QString &title, const QString &text,
                   QMessageBox::Icon icon, bool on_top);
