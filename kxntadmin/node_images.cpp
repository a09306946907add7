#include "kxntadmin/node_images.h"

#include "kxntadmin/message_box.h"

#include <QPixmap>

namespace {

// Image of each node kind, by kind number; the debug-flag pair follows the kinds.
const char *const kKindImages[VTA_OBJ_LAST + 1] = {
    "unknown",       // 0 <Invalid>
    "unknown",       // 1 <Free>
    "unknown",       // 2 <Dummy>
    "connections",   // 3 status notice
    "value",         // 4 Value
    "connections",   // 5 All
    "flag_clear",    // 6 debug flag: replaced by the set or clear image of its value
    "computer",      // 7
    "filesystems",   // 8
    "fs_active",     // 9
    "fs_standby",    // 10
    "fs_down",       // 11
    "disks",         // 12
    "disk",          // 13
    "stripe_groups", // 14
    "sg_online",     // 15
    "sg_offline",    // 16
    "sg_disabled",   // 17
    "quotas",        // 18
    "quota_user",    // 19 "Users & Groups" folder
    "quota_user",    // 20
    "quota_group",   // 21
    "quota_dir",     // 22 "Directories" folder
    "quota_dir",     // 23
    "clients",       // 24
    "clients",       // 25
    "qos",           // 26
    "qos",           // 27
    "debug",         // 28
    "unknown",       // 29 <Last>
};
constexpr int kFlagSetImage = VTA_OBJ_LAST + 1;
constexpr int kFlagClearImage = VTA_OBJ_LAST + 2;

} // namespace

bool CKxNodeImages::Load(const QString &dir) {
    images_.clear();
    std::vector<QString> names(std::begin(kKindImages), std::end(kKindImages));
    names.emplace_back(QStringLiteral("flag_set"));
    names.emplace_back(QStringLiteral("flag_clear"));
    for (const QString &name : names) {
        QString path = dir + QLatin1Char('/') + name + QStringLiteral(".svg");
        // QIcon defers loading; a pixmap shows now whether the image can be read at all.
        if (QPixmap(path).isNull()) {
            KxShowMessage(nullptr, QStringLiteral("Error"),
                          QStringLiteral("Error Loading Image List"), QMessageBox::Critical, true);
            return false;
        }
        images_.emplace_back(path);
    }
    return true;
}

QIcon CKxNodeImages::Icon(const VTAObj *node) const {
    int index = VTA_OBJ_ALL;
    if (node != nullptr) {
        if (node->VTA_Type > VTA_OBJ_LAST)
            return QIcon();
        index = static_cast<int>(node->VTA_Type);
        if (node->VTA_Type == VTA_OBJ_DEBUG_FLAG)
            index = node->VTA_Data[0] != 0 ? kFlagSetImage : kFlagClearImage;
    }
    return index < Count() ? images_[static_cast<size_t>(index)] : QIcon();
}
