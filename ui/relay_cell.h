#pragma once

#include <QFrame>
#include <QLabel>
#include <QTextLayout>

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

// A channel name (Label4). Wraps as the platform label does: at word
// boundaries, and between any two characters where a word is wider than the
// box. Only whole lines are drawn, one per em of the font (two 15 pt lines in
// a 615-twip box); a name that needs more shows whole in the tooltip.
class NameLabel : public ClickLabel {
    Q_OBJECT
  public:
    using ClickLabel::ClickLabel;

    // Sets the text, and the tooltip to the whole text when it does not fit.
    void set_name(const QString& name);
    // The text's lines at the box's width, trailing blanks left out.
    [[nodiscard]] QStringList lines() const;
    // How many lines the box shows.
    [[nodiscard]] int visible_lines() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    [[nodiscard]] int line_pitch() const;
    [[nodiscard]] int lines_that_fit() const;
    void lay_out(QTextLayout& layout) const;
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
