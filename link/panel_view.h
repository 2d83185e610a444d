#pragma once

#include <QString>
#include <cstdint>

namespace tarnwick::link {

// A cell colour as the board panel has always stored it: 0x00BBGGRR, or
// 0x800000nn for system colour nn. Clicks compare these values exactly.
using Colour = std::uint32_t;
inline constexpr Colour colour_green = 0x0000FF00;
inline constexpr Colour colour_red = 0x000000FF;
inline constexpr Colour colour_yellow = 0x0000FFFF;
inline constexpr Colour colour_grey_text = 0x80000011;  // system colour 17: grey (disabled) text

// Status label texts; the leading blanks line them up under "状态未知".
inline const QString text_energized = QStringLiteral("  吸合");
inline const QString text_released = QStringLiteral("  断开");
inline const QString text_unknown = QStringLiteral("状态未知");

inline const QString caption_open_port = QStringLiteral("打开串口");
inline const QString caption_close_port = QStringLiteral("关闭串口");

// The controls of the main window the link reads and drives. The window is
// the model: a cell's state is its box colour, the address and port are the
// entries' texts.
class PanelView {
public:
    virtual ~PanelView() = default;
    // Cell n (1..16): box first, then its status label.
    virtual void paint_cell(int n, Colour box, const QString& label) = 0;
    [[nodiscard]] virtual Colour cell_colour(int n) const = 0;
    virtual void set_all_relay_buttons_enabled(bool enabled) = 0;  // openall, closeall
    virtual void set_port_entry_enabled(bool enabled) = 0;         // chuankou_num
    virtual void set_port_button_caption(const QString& caption) = 0;  // open_comm
    [[nodiscard]] virtual QString address_text() const = 0;  // add
    [[nodiscard]] virtual QString port_text() const = 0;     // chuankou_num
};

// Reports to the operator; the window shows them as message boxes.
class LinkMessages {
public:
    virtual ~LinkMessages() = default;
    virtual void port_error(const QString& text) = 0;
};

}  // namespace tarnwick::link
