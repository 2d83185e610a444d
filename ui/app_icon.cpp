#include "ui/app_icon.h"

#include <QDirIterator>

namespace tarnwick::ui {

QIcon app_icon() {
    QIcon icon;
    for (QDirIterator png(QStringLiteral(":/icon"), {QStringLiteral("*.png")}); png.hasNext();)
        icon.addFile(png.next());
    return icon;
}

}  // namespace tarnwick::ui
