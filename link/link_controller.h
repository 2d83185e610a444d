#pragma once

#include <QObject>
#include <QTimer>
#include <array>

#include "link/panel_view.h"
#include "link/serial_port.h"
#include "protocol/frame.h"

namespace tarnwick::link {

// The conversation with the board. Every 50 ms tick sends exactly one frame
// while the port is open: the command waiting in the one-command slot, else a
// status query. Answers are judged 8 bytes at a time; an accepted one paints
// the cells and restores the liveness counter. There is no request/response
// matching and no retry: the tick paces everything.
class LinkController : public QObject, private SerialListener {
    Q_OBJECT
public:
    static constexpr int tick_ms = 50;
    // Ticks an accepted answer stays valid: the sixth silent tick marks unknown.
    static constexpr int live_ticks = 5;

    enum class Ticks { timer, manual };  // manual: tests call Timer1_Timer() themselves

    LinkController(SerialPort& port, PanelView& panel, LinkMessages& messages,
                   Ticks ticks = Ticks::timer, QObject* parent = nullptr);
    ~LinkController() override;

    // Handlers of the window's events.
    void open_comm_Click();
    void Timer1_Timer();
    void MSComm1_OnComm();
    void Picture1_Click(int n);
    void Label2_Click(int n) { Picture1_Click(n); }
    void openall_Click() { set_command(protocol::cmd_all, protocol::all_on_data, protocol::all_on_data); }
    void closeall_Click() { set_command(protocol::cmd_all, 0x00, 0x00); }

    // Last one wins: the slot holds a single command until the next tick.
    void set_command(std::uint8_t code, std::uint8_t a, std::uint8_t b);
    // Builds a frame from the address entry's current text and writes it when
    // the port is open and the text is an address 0..255; otherwise drops it.
    void send_frame(std::uint8_t code, std::uint8_t a, std::uint8_t b);

    void show_status(const protocol::Frame& status);
    void mark_unknown();
    void show_port_open();
    void show_port_closed();

    [[nodiscard]] bool pending() const { return pending_; }
    [[nodiscard]] protocol::Command pending_command() const { return slot_; }
    [[nodiscard]] int live_count() const { return live_count_; }
    [[nodiscard]] bool timer_enabled() const { return timer_enabled_; }
    [[nodiscard]] bool port_open() const { return port_.is_open(); }

signals:
    // A frame went out on the wire (for measurements).
    void frame_sent(const tarnwick::protocol::Frame& frame);
    // An accepted answer was painted.
    void status_shown(const tarnwick::protocol::Frame& frame);
    // Eight bytes were judged and dropped.
    void answer_rejected(const tarnwick::protocol::Frame& frame);

private:
    void on_received() override { MSComm1_OnComm(); }
    void on_lost(const QString& device, const QString& reason) override;
    void set_timer_enabled(bool enabled);
    void paint_all(Colour box, const QString& label);

    SerialPort& port_;
    PanelView& panel_;
    LinkMessages& messages_;
    QTimer Timer1;
    Ticks ticks_;
    bool timer_enabled_ = false;

    bool pending_ = false;
    protocol::Command slot_;
    std::int32_t live_count_ = 0;
    protocol::Frame rx_buf{};
};

}  // namespace tarnwick::link
