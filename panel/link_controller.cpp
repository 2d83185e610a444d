#include "panel/link_controller.h"

#include <QStringList>
#include <algorithm>
#include <bit>

#include "protocol/modbus.h"
#include "protocol/number_text.h"
#include "wire/port_choices.h"
#include "wire/port_texts.h"

namespace tarnwick::link {

using protocol::Frame;

LinkController::LinkController(SerialPort& port, PanelView& panel, LinkMessages& messages,
                               Ticks ticks, QObject* parent)
    : QObject(parent),
      wire_(port, messages, answer_patience),
      panel_(panel),
      messages_(messages),
      ticks_(ticks) {
    wire_.set_receiver([this] { MSComm1_OnComm(); });
    connect(&wire_, &Wire::opened, this, &LinkController::show_port_open);
    connect(&wire_, &Wire::closed, this, &LinkController::on_closed);
    connect(&wire_, &Wire::frame_sent, this, &LinkController::frame_sent);
    // Dropped without a word to the operator.
    connect(&wire_, &Wire::answer_rejected, this, &LinkController::answer_rejected);
    connect(&wire_, &Wire::answer_accepted, this, &LinkController::on_answer);
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(tick_ms);
    connect(&Timer1, &QTimer::timeout, this, &LinkController::Timer1_Timer);
    between_.setTimerType(Qt::PreciseTimer);
    between_.setSingleShot(true);
    connect(&between_, &QTimer::timeout, this, &LinkController::extra_turn);
    // The timer runs from the start, before any port is open; its frames are
    // dropped until then.
    set_timer_enabled(true);
}

LinkController::~LinkController() = default;

void LinkController::set_timer_enabled(bool enabled) {
    timer_enabled_ = enabled;
    if (ticks_ == Ticks::manual) return;
    if (enabled && !Timer1.isActive()) Timer1.start();
    if (!enabled) Timer1.stop();
}

std::optional<PortDevice> LinkController::device_for_entry() const {
    const auto number = protocol::parse_entry(panel_.port_text().toStdString());
    if (!number) return std::nullopt;
    return device_for_port(*number, wire_.port_choices());
}

UnknownCause LinkController::unknown_cause() const {
    const QString address = panel_.address_text();
    const auto number = protocol::parse_entry(address.toStdString());
    return {number.has_value() && reaches(*number),
            address,
            scanning(),
            panel_.port_text(),
            modbus_line(),
            wire_.line_settings().baud};
}

bool LinkController::modbus_line() const {
    return wire_.line_settings().protocol == protocol::Protocol::modbus;
}

// Unit 0 is a Modbus broadcast, which no board answers and every board
// obeys: never for the panel's frames.
bool LinkController::reaches(int address) const {
    return !modbus_line() ||
           (address >= protocol::modbus::first_unit && address <= protocol::modbus::last_unit);
}

void LinkController::open_comm_Click() {
    // The operator's own click ends any reconnect watch; its outcome stands.
    wire_.stop_reconnecting();
    if (wire_.is_open()) return wire_.close();
    const QString text = panel_.port_text();
    const auto number = protocol::parse_entry(text.toStdString());
    if (!number) {
        show_port_closed();
        messages_.port_error(bad_port_text(text));
        return;
    }
    const PortChoices* choices = wire_.port_choices();
    wire_.use_line(choices ? choices->line(*number) : protocol::LineSettings{});
    open_device(device_for_port(*number, choices), *number);
}

bool LinkController::open_device(const PortDevice& device, int port_number) {
    return wire_.open(device, port_number);
}

void LinkController::port_text_changed() {
    if (!wire_.reconnecting()) return;
    if (protocol::parse_entry(panel_.port_text().toStdString()) != wire_.port_number())
        wire_.stop_reconnecting();
}

void LinkController::shutdown() {
    wire_.stop_reconnecting();
    cancel_scan();
}

void LinkController::Timer1_Timer() {
    if (!round_.empty() && !scan_ && wire_.is_open()) {
        // A watched board's answer that came in while the loop was busy is
        // heard before this tick's frame drops waiting input; no further
        // board is asked from in here.
        between_.stop();
        wire_.fetch_waiting();
    }
    tick_at_ = SteadyClock::now();
    if (live_count_ > 0)
        --live_count_;
    else
        mark_unknown();

    const bool releasing = interlock_turn();
    if (pending_) {
        pending_ = false;
        if (slot_address_)
            put_on_wire(protocol::encode_command(*slot_address_, slot_));
        else
            send_frame(slot_.code, slot_.a, slot_.b);
        slot_address_.reset();
        if (releasing) interlock_release_sent();
    } else if (scan_) {
        scan_turn();
    } else {
        send_frame(protocol::cmd_query, 0x00, 0x00);
    }
    extras_ = 0;
    if (!round_.empty() && wire_.is_open() && !scan_) arm_extra();
}

std::chrono::microseconds LinkController::exchange_time() const {
    const protocol::LineSettings& line = wire_.line_settings();
    // A request of 8 characters; a status of 8, or on Modbus 16 coils' 7
    // (unit, function, count, two bytes of coils, CRC).
    const std::int64_t characters = modbus_line() ? 8 + 7 : 8 + 8;
    const std::int64_t bits = characters * protocol::character_bits(line);
    std::chrono::microseconds time{bits * 1'000'000 / line.baud};
    if (modbus_line()) time += std::chrono::milliseconds(protocol::silence_ms(line));
    return time;
}

// The last frame's answer is due by then, and a late board a little after.
void LinkController::arm_extra() {
    // A Modbus board answers once the request's silence is over, a native
    // one when it will.
    const std::chrono::microseconds late{modbus_line() ? 2000 : 6000};
    between_.start(static_cast<int>((exchange_time() + late).count() + 999) / 1000);
}

void LinkController::watch_boards(const std::vector<std::uint8_t>& addresses) {
    round_.set_boards(addresses);
    if (round_.empty()) between_.stop();
}

void LinkController::extra_turn() {
    between_.stop();
    if (round_.empty() || scan_ || !wire_.is_open() || extras_ >= extra_per_tick) return;
    const auto now = SteadyClock::now();
    // Its answer must be in before the tick's frame drops what input waits.
    if (now - tick_at_ + exchange_time() > std::chrono::milliseconds(tick_ms)) return;
    const auto entry = protocol::parse_entry(panel_.address_text().toStdString());
    std::optional<std::uint8_t> address = round_.next();
    if (address && entry && *address == *entry) address = round_.next();  // the tick asks it
    if (!address || (entry && *address == *entry) || !reaches(*address)) return;
    ++extras_;
    put_on_wire(protocol::encode_command(*address, {protocol::cmd_query, 0x00, 0x00}));
    round_.asked(*address, now);
    emit board_changed(*address);
    arm_extra();
}

void LinkController::switch_board_relay(std::uint8_t address, int relay) {
    const auto entry = protocol::parse_entry(panel_.address_text().toStdString());
    if (entry && *entry == address) return Picture1_Click(relay);
    const BoardRound::Board* board = round_.board(address);
    if (!board || !board->relays || !round_.online(address, SteadyClock::now())) return;
    const bool on = !(*board->relays & protocol::relay_bit(relay));
    const auto rules = rules_.find(address);
    if (on && rules != rules_.end() && !rules->second.groups.empty()) {
        messages_.interlock_refused(interlock_elsewhere_text(address));
        return;
    }
    slot_ = protocol::switch_command(relay, on);
    slot_address_ = address;
    pending_ = true;
}

// The answer of a watched board goes to it; one from a board nothing asked
// goes nowhere, lest it be taken for the entry's board.
bool LinkController::round_answer(const Frame& status, const std::optional<Frame>& asked) {
    if (round_.empty()) return false;
    const std::uint8_t from = status[1];
    const auto entry = protocol::parse_entry(panel_.address_text().toStdString());
    if (entry && *entry == from) return false;
    if (asked && round_.answered(from, protocol::relay_pattern(status), SteadyClock::now()))
        emit board_changed(from);
    return true;
}

bool LinkController::ask_next_address() {
    const auto address = scan_->next_query();
    if (!address) return false;
    put_on_wire(protocol::encode_command(*address, {protocol::cmd_query, 0x00, 0x00}));
    emit scan_progress(scan_->asked(), scan_->total());
    return true;
}

void LinkController::scan_turn() {
    if (ask_next_address()) return;
    // Every address asked and the last one's answer time over: back to
    // polling the board in the address entry, from this very tick.
    end_scan(true);
    send_frame(protocol::cmd_query, 0x00, 0x00);
}

bool LinkController::start_scan(int first, int last) {
    if (!wire_.is_open() || scan_) return false;
    if (modbus_line()) {
        first = std::max(first, protocol::modbus::first_unit);
        last = std::min(last, protocol::modbus::last_unit);
    }
    scan_.emplace(first, last);
    found_.clear();
    emit scan_progress(0, scan_->total());
    return true;
}

void LinkController::cancel_scan() {
    if (scan_) end_scan(false);
}

void LinkController::end_scan(bool complete) {
    scan_.reset();
    emit scan_ended(complete);
}

void LinkController::set_command(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
    if (!interlock_allows(code, a, b)) return;
    slot_ = protocol::Command{code, a, b};
    slot_address_.reset();
    pending_ = true;
}

const BoardRules* LinkController::interlocked_board() const {
    const auto address = protocol::parse_entry(panel_.address_text().toStdString());
    if (!address) return nullptr;
    const auto rules = rules_.find(static_cast<std::uint8_t>(*address));
    return rules == rules_.end() || rules->second.groups.empty() ? nullptr : &rules->second;
}

bool LinkController::interlock_allows(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
    const BoardRules* rules = interlocked_board();
    if (!rules) return true;
    // Whatever comes after an ON still waiting for its group replaces it.
    interlock_reset();
    if (code == protocol::cmd_all && a == protocol::all_on_data) {
        interlock_refused_all();
        return false;
    }
    if (code != protocol::cmd_energize || a != protocol::energize_data_a || b < 1 ||
        b > protocol::relay_count)
        return true;
    std::uint16_t may_be_on = 0;
    for (int other = 1; other <= protocol::relay_count; ++other)
        if (panel_.cell_state(other) != RelayState::released)
            may_be_on |= protocol::relay_bit(other);
    const std::uint16_t release = Interlock::to_release(*rules, b, may_be_on);
    if (!release) return true;
    interlock_.start({.address = static_cast<std::uint8_t>(
                          *protocol::parse_entry(panel_.address_text().toStdString())),
                      .relay = b,
                      .release = release,
                      .settle = rules->interlock_wait,
                      .origin = {},
                      .started = SteadyClock::now(),
                      .released = std::nullopt,
                      .after = last_sent_});
    to_release_ = release;
    return false;
}

// One OFF per tick through the slot; then the wait for a query's answer that
// shows them off, then the group's wait, then the ON.
bool LinkController::interlock_turn() {
    if (interlock_.empty()) return false;
    if (protocol::parse_entry(panel_.address_text().toStdString()) !=
        interlock_.waits().front().address) {
        interlock_reset();  // another board now: what was asked is void
        return false;
    }
    if (to_release_) {
        const int relay = std::countr_zero(to_release_) + 1;
        to_release_ &= static_cast<std::uint16_t>(~protocol::relay_bit(relay));
        slot_ = protocol::switch_command(relay, false);
        pending_ = true;
        return true;
    }
    const Interlock::Due due = interlock_.advance(SteadyClock::now());
    for (const Interlock::Wait& w : due.on) {
        slot_ = protocol::switch_command(w.relay, true);
        pending_ = true;
    }
    for (const Interlock::Wait& w : due.late) {
        QStringList others;
        for (int other = 1; other <= protocol::relay_count; ++other)
            if (w.release & protocol::relay_bit(other)) others << QString::number(other);
        messages_.interlock_refused(interlock_not_released_text(w.relay, others.join(u'、')));
    }
    return false;
}

// Only a query after the OFF (after this moment, had it not gone out) counts.
void LinkController::interlock_release_sent() {
    if (interlock_.empty()) return;
    const Interlock::Wait& w = interlock_.waits().front();
    interlock_.release_sent(w.address, w.release, last_sent_);
}

void LinkController::interlock_reset() {
    interlock_.clear();
    to_release_ = 0;
}

void LinkController::interlock_refused_all() {
    messages_.interlock_refused(interlock_all_on_text());
}

// An answer to a query sent after the last OFF, showing them all off.
void LinkController::interlock_answer(const Frame& status, const std::optional<Frame>& asked) {
    if (interlock_.empty() || !asked || (*asked)[2] != protocol::cmd_query) return;
    interlock_.answered((*asked)[1], protocol::relay_pattern(status), wire_.last_answered_number(),
                        to_release_, SteadyClock::now());
}

void LinkController::send_frame(std::uint8_t code, std::uint8_t a, std::uint8_t b) {
    // The address is read from the entry as it stands now. An entry that does
    // not hold 0..255 puts nothing on the wire (the window marks the entry).
    const std::string address = panel_.address_text().toStdString();
    if (!protocol::parse_entry(address)) return;
    const auto cmd_buf = protocol::build_command(address, code, a, b);
    if (cmd_buf) put_on_wire(*cmd_buf);
}

void LinkController::put_on_wire(const Frame& frame) {
    if (!reaches(frame[1])) return;
    if (const std::uint64_t number = wire_.send(frame)) last_sent_ = number;
}

void LinkController::MSComm1_OnComm() {
    wire_.judge_waiting_answer();
    while (every_answer_ && wire_.is_open() && wire_.bytes_waiting() >= wire_.shortest_answer())
        wire_.judge_waiting_answer();
}

void LinkController::on_answer(const Frame& status, const std::optional<Frame>& asked) {
    if (!asked) emit answer_unclaimed(status);
    if (scan_) {
        scan_answer(status, asked);
        return;
    }
    // The next watched board may go as soon as the line is quiet.
    const bool last = asked && wire_.last_answered_number() == last_sent_;
    if (!round_answer(status, asked)) {
        show_status(status);
        live_count_ = live_ticks;
        interlock_answer(status, asked);
        if (asked) emit status_answered(*asked, status);
    }
    if (!last || !between_.isActive()) return;
    // A Modbus frame may start only after the line was silent 3.5 characters.
    if (modbus_line())
        between_.start(protocol::silence_ms(wire_.line_settings()));
    else
        extra_turn();
}

// An answer in a scan belongs to its own address, which need not be the one
// in the entry: the cells are not painted from it.
void LinkController::scan_answer(const Frame& status, const std::optional<Frame>& asked) {
    if (!asked || (*asked)[2] != protocol::cmd_query) return;  // a command's answer
    const std::uint8_t address = status[1];
    if (const auto found = scan_->answered(address, protocol::relay_pattern(status))) {
        found_.push_back(static_cast<std::uint8_t>(found->address));
        emit scan_found(found->address, found->relays);
    }
}

void LinkController::show_status(const Frame& status) {
    for (int relay = 1; relay <= protocol::relay_count; ++relay) {
        panel_.paint_cell(relay, protocol::relay_energized(status, relay) ? RelayState::energized
                                                                          : RelayState::released);
    }
    emit status_shown(status);
    emit cells_painted();
}

void LinkController::paint_all(RelayState state) {
    for (int n = 1; n <= protocol::relay_count; ++n) panel_.paint_cell(n, state);
    emit cells_painted();
}

void LinkController::mark_unknown() {
    paint_all(RelayState::unknown);
}

void LinkController::show_port_open() {
    round_.forget();
    paint_all(RelayState::unknown);
    panel_.set_all_relay_buttons_enabled(true);
    set_timer_enabled(true);
    panel_.set_port_entry_enabled(false);
    panel_.set_port_button_caption(caption_close_port);
    emit port_state_changed(true);
}

void LinkController::show_port_closed() {
    cancel_scan();
    paint_all(RelayState::port_closed);
    panel_.set_all_relay_buttons_enabled(false);
    set_timer_enabled(false);
    panel_.set_port_entry_enabled(true);
    panel_.set_port_button_caption(caption_open_port);
    emit port_state_changed(false);
}

void LinkController::Picture1_Click(int n) {
    // What the cell shows is the only record of the relay's state.
    const RelayState state = panel_.cell_state(n);
    if (state == RelayState::energized)
        set_command(protocol::switch_command(n, false));
    else if (state == RelayState::released)
        set_command(protocol::switch_command(n, true));
}

void LinkController::on_closed(bool lost) {
    // What the operator asked for before a loss is stale by the time the
    // device is back; the cells will show what the board says instead.
    round_.forget();
    between_.stop();
    if (lost) {
        pending_ = false;
        slot_address_.reset();
        interlock_reset();
    }
    show_port_closed();
}

}  // namespace tarnwick::link
