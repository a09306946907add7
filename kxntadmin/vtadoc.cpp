#include "kxntadmin/kxadmin_shell.h"

#include "libutil/install_paths.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

CVTADoc::CVTADoc(QObject *parent) : QObject(parent) {}

CVTADoc::~CVTADoc() {
    OnCloseDocument();
}

void CVTADoc::OnNewDocument() {
    tree_ = VTATree_Create();
    if (tree_ == nullptr) {
        KxShowMessage(nullptr, QStringLiteral("Error"),
                      QStringLiteral("Out of memory (VT Admin Obj Tree)"), QMessageBox::Critical,
                      true);
        return;
    }
    VTATree_SetOwner(tree_, this);
    VTATree_SetNotify(tree_, &CVTADoc::TreeNotify);
}

void CVTADoc::OnCloseDocument() {
    VTATree_Destroy(&tree_);
}

void CVTADoc::AddView(CKxAdminView *view) {
    views_.push_back(view);
}

void CVTADoc::RemoveView(CKxAdminView *view) {
    std::erase(views_, view);
}

void CVTADoc::AddFrame(CkxAdminChildFrm *frame) {
    frames_.push_back(frame);
}

void CVTADoc::RemoveFrame(CkxAdminChildFrm *frame) {
    std::erase(frames_, frame);
    if (frames_.empty()) {
        OnCloseDocument();
        deleteLater();
    }
}

void CVTADoc::TreeNotify(VTANote *note) {
    auto *doc = static_cast<CVTADoc *>(note->VTA_Tree->VTA_Owner);
    if (doc != nullptr)
        doc->UpdateAllViews(note);
}

void CVTADoc::UpdateAllViews(const VTANote *note) {
    // Status notices concern each document window once, not each of its two views.
    if (note->VTA_Code == VTA_NOTE_MESSAGE) {
        for (CkxAdminChildFrm *frame : std::vector(frames_))
            frame->OnStatusNotice(note->VTA_Obj);
        return;
    }
    if (note->VTA_Code == VTA_NOTE_INSERTED || note->VTA_Code == VTA_NOTE_UPDATED)
        for (CkxAdminChildFrm *frame : frames_)
            frame->OnEntryNote();
    // A view may go away while a notification is handled; iterate over a copy.
    for (CKxAdminView *view : std::vector(views_))
        if (std::find(views_.begin(), views_.end(), view) != views_.end())
            view->OnUpdate(note);
}

QString CVTADoc::HelpPagePath() {
    return QString::fromLocal8Bit(help_dir()) + QStringLiteral("/ZudIzedaZivu/ZudIzedaZivu.htm");
}

void CVTADoc::OnHelp() {
    QString path = HelpPagePath();
    QString text;
    if (!QFileInfo(path).isFile())
        text = QStringLiteral("Help files have not been installed\nor cannot be found.\n");
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        text = QStringLiteral("Failed to launch help file.\n");
    else
        return;
    KxShowMessage(nullptr, QStringLiteral("Veltrane Help"), text, QMessageBox::Information, false);
}
