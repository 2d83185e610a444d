#include "ui/fonts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

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

bool install_qt_translations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace tarnwick::ui
