#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/board_liveness.h"
#include "link/headless_panel.h"
#include "link/link_controller.h"
#include "link/wanted_states.h"

namespace tarnwick::link {

class PortChoices;

// Several boards on one serial line, for a program that owns the line: poll
// these boards, switch this relay, tell me each board's answer. It runs the
// panel's link underneath (the same frames, the same port lock, reopening a
// device that comes back), one frame per turn:
// - a query to the board just commanded, so a switch is confirmed at once;
// - else a wanted state's command, once a board was polled in turn since the
//   last one, so under a flood of switches every third frame still polls;
// - else a query to the next board in turn.
// A turn comes every 50 ms (Pace::tick), or as soon as the last frame's
// answer is in and the line has been silent, at the latest after 50 ms
// (Pace::answer).
//
// A switch is a wanted state, the latest per relay winning (wanted_states.h).
// An answer is the board's whose frame it answers, however late it comes
// (answer_attribution.h); one that answers no frame is counted and told, not
// credited. A board is online from an answer of its own until six of its own
// polls in a row go unanswered; relays are known only while it is online.
// Nothing is switched but what was wanted: not an open, a reconnect or a
// board coming back. When the device goes away every board is offline and
// what was wanted is forgotten.
class BoardLine : public QObject {
    Q_OBJECT
  public:
    enum class Pace { tick, answer };
    // The line's 3.5-character silence at 9600 baud, rounded up.
    static constexpr int answer_silence_ms = 4;

    BoardLine(SerialPort& port, LinkMessages& messages, std::vector<std::uint8_t> boards,
              Pace pace = Pace::tick, QObject* parent = nullptr);
    ~BoardLine() override;

    // Opens the device as the panel does; false when it failed (reported).
    bool open(const PortDevice& device, int port_number, const PortChoices* choices = nullptr);
    // Frames go out from now on while the port is open.
    void start();
    // No more frames and no reconnect; every board offline.
    void stop();

    // Switches wanted; each replaces what was wanted of those relays. Not
    // kept while the port is closed or the board is not one of the line's.
    void want(std::uint8_t address, int relay, bool on);
    void want_all(std::uint8_t address, bool on);
    // The relays of a board whose command has not gone out yet.
    [[nodiscard]] std::uint16_t pending(std::uint8_t address) const {
        return wanted_.pending(address);
    }

    [[nodiscard]] const std::vector<std::uint8_t>& boards() const { return addresses_; }
    [[nodiscard]] bool serves(std::uint8_t address) const;
    [[nodiscard]] bool online(std::uint8_t address) const;
    // The relays the board's last answer showed, while it is online.
    [[nodiscard]] std::optional<std::uint16_t> relays(std::uint8_t address) const;
    [[nodiscard]] bool is_open() const { return link_.port_open(); }
    [[nodiscard]] const QString& device() const { return link_.open_device(); }
    [[nodiscard]] const LinkCounters& counters() const { return link_.counters(); }
    [[nodiscard]] Pace pace() const { return pace_; }

  signals:
    // A frame's turn came: a line loop that is alive.
    void turned();
    void frame_sent(const tarnwick::protocol::Frame& frame);
    // A wanted state's command went out.
    void command_sent(std::uint8_t address, const tarnwick::link::WantedStates::Want& want);
    // Every answer credited to a board; `to_query` when it answers a status
    // query, which shows what commands before it have done.
    void board_answered(std::uint8_t address, std::uint16_t relays, bool to_query);
    // The board came online or went offline (`why` says which way and why).
    void board_online_changed(std::uint8_t address, bool online, const QString& why);
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
    };

    void turn();
    void send_turn();
    bool command_turn();
    void on_frame_sent(const protocol::Frame& frame);
    void on_answer(const protocol::Frame& sent, const protocol::Frame& status);
    void on_unclaimed(const protocol::Frame& status);
    void on_port_state(bool open);
    void go_offline(Board& board, const QString& why);
    Board* find(std::uint8_t address);
    const Board* find(std::uint8_t address) const;

    HeadlessPanel panel_;
    LinkController link_;
    Pace pace_;
    std::vector<std::uint8_t> addresses_;
    std::vector<Board> boards_;
    QTimer turn_;
    bool started_ = false;
    std::size_t next_poll_ = 0;
    std::optional<std::uint8_t> confirm_next_;  // queried right after its command
    std::optional<std::uint8_t> confirmed_;     // ... and asked in the last turn
    bool polled_in_turn_ = true;                // since the last command
    protocol::Frame last_sent_{};               // Pace::answer: its answer hurries the turn
    BoardLiveness liveness_;
    WantedStates wanted_;
    QElapsedTimer unclaimed_told_;
};

}  // namespace tarnwick::link
