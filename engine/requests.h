#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>

#include "engine/board_line.h"

namespace tarnwick::link {

// What became of a request: done, or why not.
struct Settled {
    enum class Error { none, not_confirmed, offline, interlock, refused };
    Error error = Error::none;
    QString why;  // for every error: one sentence
    [[nodiscard]] bool ok() const { return error == Error::none; }
};
using Settle = std::function<void(const Settled&)>;

// Switches asked of a line by callers that want to know how they ended.
// Each settles exactly once, later or at once:
// - done when a query's answer shows the relays as wanted (a pulse: also
//   when its OFF goes out, which proves its ON went out however short it was);
// - not_confirmed when, its command out, three queries' answers show the
//   relays otherwise (an answer may still show them from before the command),
//   or a later request wants those relays otherwise;
// - offline when the board is offline or goes offline, or the device goes
//   away; interlock when the board's groups refuse it;
// - refused when the board refuses the command that carries it (a Modbus
//   exception), with the board's reason.
class Requests : public QObject {
    Q_OBJECT
  public:
    explicit Requests(BoardLine& line, QObject* parent = nullptr);

    // Listens to the line from now on: connected after its other listeners,
    // a request settles after they have heard of the same change.
    void listen();
    // A program that opened the line for one command asks before the board
    // ever answered: the request waits for it instead of failing as offline.
    // The same program gives up on a switch when its own time is over, not
    // after three answers: a slow board may still switch within it.
    void let_caller_keep_time() { caller_keeps_time_ = true; }

    // The relays in `mask` of a board, each on when its bit is set in
    // `bits`; `length`: a pulse of the one relay in `mask`.
    void ask(std::uint8_t address, std::uint16_t mask, std::uint16_t bits, const Origin& origin,
             Settle settle, std::optional<std::chrono::milliseconds> length = std::nullopt);
    // Every request of a board (of every board without one) fails so.
    void fail_all(std::optional<std::uint8_t> address, Settled::Error error, const QString& why);
    [[nodiscard]] std::size_t waiting() const { return asked_.size(); }

  private:
    struct Asked {
        std::uint8_t address = 0;
        std::uint16_t mask = 0, bits = 0;
        int queries_after = 0;  // answers to queries since its command went out
        Settle settle;
        bool pulse = false;
        bool sent = false;  // its command went out
    };

    void on_answer(std::uint8_t address, std::uint16_t relays, bool to_query);
    void on_command(std::uint8_t address, const WantedStates::Want& want, const Origin& origin);
    void on_refused(std::uint8_t address, const QString& why);
    // Every request the predicate picks, taken out before any is told.
    void settle_if(const std::function<bool(const Asked&)>& pick, const Settled& settled);

    BoardLine& line_;
    std::list<Asked> asked_;
    bool caller_keeps_time_ = false;
    std::set<std::uint8_t> gone_;  // boards seen going offline
    // Per board, whether the last frame sent to it was a command: a refused
    // read of its inputs leaves the switches asked of it alone.
    std::map<std::uint8_t, bool> commanded_last_;
};

}  // namespace tarnwick::link
