#include "ui/message_boxes.h"

#include <QApplication>
#include <QFile>

#include "names/encoding_mend.h"
#include "names/name_file.h"

namespace tarnwick::ui {

void MessageBoxes::show(QMessageBox::Icon icon, const QString& title, const QString& text) {
    if (!file_.isEmpty()) {
        QFile file(file_);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write((title + '\t' + QString(text).replace('\n', QStringLiteral("\\n")) + '\n')
                           .toUtf8());
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent_);
    box.exec();
}

void MessageBoxes::port_error(const QString& text) {
    show(QMessageBox::Critical, QApplication::applicationName(), text);
}

void MessageBoxes::file_not_found(const std::string& path) {
    show(QMessageBox::Critical, QString::fromUtf8(names::file_not_found_title),
         QString::fromStdString(names::file_not_found_text(path)));
}

void MessageBoxes::file_created() {
    show(QMessageBox::NoIcon, QApplication::applicationName(),
         QString::fromUtf8(names::file_created_text));
}

void MessageBoxes::name_not_saved(const QString& text) {
    show(QMessageBox::Warning, QApplication::applicationName(), text);
}

void MessageBoxes::name_file_unwritable(const std::string& path, const std::string& reason) {
    show(QMessageBox::Warning, QApplication::applicationName(),
         QString::fromStdString(names::name_file_unwritable_text(path, reason)));
}

void MessageBoxes::file_converted(const std::string& path, const std::string& backup) {
    show(QMessageBox::Information, QApplication::applicationName(),
         QString::fromStdString(names::file_converted_text(path, backup)));
}

void MessageBoxes::file_not_converted(const std::string& path, std::size_t line,
                                      const std::string& text) {
    show(QMessageBox::Warning, QApplication::applicationName(),
         QString::fromStdString(names::file_not_converted_text(path, line, text)));
}

void MessageBoxes::name_file_notice(const std::string& text) {
    show(QMessageBox::Warning, QApplication::applicationName(), QString::fromStdString(text));
}

}  // namespace tarnwick::ui
