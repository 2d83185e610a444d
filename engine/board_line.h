#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "engine/board_liveness.h"
#include "engine/board_rules.h"
#include "engine/interlock.h"
#include "engine/turn.h"
#include "engine/wanted_states.h"
#include "wire/messages.h"
#include "wire/port_map.h"
#include "wire/serial_port.h"
#include "wire/wire.h"

namespace tarnwick::link {

class PortChoices;

// Several boards on one serial line, for a program that owns the line: poll
// these boards, switch this relay, tell me each board's answer. It drives a
// Wire (the same frames, the same port lock, reopening a device that comes
// back), one frame per turn (turn.h):
// - a pulse's or an interlock's OFF, ahead of anything else;
// - a query to the board just commanded, so a switch is confirmed at once;
// - else a wanted state's command, unless it would leave a board unasked
//   (by a poll or a confirming query) too long (longest_unasked): under a
//   flood of switches every board is still polled, while switches that go
//   round the boards need no polls of their own;
// - else a query to the board asked longest ago (round robin).
// A turn comes every 50 ms (Pace::tick), or as soon as the last frame's
// answer is in and the line has been silent, at the latest after 50 ms
// (Pace::answer). At the tick's pace too, a turn with a command, its
// confirming query, a pulse's OFF or the poll a command waits for comes as
// soon as the line is free.
//
// A switch is a wanted state, the latest per relay winning (wanted_states.h).
// An answer is the board's whose frame it answers, however late it comes
// (answer_attribution.h); one that answers no frame is counted and told, not
// credited. A board is online from an answer of its own until six of its own
// polls in a row go unanswered; relays are known only while it is online.
// Nothing is switched but what was wanted, or what a board's rules say
// (board_rules.h): not an open, a reconnect or a board coming back. When the
// device goes away every board is offline and what was wanted is forgotten.
//
// A board's rules, when it has any:
// - pulse: every ON command of the relay sets a deadline, from the moment
//   the frame goes out (told before it does, so the owner can keep it); an
//   ON seen without one gets one. At the first turn after the deadline the
//   OFF goes out, ahead of anything else; the deadline is done once an
//   answer shows the relay off.
// - interlock: an ON first releases the others of its groups that are on
//   (or may be), waits until a query's answer shows them released, waits
//   interlock_wait, then sends the ON. Not released within a second: the ON
//   is dropped and interlock_failed told. Two of a group seen on together:
//   the whole group is released at once and interlock_broken told.
// - power_on: when a board starts answering, the relays are wanted as the
//   rules say (off, on, or as last confirmed); those already so get no frame.
class BoardLine : public QObject {
    Q_OBJECT
  public:
    enum class Pace { tick, answer };
    // A turn at least this often while the line is open.
    static constexpr int tick_ms = 50;
    // How long a frame waits for its answer: longer than any board and
    // adapter take, and as long as the panel waits.
    static constexpr std::chrono::milliseconds answer_patience{300};

    BoardLine(SerialPort& port, LinkMessages& messages, std::vector<std::uint8_t> boards,
              Pace pace = Pace::tick, QObject* parent = nullptr);
    ~BoardLine() override;

    // The boards' family and the line's serial settings, before open(): a
    // native line at 9600 8N1 until told. With inputs, every poll of a board
    // is followed by a read of its inputs.
    void use_line(const protocol::LineSettings& settings);
    [[nodiscard]] const protocol::LineSettings& line_settings() const {
        return wire_.line_settings();
    }
    // Opens the device as the panel does; false when it failed (reported).
    bool open(const PortDevice& device, int port_number, const PortChoices* choices = nullptr);
    // Frames go out from now on while the port is open.
    void start();
    // No more frames and no reconnect; every board offline.
    void stop();
    // Tests: no timer; each turn comes when turn_now() is called, and
    // turn_due_in_ms() tells when the timer would have brought it.
    void drive_turns_by_hand() { by_hand_ = true; }
    void turn_now() { turn(); }
    [[nodiscard]] std::optional<int> turn_due_in_ms() const { return turn_due_in_ms_; }

    // A board's rules; none until given.
    void set_rules(std::uint8_t address, BoardRules rules);
    [[nodiscard]] const BoardRules& rules(std::uint8_t address) const;
    // What an earlier run kept: pulse deadlines, and the relays last
    // confirmed (for power_on last).
    void restore_deadline(std::uint8_t address, int relay,
                          std::chrono::system_clock::time_point at);
    void restore_last(std::uint8_t address, std::uint16_t relays);

    // Switches wanted; each replaces what was wanted of those relays. Not
    // kept while the port is closed or the board is not one of the line's.
    void want(std::uint8_t address, int relay, bool on, const Origin& origin = {});
    // False, and nothing wanted, for all on when the board has interlocked
    // groups.
    bool want_all(std::uint8_t address, bool on, const Origin& origin = {});
    // On now, off after `length` (this once, whatever the rules say).
    void pulse(std::uint8_t address, int relay, std::chrono::milliseconds length,
               const Origin& origin);
    // The relays of a board whose command has not gone out yet, or waits for
    // its group's release.
    [[nodiscard]] std::uint16_t pending(std::uint8_t address) const;

    [[nodiscard]] const std::vector<std::uint8_t>& boards() const { return addresses_; }
    [[nodiscard]] bool serves(std::uint8_t address) const;
    [[nodiscard]] bool online(std::uint8_t address) const;
    // The relays the board's last answer showed, while it is online.
    [[nodiscard]] std::optional<std::uint16_t> relays(std::uint8_t address) const;
    // Its discrete inputs as last read (bit n-1: input n), while it is online.
    [[nodiscard]] std::optional<std::uint16_t> inputs(std::uint8_t address) const;
    // When its last answer came, while it is online.
    [[nodiscard]] std::optional<std::chrono::system_clock::time_point> answered_at(
        std::uint8_t address) const;
    [[nodiscard]] bool is_open() const { return wire_.is_open(); }
    [[nodiscard]] const QString& device() const { return wire_.device(); }
    [[nodiscard]] const LinkCounters& counters() const { return wire_.counters(); }
    [[nodiscard]] std::optional<PortFault> last_fault() const { return wire_.last_fault(); }
    [[nodiscard]] Pace pace() const { return pace_; }

  signals:
    // A frame's turn came: a line loop that is alive.
    void turned();
    void frame_sent(const tarnwick::protocol::Frame& frame);
    // A wanted state's command is going out, for whom.
    void command_sent(std::uint8_t address, const tarnwick::link::WantedStates::Want& want,
                      const tarnwick::link::Origin& origin);
    // A pulse's deadline set (before its ON goes out) or done (nothing).
    void deadline_changed(std::uint8_t address, int relay,
                          std::optional<std::chrono::system_clock::time_point> at);
    // An ON of an interlocked relay was dropped: the others were not
    // released in time, or a later switch in the group came first.
    void interlock_failed(std::uint8_t address, int relay, const QString& why);
    // Relays of one group seen on together; the group is being released.
    void interlock_broken(std::uint8_t address, std::uint16_t relays_on);
    // Every answer credited to a board; `to_query` when it answers a status
    // query sent after the board's last command, which shows what the
    // commands before it have done.
    void board_answered(std::uint8_t address, std::uint16_t relays, bool to_query);
    // A board's inputs read; `before` is nothing at the first read since it
    // came online.
    void inputs_changed(std::uint8_t address, std::optional<std::uint16_t> before,
                        std::uint16_t inputs);
    // A board refused a frame (a Modbus exception): why, naming the board,
    // the function and the exception.
    void request_refused(std::uint8_t address, const QString& why);
    // The board came online or went offline (`why` says which way and why).
    void board_online_changed(std::uint8_t address, bool online, const QString& why);
    // The relays a board shows once nothing is left to do of what it was
    // asked for at power-up: worth keeping for power_on last.
    void relays_confirmed(std::uint8_t address, std::uint16_t relays);
    // The relays shown changed; `before` is nothing when the board just came
    // online.
    void relays_changed(std::uint8_t address, std::optional<std::uint16_t> before,
                        std::uint16_t relays);
    void port_state_changed(bool open);
    // Answers that answer no frame: the first, then at most one report a
    // minute, with the count since the line opened.
    void unclaimed_answers(std::uint8_t address, quint64 since_open);

  private:
    struct Board {
        std::uint8_t address = 0;
        bool online = false;
        std::uint16_t relays = 0;
        BoardRules rules;
        std::optional<std::uint16_t> last;  // the relays last confirmed
        std::uint16_t broken = 0;           // groups seen with two on, until released
        bool restoring = false;             // power-on's switches still to be seen done
        std::int64_t queried = 0;           // the number of the last query to it
        std::uint64_t commanded = 0;        // ... and of the last command
        std::chrono::system_clock::time_point answered;  // its last answer
        std::optional<std::uint16_t> inputs;             // as last read, while online
    };
    using SteadyClock = std::chrono::steady_clock;
    using WallClock = std::chrono::system_clock;
    struct Deadline {
        WallClock::time_point at;
        bool off_sent = false;  // due; its OFF went out, waiting to be seen
        SteadyClock::time_point retry;
    };
    static int key(std::uint8_t address, int relay) { return protocol::relay_key(address, relay); }

    void take_patterns(const Board& board);
    void want_on(Board& board, int relay, const Origin& origin);
    void fail_waits(std::uint8_t address, std::uint16_t relays, const QString& why);
    void advance_waits(SteadyClock::time_point now);
    void expire_deadlines();
    // The first OFF still worth sending, left first in urgent_; those the
    // boards show off already are dropped on the way.
    std::optional<std::pair<std::uint8_t, int>> next_off();
    void pulse_sent(const Board& board, const WantedStates::Want& want);
    void start_shown_pulses();
    [[nodiscard]] bool worth_hurrying() const;
    void hurry();
    void start_pulse(std::uint8_t address, int relay, std::chrono::milliseconds length);
    void want_relay(std::uint8_t address, int relay, bool on, const Origin& origin,
                    std::optional<std::chrono::milliseconds> length);
    void answered_rules(Board& board, std::uint16_t relays, std::uint64_t query, bool came_online);
    void power_on(Board& board);
    void releasing(std::uint8_t address, const WantedStates::Want& want, std::uint64_t frame);

    void turn();
    void schedule_turn(int ms);
    // The frame's number; 0 when it did not go out.
    std::uint64_t send_turn(std::uint8_t address, const protocol::Command& command);
    void off_turn(std::uint8_t address, int relay);
    bool command_turn();
    [[nodiscard]] const Board& asked_longest_ago() const;
    [[nodiscard]] std::int64_t longest_unasked() const;
    [[nodiscard]] const Board* poll_first(std::uint8_t target) const;
    void start_round();
    void on_frame_sent(const protocol::Frame& frame);
    void on_accepted(const protocol::Frame& status, const std::optional<protocol::Frame>& sent);
    void on_answer(const protocol::Frame& sent, const protocol::Frame& status);
    void on_unclaimed(const protocol::Frame& status);
    void on_inputs(Board& board, std::uint16_t inputs);
    void on_refused(const protocol::Frame& sent, std::uint8_t function, std::uint8_t exception);
    void on_port_state(bool open);
    void go_offline(Board& board, const QString& why);
    Board* find(std::uint8_t address);
    const Board* find(std::uint8_t address) const;

    Wire wire_;
    Pace pace_;
    std::vector<std::uint8_t> addresses_;
    std::vector<Board> boards_;
    QTimer turn_;
    bool by_hand_ = false;
    std::optional<int> turn_due_in_ms_;
    bool started_ = false;
    std::optional<std::uint8_t> confirm_next_;  // queried right after its command
    std::optional<std::uint8_t> inputs_next_;   // its inputs read right after its poll
    int silence_ms_ = protocol::silence_ms({});
    protocol::Frame last_sent_{};               // its answer may hurry the turn
    QElapsedTimer last_answered_;               // since its answer; invalid until it comes
    BoardLiveness liveness_;
    WantedStates wanted_;
    std::map<int, Origin> origins_;  // key(address, relay): who wants it so
    Interlock interlock_;
    std::map<int, Deadline> deadlines_;
    // Pulsed ONs wanted, with their length: the time starts when the ON goes
    // out, or when it turns out none is needed.
    std::map<int, std::chrono::milliseconds> pulse_starts_;
    std::vector<std::pair<std::uint8_t, int>> urgent_;  // OFFs ahead of anything else
    std::uint64_t next_frame_ = 1;                      // the number the wire gives the next frame
    QElapsedTimer unclaimed_told_;
};

}  // namespace tarnwick::link
