#pragma once

// Stand-ins for the serial port, the window's controls and the message boxes,
// so the link can be driven tick by tick without hardware or a display.

#include <QString>
#include <QStringList>
#include <array>
#include <deque>
#include <initializer_list>
#include <vector>

#include "link/panel_view.h"
#include "link/serial_port.h"
#include "protocol/frame.h"

namespace tarnwick::test {

class FakePort : public link::SerialPort {
public:
    std::optional<link::OpenFailure> open(int port_number) override {
        opened_numbers.push_back(port_number);
        if (next_failure) return next_failure;
        open_ = true;
        return std::nullopt;
    }
    void close() override { open_ = false; }
    bool is_open() const override { return open_; }
    void discard_input() override {
        input.clear();
        ++discards;
    }
    void write(const protocol::Frame& frame) override { written.push_back(frame); }
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
    void vanish() {
        if (listener_) listener_->on_lost(QStringLiteral("/dev/ttyFAKE"), QStringLiteral("gone"));
    }

    std::optional<link::OpenFailure> next_failure;
    std::vector<int> opened_numbers;
    std::deque<std::uint8_t> input;
    std::vector<protocol::Frame> written;
    int discards = 0;

private:
    bool open_ = false;
};

class FakePanel : public link::PanelView {
public:
    FakePanel() {
        colours.fill(link::colour_yellow);
        labels.fill(link::text_unknown);
    }
    void paint_cell(int n, link::Colour box, const QString& label) override {
        colours[static_cast<std::size_t>(n - 1)] = box;
        labels[static_cast<std::size_t>(n - 1)] = label;
        log << QStringLiteral("cell %1").arg(n);
    }
    link::Colour cell_colour(int n) const override { return colours[static_cast<std::size_t>(n - 1)]; }
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

    bool all(link::Colour colour, const QString& label) const {
        for (std::size_t i = 0; i < colours.size(); ++i)
            if (colours[i] != colour || labels[i] != label) return false;
        return true;
    }

    std::array<link::Colour, 16> colours{};
    std::array<QString, 16> labels;
    bool buttons_enabled = true;
    bool port_entry_enabled = true;
    QString port_caption = link::caption_open_port;
    QString address = QStringLiteral("1");
    QString port = QStringLiteral("1");
    QStringList log;
};

class RecordingMessages : public link::LinkMessages {
public:
    void port_error(const QString& text) override { texts << text; }
    QStringList texts;
};

}  // namespace tarnwick::test
