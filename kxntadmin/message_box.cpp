#include "kxntadmin/message_box.h"

namespace {
KxMessageCapture message_capture = nullptr;
}

void KxSetMessageCapture(KxMessageCapture capture) {
    message_capture = capture;
}

void KxShowMessage(QWidget *parent, const QString &title, const QString &text,
                   QMessageBox::Icon icon, bool on_top) {
    if (message_capture != nullptr) {
        message_capture(KxMessage{title, text, icon, on_top});
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    if (on_top)
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}
