#pragma once

// The window's message boxes, recorded instead of shown.

#include <QStringList>
#include <QWidget>
#include <functional>

#include "names/name_file.h"
#include "ui/message_boxes.h"

namespace tarnwick::test {

class RecordingBoxes : public ui::OperatorMessages {
public:
    void port_error(const QString& text) override { record("port: " + text); }
    void file_not_found(const std::string& path) override {
        record("File Not Found: " + QString::fromStdString(path) + " not found.");
    }
    void file_created() override { record(QStringLiteral("Tarnwick: 名称文件被创建。")); }
    void name_not_saved(const QString& text) override { record("not saved: " + text); }
    void name_file_unwritable(const std::string& path, const std::string& reason) override {
        record("Tarnwick: " +
               QString::fromStdString(names::name_file_unwritable_text(path, reason)));
    }
    void file_converted(const std::string& path, const std::string& backup) override {
        record("converted: " + QString::fromStdString(path) + " -> " +
               QString::fromStdString(backup));
    }
    void file_not_converted(const std::string& path, std::size_t line,
                            const std::string& text) override {
        record(QStringLiteral("not converted: %1 line %2: %3")
                   .arg(QString::fromStdString(path))
                   .arg(line)
                   .arg(QString::fromStdString(text)));
    }
    void name_file_notice(const std::string& text) override {
        record("Tarnwick: " + QString::fromStdString(text));
    }

    QStringList texts;
    // Whether this window was on the screen when each message came.
    QWidget* watched = nullptr;
    std::vector<bool> window_visible;

private:
    void record(const QString& text) {
        texts << text;
        window_visible.push_back(watched && watched->isVisible());
    }
};

}  // namespace tarnwick::test
