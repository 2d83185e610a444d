#pragma once

#include <QWidget>

#include "link/panel_view.h"

namespace tarnwick::ui {

// Everything the window tells the operator goes through here, so that tests
// can count the reports without a display.
class OperatorMessages : public link::LinkMessages {};

// Modal message boxes, titled with the application's name.
class MessageBoxes : public OperatorMessages {
public:
    explicit MessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void set_parent(QWidget* parent) { parent_ = parent; }
    void port_error(const QString& text) override;

private:
    QWidget* parent_;
};

}  // namespace tarnwick::ui
