#pragma once

#include <QIcon>

namespace tarnwick::ui {

// The panel's icon: the installed SVG's renderings (16 to 256 pixels), built
// into the program, so the window shows what the launcher shows.
QIcon app_icon();

}  // namespace tarnwick::ui
