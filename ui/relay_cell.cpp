#include "ui/relay_cell.h"

#include <QApplication>
#include <QMouseEvent>

namespace tarnwick::ui {

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

void ClickLabel::mousePressEvent(QMouseEvent* event) { gesture_.press(event); }

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (gesture_.release(this, event)) emit clicked();
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
    paint(link::colour_yellow, link::text_unknown);
}

QColor RelayCell::to_qcolor(link::Colour colour) {
    if (colour == link::colour_grey_text)
        return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

void RelayCell::paint(link::Colour colour, const QString& text) {
    if (colour != colour_) {
        colour_ = colour;
        QPalette pal = palette();
        pal.setColor(QPalette::Window, to_qcolor(colour));
        setPalette(pal);
    }
    if (Label2->text() != text) Label2->setText(text);
}

void RelayCell::mousePressEvent(QMouseEvent* event) { gesture_.press(event); }

void RelayCell::mouseReleaseEvent(QMouseEvent* event) {
    if (gesture_.release(this, event)) emit clicked(relay_);
}

}  // namespace tarnwick::ui
