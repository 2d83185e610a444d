#pragma once

#include <QRect>
#include <QWidget>
#include <QtMath>

namespace tarnwick::ui {

// The window's geometry is drawn in twips (1/1440 inch): 15 twips are one
// pixel at 96 dpi, and layouts scale with the screen's logical DPI.
inline int twips_to_px(int twips, qreal dpi) { return qRound(twips * dpi / 1440.0); }

inline qreal logical_dpi(const QWidget* widget) { return widget->logicalDpiY(); }

// Left, Top, Width, Height in twips within the parent's client area.
inline void place(QWidget* widget, int left, int top, int width, int height, qreal dpi) {
    widget->setGeometry(twips_to_px(left, dpi), twips_to_px(top, dpi), twips_to_px(width, dpi),
                        twips_to_px(height, dpi));
}

}  // namespace tarnwick::ui
