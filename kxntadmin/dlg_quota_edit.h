// "User/Group Quota", the quota editor: a new user, group or directory quota on the active file
// system at or above the current node, or new limits for an existing one. The edited record
// goes to the tree as a create on the quota sub-folder or a save on the quota's node.
#pragma once

#include "libvtadmin/vtadmin_quota_nodes.h"

#include <QAbstractButton>
#include <QDialog>
#include <QLineEdit>

#include <map>

class CDlgQuotaEdit : public QDialog {
    Q_OBJECT
public:
    // Control ids.
    enum : int {
        kUserName = 1002,
        kGroup = 1003,
        kGroupName = 1004,
        kHard = 1005,
        kData = 1006,
        kSoft = 1007,
        kDirectory = 1008,
        kDays = 1009,
        kHours = 1010,
        kMinutes = 1011,
        kFiles = 1012,
        kUser = 1013,
    };
    // Limits and grace period of a new quota: 1G, 900M, 30 days.
    static constexpr uint64_t kNewHard = 1073741824;
    static constexpr uint64_t kNewSoft = 943718400;
    static constexpr uint32_t kNewGrace = 43200;

    explicit CDlgQuotaEdit(QWidget *parent = nullptr);

    // The edit entry: opens the editor on `quota` (null: a new quota) and runs it.
    static int Edit(QWidget *parent, VTATree *tree, VTAObj *quota);
    // Opening: finds the active file system at or above the current node and sets up the
    // record (a copy of the quota's, or a new one with the defaults). False after its message
    // when there is no tree or no such file system: the editor does not open.
    bool OnInitDialog(VTATree *tree, VTAObj *quota);
    // Marks the option button of `type` and enables its name or directory field.
    void ShowType(uint32_t type);
    void ShowRecord();
    // Checks the fields in order (the first fault is reported and gets the focus), then
    // creates or saves the quota; closes on success.
    void OnOK();

    QAbstractButton *Button(int id) const { return buttons_.at(id); }
    QLineEdit *Field(int id) const { return fields_.at(id); }
    const VTA_QUOTA_EDIT &Record() const { return record_; }
    uint32_t EditMode() const { return edit_mode; }
    // The control that the last refused OK gave the focus to (0: none).
    int FocusedControl() const { return focused_; }

private:
    QLineEdit *AddField(int id, QLineEdit *field);
    // Reports a refused entry under "Quota Editor" and puts the focus on `control` (0: none).
    void Refuse(const char *text, int control);
    bool ReadName(int field, const char *missing, const char *too_long);
    bool ReadSize(int field, const char *invalid, uint64_t *value);
    void Fail(const char *text);

    VTATree *tree_ = nullptr;
    VTAObj *quota_ = nullptr;
    VTAObj *fs_node_ = nullptr;
    uint32_t edit_mode = 0;
    uint32_t shown_type_ = 0;
    int focused_ = 0;
    VTA_QUOTA_EDIT record_{};
    std::map<int, QAbstractButton *> buttons_;
    std::map<int, QLineEdit *> fields_;
};
