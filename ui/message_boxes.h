#pragma once

#include <QMessageBox>
#include <QWidget>

#include "names/profile_file.h"
#include "panel/panel_view.h"

namespace tarnwick::ui {

// Everything the window tells the operator goes through here, so that tests
// can count the reports without a display.
class OperatorMessages : public link::LinkMessages, public names::Messages {
public:
    // The name dialog could not store a name; the text says why.
    virtual void name_not_saved(const QString& text) = 0;
};

// Modal message boxes.
class MessageBoxes : public OperatorMessages {
public:
    explicit MessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void set_parent(QWidget* parent) { parent_ = parent; }
    // From now on each message is appended to this file as one line, "title",
    // a tab, then the text with its line breaks as "\n", instead of being
    // shown (a start-up check without an operator; see ui/main.cpp).
    void write_to(const QString& file) { file_ = file; }

    void port_error(const QString& text) override;
    void file_not_found(const std::string& path) override;
    void file_created() override;
    void name_not_saved(const QString& text) override;
    void name_file_unwritable(const std::string& path, const std::string& reason) override;
    void file_converted(const std::string& path, const std::string& backup) override;
    void file_not_converted(const std::string& path, std::size_t line,
                            const std::string& text) override;
    void name_file_notice(const std::string& text) override;

private:
    void show(QMessageBox::Icon icon, const QString& title, const QString& text);
    QWidget* parent_;
    QString file_;
};

}  // namespace tarnwick::ui
