#pragma once

#include <QIcon>

namespace tarnwick::ui {

// The panel's 32 x 32 icon: a board with a row of relay cells, drawn here so
// that no image file has to travel with the program.
QIcon app_icon();

}  // namespace tarnwick::ui
