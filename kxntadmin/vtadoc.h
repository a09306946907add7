// The document: owns the admin object tree and relays its notifications, status notices to the
// document windows and everything else to the views.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QObject>
#include <QString>

#include <vector>

class CkxAdminChildFrm;

// What the document relays to its views: every tree notification except the status notices.
class CKxAdminView {
public:
    virtual ~CKxAdminView() = default;
    virtual void OnInitialUpdate() = 0;
    virtual void OnUpdate(const VTANote *note) = 0;
};

class CVTADoc : public QObject {
    Q_OBJECT
public:
    explicit CVTADoc(QObject *parent = nullptr);
    ~CVTADoc() override;

    // Creates the tree with its "Connections" root. Without memory for it the document stays
    // up without a tree after one message.
    void OnNewDocument();
    // Destroys the tree (every removal is still announced to the views left).
    void OnCloseDocument();
    VTATree *Tree() const { return tree_; }
    QString Title() const { return QStringLiteral("Navigation"); }

    void AddView(CKxAdminView *view);
    void RemoveView(CKxAdminView *view);
    void AddFrame(CkxAdminChildFrm *frame);
    // The last window gone closes the document.
    void RemoveFrame(CkxAdminChildFrm *frame);
    void UpdateAllViews(const VTANote *note);

    // "Administrator Tool Help": opens the help page in the help directory.
    void OnHelp();
    static QString HelpPagePath();

    VTAObj *context_node = nullptr; // node of the last context menu

private:
    static void TreeNotify(VTANote *note);

    VTATree *tree_ = nullptr;
    std::vector<CKxAdminView *> views_;
    std::vector<CkxAdminChildFrm *> frames_;
};
