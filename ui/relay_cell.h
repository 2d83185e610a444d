#pragma once

#include <QFrame>
#include <QLabel>

#include "link/panel_view.h"

namespace tarnwick::ui {

// A click as the operator means it: left button pressed and released inside
// the same control.
class ClickGesture {
public:
    void press(QMouseEvent* event);
    // True when this release completes a click on the widget.
    bool release(const QWidget* widget, QMouseEvent* event);

private:
    bool pressed_ = false;
};

// A label that reports a click (press and release inside it).
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    ClickGesture gesture_;
};

// One relay cell: a coloured box (Picture1) holding its status label (Label2).
// The box colour is the relay's state; a click anywhere on the cell, label
// included, is a click on the box.
class RelayCell : public QFrame {
    Q_OBJECT
public:
    RelayCell(int relay, QWidget* parent);

    void paint(link::Colour colour, const QString& text);
    [[nodiscard]] link::Colour colour() const { return colour_; }
    [[nodiscard]] QLabel* label() const { return Label2; }
    [[nodiscard]] int relay() const { return relay_; }

    // The colour a cell value stands for on this screen.
    static QColor to_qcolor(link::Colour colour);

signals:
    void clicked(int relay);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int relay_;
    link::Colour colour_ = ~link::Colour{0};  // nothing painted yet
    QLabel* Label2;
    ClickGesture gesture_;
};

}  // namespace tarnwick::ui
