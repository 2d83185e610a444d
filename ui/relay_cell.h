#pragma once

#include <QFrame>
#include <QLabel>
#include <QTextLayout>
#include <cstdint>

#include "panel/relay_state.h"

namespace tarnwick::ui {

// A cell colour as the board panel has always stored it: 0x00BBGGRR, or
// 0x800000nn for system colour nn. A click reads the state back from these
// values, compared exactly.
using Colour = std::uint32_t;
inline constexpr Colour colour_green = 0x0000FF00;
inline constexpr Colour colour_red = 0x000000FF;
inline constexpr Colour colour_yellow = 0x0000FFFF;
inline constexpr Colour colour_grey_text = 0x80000011;  // system colour 17: grey (disabled) text

// Status label texts; the leading blanks line them up under "状态未知".
inline const QString text_energized = QStringLiteral("  吸合");
inline const QString text_released = QStringLiteral("  断开");
inline const QString text_unknown = QStringLiteral("状态未知");

// How a cell shows each relay state: its box colour and status label.
struct CellLook {
    Colour colour;
    QString text;
};
[[nodiscard]] CellLook cell_look(link::RelayState state);
// The state a box colour stands for: green and red are the known states.
[[nodiscard]] link::RelayState state_of(Colour colour);

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

    void paint(Colour colour, const QString& text);
    [[nodiscard]] Colour colour() const { return colour_; }
    [[nodiscard]] QLabel* label() const { return Label2; }
    [[nodiscard]] int relay() const { return relay_; }

    // The colour a cell value stands for on this screen.
    static QColor to_qcolor(Colour colour);

  signals:
    void clicked(int relay);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    int relay_;
    Colour colour_ = ~Colour{0};  // nothing painted yet
    QLabel* Label2;
    ClickGesture gesture_;
};

}  // namespace tarnwick::ui
