#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <map>
#include <optional>

#include "engine/address_scan.h"
#include "engine/board_rules.h"
#include "engine/interlock.h"
#include "panel/board_round.h"
#include "panel/panel_view.h"
#include "protocol/frame.h"
#include "wire/answer_attribution.h"
#include "wire/link_counters.h"
#include "wire/port_map.h"
#include "wire/port_texts.h"
#include "wire/serial_port.h"
#include "wire/wire.h"

namespace tarnwick::link {

class PortChoices;

// The conversation with the board. Every 50 ms tick sends exactly one frame
// while the port is open: the command waiting in the one-command slot, else a
// status query. Answers are judged 8 bytes at a time; an accepted one paints
// the cells and restores the liveness counter, whatever address it carries.
// There is no retry: the tick paces everything. Which frame an answer
// answers is told apart by its address (answer_attribution.h) for those
// that listen to status_answered and for a scan.
//
// When the open device vanishes (not when the operator closes it) the
// controller watches for the same path to come back and reopens it by
// itself; the command slot is cleared on such a loss, so nothing queued
// before it is sent after it. A scan of all addresses takes the ticks' queries
// while it runs.
//
// The cells are painted through PanelView as relay states; the window shows
// them in colour.
//
// While other boards are watched (the line's overview is open) they are
// queried in turn between the ticks, each query after the answer to the one
// before or its time on the line, and only while the next tick leaves room
// for its answer. An answer then goes to the board it came from: the cells
// are painted from the entry's board alone. With none watched, the frames
// are the tick's and nothing else.
class LinkController : public QObject {
    Q_OBJECT
  public:
    static constexpr int tick_ms = 50;
    // Ticks an accepted answer stays valid: the sixth silent tick marks unknown.
    static constexpr int live_ticks = 5;
    // How long a frame waits for its answer: the panel's whole liveness
    // window, longer than any board and adapter take to answer.
    static constexpr std::chrono::milliseconds answer_patience{(live_ticks + 1) * tick_ms};

    // manual: the owner calls Timer1_Timer() itself, every tick_ms while
    // timer_enabled(): tests, and a program that decides each tick's frame
    // just before it goes out (several boards on one line).
    enum class Ticks { timer, manual };

    LinkController(SerialPort& port, PanelView& panel, LinkMessages& messages,
                   Ticks ticks = Ticks::timer, QObject* parent = nullptr);
    ~LinkController() override;

    // The operator's saved devices, consulted on every open; without them a
    // number means $TARNWICK_COM<n> or /dev/ttyS<n-1>.
    void use_port_choices(const PortChoices* choices) { wire_.use_port_choices(choices); }
    // The device the port entry's number opens now, and where that comes from.
    [[nodiscard]] std::optional<PortDevice> device_for_entry() const;

    // Handlers of the window's events.
    void open_comm_Click();
    void Timer1_Timer();
    void MSComm1_OnComm();
    void Picture1_Click(int n);
    void Label2_Click(int n) { Picture1_Click(n); }
    void openall_Click() { set_command(protocol::all_command(true)); }
    void closeall_Click() { set_command(protocol::all_command(false)); }
    // The port entry's text changed: a different number ends a reconnect watch.
    void port_text_changed();
    // The window is closing: no reconnect, no scan.
    void shutdown();
    // The cells show a line somebody else holds: no tick marks them unknown
    // until this port is opened again.
    void stop_ticks() { set_timer_enabled(false); }

    // Opens a device already chosen: a port number's (port_map.h), or one a
    // program was given by path (port_number -1). The same open, lock and
    // messages as the port button's; false when it failed (reported).
    bool open_device(const PortDevice& device, int port_number);

    // A line several boards share: every whole answer waiting is judged when
    // bytes come in, not only the first, as two boards' answers may come
    // back to back. The panel judges the first; the rest go with the next send.
    void judge_every_waiting_answer(bool every) { every_answer_ = every; }

    // The interlocked groups of the boards on the line, by address, as the
    // service's configuration gives them for the device; none by default.
    // An ON of a relay whose group has another on (or one not known to be
    // off) first releases those, one per tick, waits until a query's answer
    // shows them released and then the group's wait, and sends the ON; not
    // released within a second, the ON is not sent and the refusal said.
    // All on is refused on such a board.
    void use_board_rules(std::map<std::uint8_t, BoardRules> rules) { rules_ = std::move(rules); }
    [[nodiscard]] bool interlocking() const { return !interlock_.empty(); }

    // Last one wins: the slot holds a single command until the next tick.
    void set_command(std::uint8_t code, std::uint8_t a, std::uint8_t b);
    void set_command(const protocol::Command& command) {
        set_command(command.code, command.a, command.b);
    }
    // Builds a frame from the address entry's current text and writes it when
    // the port is open and the text is an address 0..255 (on a Modbus line a
    // unit id 1..247); otherwise drops it.
    void send_frame(std::uint8_t code, std::uint8_t a, std::uint8_t b);

    void show_status(const protocol::Frame& status);
    void mark_unknown();
    void show_port_open();
    void show_port_closed();

    [[nodiscard]] bool pending() const { return pending_; }
    [[nodiscard]] protocol::Command pending_command() const { return slot_; }
    [[nodiscard]] int live_count() const { return live_count_; }
    [[nodiscard]] bool timer_enabled() const { return timer_enabled_; }
    [[nodiscard]] bool port_open() const { return wire_.is_open(); }

    // The device opened last (while open: the one in use) and its port number.
    [[nodiscard]] const QString& open_device() const { return wire_.device(); }
    [[nodiscard]] int open_port_number() const { return wire_.port_number(); }
    // The boards' family and the line's settings, of the port opened last
    // (chosen for its number at each open: PortChoices::line).
    [[nodiscard]] const protocol::LineSettings& line_settings() const {
        return wire_.line_settings();
    }
    [[nodiscard]] const LinkCounters& counters() const { return wire_.counters(); }
    // What unknown cells owe to the entry and to a scan (port_texts.h).
    [[nodiscard]] UnknownCause unknown_cause() const;
    // What went wrong with the port last: an open that failed, a device lost.
    [[nodiscard]] std::optional<PortFault> last_fault() const { return wire_.last_fault(); }
    // Watching for a vanished device to come back.
    [[nodiscard]] bool reconnecting() const { return wire_.reconnecting(); }

    // Finding boards (查找模块): one status query to each address
    // first..last (on a Modbus line no unit id outside 1..247) in turn, one a tick, while the port
    // is open; a command in the slot goes first. Answers paint no cells while it runs.
    bool start_scan(int first = 0, int last = AddressScan::address_count - 1);
    void cancel_scan();
    [[nodiscard]] bool scanning() const { return scan_.has_value(); }
    [[nodiscard]] int scan_asked() const { return scan_ ? scan_->asked() : 0; }
    // The addresses the last scan found (so far, while it runs).
    [[nodiscard]] const std::vector<std::uint8_t>& found_boards() const { return found_; }

    // Watching other boards of the line (the entry's board left out); none
    // ends it. What each said, by address.
    void watch_boards(const std::vector<std::uint8_t>& addresses);
    [[nodiscard]] const BoardRound& watched() const { return round_; }
    // Switches a relay of a watched board from what it last said, through
    // the command slot; an ON to a board with interlocked groups is refused
    // unless it is the entry's.
    void switch_board_relay(std::uint8_t address, int relay);
    // Queries sent between ticks at most, and the time one exchange takes on
    // this line (a frame and its answer, and a Modbus line's silence).
    static constexpr int extra_per_tick = 2;
    [[nodiscard]] std::chrono::microseconds exchange_time() const;

  signals:
    // A frame went out on the wire (for measurements).
    void frame_sent(const tarnwick::protocol::Frame& frame);
    // An accepted answer was painted.
    void status_shown(const tarnwick::protocol::Frame& frame);
    // Eight bytes were judged and dropped.
    void answer_rejected(const tarnwick::protocol::Frame& frame);
    // The port opened (by the operator or by a reconnect) or closed.
    void port_state_changed(bool open);
    // A scan asked one more address; found a board; ended (complete, or
    // cancelled by the operator or a close).
    void scan_progress(int asked, int total);
    void scan_found(int address, int relays);
    void scan_ended(bool complete);
    // An accepted answer outside a scan, with the frame it answers: the
    // oldest one still waiting that went to the address in the answer,
    // however many frames went out since.
    void status_answered(const tarnwick::protocol::Frame& sent,
                         const tarnwick::protocol::Frame& status);
    // An accepted answer from an address no frame waits on an answer from
    // (counted in counters()); it answers nothing, though the cells show it
    // outside a scan as they show every accepted answer.
    void answer_unclaimed(const tarnwick::protocol::Frame& status);
    // The cells were painted (an answer, unknown, the port opened or closed).
    void cells_painted();
    // A watched board answered, or was asked.
    void board_changed(int address);

  private:
    void on_closed(bool lost);
    [[nodiscard]] bool modbus_line() const;
    // Whether a frame to the address may go on the line.
    [[nodiscard]] bool reaches(int address) const;
    void on_answer(const protocol::Frame& status, const std::optional<protocol::Frame>& sent);
    void set_timer_enabled(bool enabled);
    void paint_all(RelayState state);
    void put_on_wire(const protocol::Frame& frame);
    void judge_waiting_answer();
    // Queries the scan's next address; false once every address was asked.
    bool ask_next_address();
    void scan_turn();
    void end_scan(bool complete);
    void scan_answer(const protocol::Frame& status, const std::optional<protocol::Frame>& asked);
    // The rules of the board in the address entry, when it has groups.
    [[nodiscard]] const BoardRules* interlocked_board() const;
    // False when the command waits for its group (or was refused).
    bool interlock_allows(std::uint8_t code, std::uint8_t a, std::uint8_t b);
    // True when the slot now holds one of the releases.
    bool interlock_turn();
    void interlock_release_sent();
    void interlock_reset();
    void interlock_answer(const protocol::Frame& status,
                          const std::optional<protocol::Frame>& asked);
    void interlock_refused_all();
    // The next watched board's query, when the tick leaves room for it.
    void extra_turn();
    void arm_extra();
    // Whether an answer belongs to a watched board; credits it then.
    bool round_answer(const protocol::Frame& status, const std::optional<protocol::Frame>& asked);

    Wire wire_;
    PanelView& panel_;
    LinkMessages& messages_;
    QTimer Timer1;
    Ticks ticks_;
    bool timer_enabled_ = false;

    bool pending_ = false;
    protocol::Command slot_;
    std::int32_t live_count_ = 0;
    bool every_answer_ = false;

    std::optional<AddressScan> scan_;
    std::map<std::uint8_t, BoardRules> rules_;
    Interlock interlock_;           // one ON at most, of the board in the address entry
    std::uint16_t to_release_ = 0;  // its OFFs still to send
    std::uint64_t last_sent_ = 0;   // the number of the last frame out

    std::vector<std::uint8_t> found_;
    BoardRound round_{answer_patience, std::chrono::milliseconds(tick_ms)};
    QTimer between_;  // the last frame's time on the line is over
    SteadyClock::time_point tick_at_{};
    int extras_ = 0;                            // sent since the tick
    std::optional<std::uint8_t> slot_address_;  // the slot's board, when not the entry's
};

}  // namespace tarnwick::link
