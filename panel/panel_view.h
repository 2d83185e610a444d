#pragma once

#include <QString>
#include <cstdint>

#include "panel/relay_state.h"
#include "wire/messages.h"

namespace tarnwick::link {

inline const QString caption_open_port = QStringLiteral("打开串口");
inline const QString caption_close_port = QStringLiteral("关闭串口");

// The controls of the main window the link reads and drives. The window is
// the model: a cell's state is what its box shows (the window keeps it as
// the box colour), the address and port are the entries' texts. Tests
// implement it without a window.
class PanelView {
  public:
    virtual ~PanelView() = default;
    // Cell n (1..16).
    virtual void paint_cell(int n, RelayState state) = 0;
    // What cell n shows now; a click switches only a cell that shows a known state.
    [[nodiscard]] virtual RelayState cell_state(int n) const = 0;
    virtual void set_all_relay_buttons_enabled(bool enabled) = 0;      // openall, closeall
    virtual void set_port_entry_enabled(bool enabled) = 0;             // chuankou_num
    virtual void set_port_button_caption(const QString& caption) = 0;  // open_comm
    [[nodiscard]] virtual QString address_text() const = 0;            // add
    [[nodiscard]] virtual QString port_text() const = 0;               // chuankou_num
};
}  // namespace tarnwick::link
