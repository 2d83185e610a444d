#pragma once

#include <QString>

#include "panel/panel_view.h"

namespace tarnwick::link {

// The panel without a window, for programs that drive the link from a
// command line or a network: it keeps the 16 states the link paints and the
// address and port the program sets. The address may change between ticks;
// each frame is built from the address set when it is sent.
class HeadlessPanel : public PanelView {
  public:
    HeadlessPanel() { states_.fill(RelayState::unknown); }

    void set_address(int address) { address_ = QString::number(address); }
    void set_port_text(const QString& text) { port_ = text; }
    [[nodiscard]] const RelayStates& states() const { return states_; }

    void paint_cell(int n, RelayState state) override {
        states_[static_cast<std::size_t>(n - 1)] = state;
    }
    RelayState cell_state(int n) const override { return states_[static_cast<std::size_t>(n - 1)]; }
    void set_all_relay_buttons_enabled(bool) override {}
    void set_port_entry_enabled(bool) override {}
    void set_port_button_caption(const QString&) override {}
    QString address_text() const override { return address_; }
    QString port_text() const override { return port_; }

  private:
    RelayStates states_{};
    QString address_ = QStringLiteral("1");
    QString port_ = QStringLiteral("1");
};

}  // namespace tarnwick::link
