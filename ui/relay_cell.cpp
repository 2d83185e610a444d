#include "ui/relay_cell.h"

#include <QApplication>
#include <QFontInfo>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

namespace tarnwick::ui {

CellLook cell_look(link::RelayState state) {
    switch (state) {
        case link::RelayState::energized:
            return {colour_green, text_energized};
        case link::RelayState::released:
            return {colour_red, text_released};
        case link::RelayState::port_closed:
            return {colour_grey_text, text_unknown};
        case link::RelayState::unknown:
            break;
    }
    return {colour_yellow, text_unknown};
}

link::RelayState state_of(Colour colour) {
    switch (colour) {
        case colour_green:
            return link::RelayState::energized;
        case colour_red:
            return link::RelayState::released;
        case colour_grey_text:
            return link::RelayState::port_closed;
        default:
            return link::RelayState::unknown;
    }
}

void ClickGesture::press(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

bool ClickGesture::release(const QWidget* widget, QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       widget->rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    return click;
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    gesture_.press(event);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (gesture_.release(this, event)) emit clicked();
}

int NameLabel::line_pitch() const {
    return std::max(1, QFontInfo(font()).pixelSize());
}

int NameLabel::lines_that_fit() const {
    return contentsRect().height() / line_pitch();
}

void NameLabel::lay_out(QTextLayout& layout) const {
    QTextOption option(alignment());
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setFont(font());
    layout.setTextOption(option);
    layout.beginLayout();
    const int pitch = line_pitch();
    for (int y = 0;; y += pitch) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(contentsRect().width());
        line.setPosition(QPointF(0, y));
    }
    layout.endLayout();
}

QStringList NameLabel::lines() const {
    if (text().isEmpty()) return {};
    QTextLayout layout(text());
    lay_out(layout);
    QStringList out;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        QString part = text().mid(line.textStart(), line.textLength());
        while (part.endsWith(QLatin1Char(' '))) part.chop(1);
        out << part;
    }
    return out;
}

int NameLabel::visible_lines() const {
    return std::min(static_cast<int>(lines().size()), lines_that_fit());
}

void NameLabel::set_name(const QString& name) {
    setText(name);
    setToolTip(lines().size() > lines_that_fit() ? name : QString());
}

void NameLabel::paintEvent(QPaintEvent*) {
    QTextLayout layout(text());
    lay_out(layout);
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const int shown = std::min(layout.lineCount(), lines_that_fit());
    for (int i = 0; i < shown; ++i) layout.lineAt(i).draw(&painter, contentsRect().topLeft());
}

RelayCell::RelayCell(int relay, QWidget* parent)
    : QFrame(parent), relay_(relay), Label2(new QLabel(this)) {
    setObjectName(QStringLiteral("Picture1_%1").arg(relay));
    Label2->setObjectName(QStringLiteral("Label2_%1").arg(relay));
    // A picture box's default look: a sunken single border.
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::TabFocus);
    // Clicks on the status label fall through to the box.
    Label2->setAttribute(Qt::WA_TransparentForMouseEvents);
    Label2->setAutoFillBackground(false);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // as the platform label draws
    paint(colour_yellow, text_unknown);
}

QColor RelayCell::to_qcolor(Colour colour) {
    if (colour == colour_grey_text)
        return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

void RelayCell::paint(Colour colour, const QString& text) {
    if (colour != colour_) {
        colour_ = colour;
        QPalette pal = palette();
        pal.setColor(QPalette::Window, to_qcolor(colour));
        setPalette(pal);
    }
    if (Label2->text() != text) Label2->setText(text);
}

void RelayCell::mousePressEvent(QMouseEvent* event) {
    gesture_.press(event);
}

void RelayCell::mouseReleaseEvent(QMouseEvent* event) {
    if (gesture_.release(this, event)) emit clicked(relay_);
}

}  // namespace tarnwick::ui
