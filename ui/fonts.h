#pragma once

#include <QFont>

namespace tarnwick::ui {

// Every text of the panel is set in the Song face. SimSun is not on Linux;
// without an explicit substitution Qt picks a sans or Japanese face depending
// on locale and installed fonts, so both of its names map to AR PL UMing CN.
void install_font_substitutions();

// Qt's own texts (a line edit's Undo, Copy..., a dialog's buttons) in the
// window's language, from Qt's Chinese translations (qt6-translations-l10n);
// false when they are not installed, and Qt's English stays.
bool install_qt_translations();

// 宋体 at a point size, normal weight, no style.
QFont song_font(qreal point_size);

}  // namespace tarnwick::ui
