#pragma once

// Stand-ins for the serial port, the window's controls and the message boxes,
// so the link can be driven tick by tick without hardware or a display.

#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <initializer_list>
#include <vector>

#include "panel/panel_view.h"
#include "protocol/frame.h"
#include "wire/serial_port.h"

namespace tarnwick::test {

class FakePort : public link::SerialPort {
  public:
    std::optional<link::PortProblem> open(const QString& device) override {
        opened_devices << device;
        if (next_failure) return next_failure;
        open_ = true;
        return std::nullopt;
    }
    void close() override { open_ = false; }
    bool is_open() const override { return open_; }
    std::size_t discard_input() override {
        const std::size_t dropped = input.size();
        input.clear();
        ++discards;
        return dropped;
    }
    void write(std::span<const std::uint8_t> bytes) override {
        written_bytes.emplace_back(bytes.begin(), bytes.end());
        protocol::Frame frame{};
        std::copy_n(bytes.begin(), std::min(bytes.size(), frame.size()), frame.begin());
        written.push_back(frame);
    }
    std::size_t bytes_waiting() const override { return input.size(); }
    std::optional<std::uint8_t> read_byte() override {
        if (input.empty()) return std::nullopt;
        const auto byte = input.front();
        input.pop_front();
        return byte;
    }

    // Bytes arriving from the board; the notification fires at 8 waiting.
    void deliver(std::initializer_list<std::uint8_t> bytes) { deliver(std::vector(bytes)); }
    void deliver(const std::vector<std::uint8_t>& bytes) {
        input.insert(input.end(), bytes.begin(), bytes.end());
        if (input.size() >= 8 && listener_) listener_->on_received();
    }
    void deliver(const protocol::Frame& frame) { deliver(std::vector(frame.begin(), frame.end())); }
    // The device goes away under the open port.
    void vanish() {
        if (listener_) {
            const QString device = opened_devices.isEmpty() ? QString() : opened_devices.back();
            listener_->on_lost(
                {device, link::PortFault::gone, QStringLiteral("Input/output error")});
        }
    }

    std::optional<link::PortProblem> next_failure;
    QStringList opened_devices;
    std::deque<std::uint8_t> input;
    std::vector<protocol::Frame> written;  // the first 8 bytes of each write
    std::vector<std::vector<std::uint8_t>> written_bytes;
    int discards = 0;

  private:
    bool open_ = false;
};

class FakePanel : public link::PanelView {
  public:
    FakePanel() { states.fill(link::RelayState::unknown); }
    void paint_cell(int n, link::RelayState state) override {
        states[static_cast<std::size_t>(n - 1)] = state;
        log << QStringLiteral("cell %1").arg(n);
    }
    link::RelayState cell_state(int n) const override {
        return states[static_cast<std::size_t>(n - 1)];
    }
    void set_all_relay_buttons_enabled(bool enabled) override {
        buttons_enabled = enabled;
        log << QStringLiteral("buttons %1").arg(enabled);
    }
    void set_port_entry_enabled(bool enabled) override {
        port_entry_enabled = enabled;
        log << QStringLiteral("entry %1").arg(enabled);
    }
    void set_port_button_caption(const QString& caption) override {
        port_caption = caption;
        log << QStringLiteral("caption %1").arg(caption);
    }
    QString address_text() const override { return address; }
    QString port_text() const override { return port; }

    bool all(link::RelayState state) const {
        return std::all_of(states.begin(), states.end(),
                           [state](link::RelayState s) { return s == state; });
    }

    link::RelayStates states{};
    bool buttons_enabled = true;
    bool port_entry_enabled = true;
    QString port_caption = link::caption_open_port;
    QString address = QStringLiteral("1");
    QString port = QStringLiteral("1");
    QStringList log;
};

class RecordingMessages : public link::LinkMessages {
  public:
    void port_error(const QString& text) override {
        texts << text;
        if (while_shown) while_shown();
    }
    QStringList texts;
    // Runs while a message is "on the screen", e.g. a nested event loop as a
    // modal message box has.
    std::function<void()> while_shown;
};

}  // namespace tarnwick::test
