#include "ui/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace tarnwick::ui {

void MessageBoxes::port_error(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), text, QMessageBox::Ok,
                    parent_);
    box.exec();
}

}  // namespace tarnwick::ui
