#include "kxntadmin/tests/support_shell.h"

#include "libutil/fatal.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// One application object for the whole test program.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Per-user settings go to a folder of the test program's own, never the user's.
        settings_dir_ = new QTemporaryDir();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir_->path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings_dir_->path());
        static int argc = 1;
        static char name[] = "kxshell_test";
        static char *argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        delete settings_dir_;
    }

private:
    QApplication *app_ = nullptr;
    QTemporaryDir *settings_dir_ = nullptr;
};
const ::testing::Environment *const qt_environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::vector<KxMessage> recorded;

void record_message(const KxMessage &message) {
    recorded.push_back(message);
}

void fill_test_row(VTA_LV_ROW *row, const VTAObj *child) {
    row->VTA_ColCount = 3;
    if (row->VTA_RowNbr == 0) {
        bounded_format(row->VTA_Cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "Name");
        bounded_format(row->VTA_Cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "Type");
        bounded_format(row->VTA_Cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "Size");
        row->VTA_Cells[2].VTA_RightAlign = 1;
        return;
    }
    int children = 0;
    for (VTAObj *c = child->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        ++children;
    bounded_format(row->VTA_Cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "%s", child->VTA_Name);
    bounded_format(row->VTA_Cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "%s",
                   VTAObj_TypeName(child->VTA_Type));
    bounded_format(row->VTA_Cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "%d", children);
}

} // namespace

int saves_asked = 0;

MessageRecorder::MessageRecorder() {
    recorded.clear();
    KxSetMessageCapture(record_message);
}

MessageRecorder::~MessageRecorder() {
    KxSetMessageCapture(nullptr);
    recorded.clear();
}

const std::vector<KxMessage> &MessageRecorder::messages() const {
    return recorded;
}

Lines MessageRecorder::boxes() const {
    Lines lines;
    for (const KxMessage &m : recorded) {
        const char *icon = m.icon == QMessageBox::Information ? "information"
                           : m.icon == QMessageBox::Critical  ? "critical"
                           : m.icon == QMessageBox::Question  ? "question"
                                                              : "warning";
        lines.push_back(m.title.toStdString() + "|" + m.text.toStdString() + "|" + icon +
                        (m.on_top ? " on top" : ""));
    }
    return lines;
}

void MessageRecorder::clear() {
    recorded.clear();
}

int32_t TestFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                         size_t msg_size) {
    switch (op) {
    case VTA_OP_REDISPLAY:
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return VTA_OK;
    case VTA_OP_REFRESH:
        for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
            if (child->VTA_Type != VTA_OBJ_DUMMY)
                VTAObj_Touch(child);
        return VTA_OK;
    case VTA_OP_SAVE:
        ++saves_asked;
        return VTA_OK;
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR: {
        auto *row = static_cast<VTA_LV_ROW *>(data);
        const VTAObj *child = op == VTA_OP_LV_ROW_GET
                                  ? row->VTA_Node
                                  : VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
        if (child == nullptr) {
            bounded_format(msg, msg_size, "No more rows");
            return VTA_ERR_NOT_FOUND;
        }
        if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr != 0)
            row->VTA_Node = const_cast<VTAObj *>(child);
        fill_test_row(row, child);
        return VTA_OK;
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

VTAObj *add_test_node(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, bool folder,
                      VTAObj_OpFunc op_func, bool lazy) {
    VTAObj *node = VTAObj_Alloc(op_func);
    EXPECT_NE(node, nullptr);
    VTAObj_SetName(node, name);
    node->VTA_Type = kind;
    node->VTA_IsFolder = folder ? 1 : 0;
    node->VTA_LoadOnDemand = lazy ? 1 : 0;
    EXPECT_EQ(VTAObj_Insert(tree, parent, node), VTA_OK);
    return node;
}

ShellWindow::ShellWindow(VTAObj_OpFunc root_op) {
    // Each window starts from no saved settings (splitter, recent hosts).
    QSettings(QStringLiteral("Zenthor"), QStringLiteral("kxntadmin")).clear();
    frame = new CKxAdminFrm();
    doc = new CVTADoc(frame);
    doc->OnNewDocument();
    doc->Tree()->VTA_Root->VTA_OpFunc = root_op;
    child = frame->OpenDocumentWindow(doc);
    frame->show();
}

ShellWindow::~ShellWindow() {
    delete frame;
}

Lines item_texts(const CKxAdminTreeView *view) {
    Lines texts;
    std::function<void(QTreeWidgetItem *, int)> walk = [&](QTreeWidgetItem *item, int depth) {
        texts.push_back(std::string(static_cast<size_t>(depth) * 2, ' ') +
                        item->text(0).toStdString());
        for (int i = 0; i < item->childCount(); ++i)
            walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        walk(view->topLevelItem(i), 0);
    return texts;
}

Lines list_lines(const CKxListModel *model) {
    Lines lines(1);
    for (int c = 0; c < model->columnCount(); ++c)
        lines[0] += (c ? "|" : "") +
                    model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toStdString();
    for (int r = 0; r < model->rowCount(); ++r) {
        std::string line;
        for (int c = 0; c < model->columnCount(); ++c)
            line += (c ? "|" : "") + model->index(r, c).data().toString().toStdString();
        lines.push_back(line);
    }
    return lines;
}

void make_current(VTATree *tree, VTAObj *node) {
    char msg[256] = "";
    ASSERT_EQ(VTATree_SetCurrent(tree, node, msg, sizeof msg), VTA_OK) << msg;
}

void send_status(VTATree *tree, bool busy, const char *text) {
    VTAObj *notice = VTAObj_Alloc(nullptr);
    ASSERT_NE(notice, nullptr);
    notice->VTA_Type = VTA_OBJ_MESSAGE;
    VTA_MESSAGE_DATA data{};
    data.VTA_Busy = busy ? 1 : 0;
    bounded_format(data.VTA_Text, sizeof data.VTA_Text, "%s", text);
    VTAObj_SetData(notice, &data, sizeof data);
    VTATree_Notify(tree, VTA_NOTE_MESSAGE, notice);
    VTAObj_Free(&notice);
}
