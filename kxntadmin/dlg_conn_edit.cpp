#include "kxntadmin/dlg_conn_edit.h"

#include "kxntadmin/message_box.h"

#include "libvtadmin/vorud.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

CDlgConnEdit::CDlgConnEdit(QWidget *parent) : QDialog(parent), host_field_(new QComboBox(this)) {
    setWindowTitle(QStringLiteral("New Connection"));
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(QStringLiteral("Host Name or IP Address"), this);
    label->setBuddy(host_field_);
    layout->addWidget(label);
    host_field_->setEditable(true);
    host_field_->setInsertPolicy(QComboBox::NoInsert);
    host_field_->lineEdit()->setMaxLength(kHostMax);
    host_field_->setMinimumContentsLength(30);
    layout->addWidget(host_field_);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgConnEdit::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    host_field_->setFocus();
}

void CDlgConnEdit::SetRecentHosts(const QStringList &hosts) {
    host_field_->clear();
    host_field_->addItems(hosts);
    host_field_->setCurrentIndex(-1);
    host_field_->setEditText(QString());
}

void CDlgConnEdit::OnOK() {
    host_ = host_field_->currentText().trimmed().left(kHostMax);
    if (host_.isEmpty()) {
        KxShowMessage(this, QStringLiteral("Error"), QStringLiteral("No host name was specified"),
                      QMessageBox::Critical, false);
        return;
    }
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    char msg[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_NSConnect(host_.toLocal8Bit().constData(), msg);
    QApplication::restoreOverrideCursor();
    setEnabled(true);
    if (handle < 0) {
        KxShowMessage(this, QStringLiteral("Veltrane Connection"), QString::fromLocal8Bit(msg),
                      QMessageBox::Critical, true);
        return;
    }
    VTAdmin_NSDisconnect(handle);
    accept();
}
