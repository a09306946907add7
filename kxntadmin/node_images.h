// The 16 x 16 image of every node kind, plus the set and clear images of a debug flag.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QIcon>
#include <QString>

#include <vector>

class CKxNodeImages {
public:
    // Loads the images from `dir` (the resource folder by default). On the first image that
    // cannot be loaded, shows "Error Loading Image List" and keeps the images loaded so far.
    bool Load(const QString &dir = QStringLiteral(":/icons"));
    // The image of a node: kinds 30 and above have none, a missing node gets the "All" image.
    QIcon Icon(const VTAObj *node) const;
    int Count() const { return static_cast<int>(images_.size()); }

private:
    std::vector<QIcon> images_;
};
