#include "kxntadmin/dlg_about.h"

#include "libutil/program_version.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>

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
