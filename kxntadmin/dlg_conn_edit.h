// "New Connection": asks for a host name or address and proves that the host's port mapper
// answers before the caller adds a computer for it.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QStringList>

class CDlgConnEdit : public QDialog {
    Q_OBJECT
public:
    explicit CDlgConnEdit(QWidget *parent = nullptr);

    // The hosts offered in the field's drop-down list (the field itself stays empty).
    void SetRecentHosts(const QStringList &hosts);
    // OK: an empty field is refused; otherwise the dialog, disabled under the wait cursor,
    // connects to the host's name server. It closes with Accepted when that works and stays
    // open with the connection's message when it does not.
    void OnOK();
    // The host, after OK: the field's text without surrounding blanks, at most 255 characters.
    QString Host() const { return host_; }
    QComboBox *HostField() const { return host_field_; }

    static constexpr int kHostMax = 255;

private:
    QComboBox *host_field_; // 1000
    QString host_;
};
