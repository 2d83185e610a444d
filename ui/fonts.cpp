#include "ui/fonts.h"

namespace tarnwick::ui {

void install_font_substitutions() {
    const QString uming = QStringLiteral("AR PL UMing CN");
    QFont::insertSubstitution(QStringLiteral("SimSun"), uming);
    QFont::insertSubstitution(QStringLiteral("宋体"), uming);
}

QFont song_font(qreal point_size) {
    QFont font(QStringLiteral("宋体"));
    font.setPointSizeF(point_size);
    font.setWeight(QFont::Normal);
    font.setStyle(QFont::StyleNormal);
    return font;
}

}  // namespace tarnwick::ui
