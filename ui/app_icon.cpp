#include "ui/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace tarnwick::ui {

QIcon app_icon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    // The board: a dark green plate with a serial plug on its left edge.
    painter.setPen(QPen(QColor(20, 60, 30), 1));
    painter.setBrush(QColor(40, 110, 60));
    painter.drawRoundedRect(QRectF(3.5, 4.5, 26, 23), 3, 3);
    painter.setBrush(QColor(180, 180, 180));
    painter.drawRect(QRectF(0.5, 12.5, 3, 7));
    // Two rows of relay cells, some energized (green), some released (red).
    static const bool on[2][4] = {{true, false, true, true}, {false, true, false, false}};
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 4; ++col) {
            painter.setPen(QPen(Qt::black, 1));
            painter.setBrush(on[row][col] ? QColor(0, 255, 0) : QColor(255, 0, 0));
            painter.drawRect(QRectF(7.5 + 5.5 * col, 8.5 + 9 * row, 4, 6));
        }
    }
    painter.end();
    return QIcon(pixmap);
}

}  // namespace tarnwick::ui
