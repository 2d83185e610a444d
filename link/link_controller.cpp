#include "link/link_controller.h"

#include "protocol/number_text.h"

namespace tarnwick::link {

using protocol::Frame;

LinkController::LinkController(SerialPort& port, PanelView& panel, LinkMessages& messages,
                               Ticks ticks, QObject* parent)
    : QObject(parent), port_(port), panel_(panel), messages_(messages), ticks_(ticks) {
    port_.set_listener(this);
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(tick_ms);
    connect(&Timer1, &QTimer::timeout, this, &LinkController::Timer1_Timer);
    // The timer runs from the start, before any port is open; its frames are
    // dropped until then.
    set_timer_enabled(true);
}

LinkController::~LinkController() { port_.set_listener(nullptr); }

void LinkController::set_timer_enabled(bool enabled) {
    timer_enabled_ = enabled;
    if (ticks_ == Ticks::manual) return;
    if (enabled && !Timer1.isActive()) Timer1.start();
    if (!enabled) Timer1.stop();
}

void LinkController::open_comm_Click() {
    if (port_.is_open()) {
        port_.close();
        show_port_closed();
        return;
    }
    const QString text = panel_.port_text();
    const auto number = protocol::parse_entry(text.toStdString());
    if (!number) {
        show_port_closed();
        messages_.port_error(
            QStringLiteral("串口号“%1”无效：请输入 0 到 255 之间的整数。").arg(text));
        return;
    }
    if (auto failure = port_.open(*number)) {
        show_port_closed();
        QString text_shown;
        if (failure->device.isEmpty()) {
            text_shown = QStringLiteral(
                             "串口 %1 没有对应的设备。\n可用环境变量 TARNWICK_COM%1 指定设备，"
                             "例如 TARNWICK_COM%1=/dev/ttyUSB0。")
                             .arg(*number);
        } else {
            text_shown = QStringLiteral("无法打开串口 %1（%2）：%3")
                             .arg(*number)
                             .arg(failure->device, failure->reason);
            if (failure->permission_denied)
                text_shown += QStringLiteral(
                    "\n\n请把当前用户加入 dialout 组（sudo usermod -aG dialout 用户名），"
                    "重新登录后再打开串口。");
        }
        messages_.port_error(text_shown);
        return;
    }
    show_port_open();
}

void LinkController::Timer1_Timer() {
    if (live_count_ > 0)
        --live_count_;
    else
        mark_unknown();

    if (pending_) {
        pending_ = false;
        send_frame(slot_.code, slot_.a, slot_.b);
    } else {
        send_frame(protocol::cmd_query, 0x00, 0x00);
    }
}

void LinkController::set_command(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
    slot_ = protocol::Command{code, a, b};
    pending_ = true;
}

void LinkController::send_frame(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
    // The address is read from the entry as it stands now. An entry that does
    // not hold 0..255 puts nothing on the wire (the window marks the entry).
    const std::string address = panel_.address_text().toStdString();
    if (!protocol::parse_entry(address)) return;
    const auto cmd_buf = protocol::build_command(address, code, a, b);
    if (!cmd_buf || !port_.is_open()) return;
    // A late or partial answer still waiting would be misread as the answer
    // to this frame.
    port_.discard_input();
    port_.write(*cmd_buf);
    emit frame_sent(*cmd_buf);
}

void LinkController::MSComm1_OnComm() {
    for (std::size_t i = 0; i < protocol::frame_size; ++i) {
        const auto byte = port_.read_byte();
        if (!byte) return;  // fewer than 8 waited after all: nothing to judge
        rx_buf[i] = *byte;
    }
    if (!protocol::accept_status(rx_buf)) {
        emit answer_rejected(rx_buf);  // dropped without a word to the operator
        return;
    }
    show_status(rx_buf);
    live_count_ = live_ticks;
}

void LinkController::show_status(const Frame& status) {
    for (int relay = 1; relay <= protocol::relay_count; ++relay) {
        if (protocol::relay_energized(status, relay))
            panel_.paint_cell(relay, colour_green, text_energized);
        else
            panel_.paint_cell(relay, colour_red, text_released);
    }
    emit status_shown(status);
}

void LinkController::paint_all(Colour box, const QString& label) {
    for (int n = 1; n <= protocol::relay_count; ++n) panel_.paint_cell(n, box, label);
}

void LinkController::mark_unknown() { paint_all(colour_yellow, text_unknown); }

void LinkController::show_port_open() {
    paint_all(colour_yellow, text_unknown);
    panel_.set_all_relay_buttons_enabled(true);
    set_timer_enabled(true);
    panel_.set_port_entry_enabled(false);
    panel_.set_port_button_caption(caption_close_port);
}

void LinkController::show_port_closed() {
    paint_all(colour_grey_text, text_unknown);
    panel_.set_all_relay_buttons_enabled(false);
    set_timer_enabled(false);
    panel_.set_port_entry_enabled(true);
    panel_.set_port_button_caption(caption_open_port);
}

void LinkController::Picture1_Click(int n) {
    // The box colour is the only record of the relay's state.
    const Colour colour = panel_.cell_colour(n);
    const auto relay = static_cast<std::uint8_t>(n);
    if (colour == colour_green)
        set_command(protocol::cmd_release, 0x00, relay);
    else if (colour == colour_red)
        set_command(protocol::cmd_energize, protocol::energize_data_a, relay);
}

void LinkController::on_lost(const QString& device, const QString& reason) {
    if (!port_.is_open()) return;
    port_.close();
    show_port_closed();
    messages_.port_error(QStringLiteral("串口（%1）已断开：%2\n串口已关闭。请检查连接，然后重新打开串口。")
                             .arg(device, reason));
}

}  // namespace tarnwick::link
