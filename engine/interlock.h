#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/board_rules.h"

namespace tarnwick::link {

// The ONs of interlocked relays waiting for the others of their groups, for
// whoever drives a line (the engine's BoardLine, the panel's form). An ON
// first has the others of its groups that may be on released, waits until
// the answer to a query sent after the last of those releases shows them all
// off, then waits the board's interlock_wait, and is due. Not seen released
// within `patience`, it is dropped. The driver sends the frames and tells
// what went out and what came back, by the wire's frame numbers; no I/O, no
// clock of its own: the caller says when.
class Interlock {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds patience{1000};
    static constexpr std::uint16_t every_relay = 0xffff;

    struct Wait {
        std::uint8_t address = 0;
        int relay = 0;                       // the ON waiting
        std::uint16_t release = 0;           // to be seen off first (bit r-1: relay r)
        std::chrono::milliseconds settle{};  // the board's interlock_wait
        Origin origin;                       // who wants the ON
        Clock::time_point started;
        std::optional<Clock::time_point> released;  // when seen released
        // Only the answer to a query numbered after this counts: an earlier
        // one may show the relays from before the last release.
        std::uint64_t after = 0;
    };
    struct Due {
        std::vector<Wait> on;    // released and waited: the ON goes out now
        std::vector<Wait> late;  // not seen released in time: dropped
    };

    // What must go off before `relay` goes on: the others of its groups
    // among `may_be_on` (those on, or not known to be off).
    [[nodiscard]] static std::uint16_t to_release(const BoardRules& rules, int relay,
                                                  std::uint16_t may_be_on);

    // An ON starts waiting; `after` is the number of the last frame sent. It
    // replaces a wait of the same relay.
    void start(const Wait& wait);
    // A frame releasing `relays` of the board went out with this number.
    void release_sent(std::uint8_t address, std::uint16_t relays, std::uint64_t frame);
    // The answer to query `frame` of the board shows `relays`; `pending`: the
    // releases not sent yet.
    void answered(std::uint8_t address, std::uint16_t relays, std::uint64_t frame,
                  std::uint16_t pending, Clock::time_point now);
    // Takes out the waits whose ON is due now and those that timed out.
    [[nodiscard]] Due advance(Clock::time_point now);
    // Takes out the waits of the board's ONs among `relays`.
    std::vector<Wait> drop(std::uint8_t address, std::uint16_t relays = every_relay);
    void clear() { waits_.clear(); }

    // The relays of the board whose ON waits.
    [[nodiscard]] std::uint16_t waiting(std::uint8_t address) const;
    [[nodiscard]] bool empty() const { return waits_.empty(); }
    [[nodiscard]] const std::vector<Wait>& waits() const { return waits_; }

  private:
    std::vector<Wait> waits_;
};

}  // namespace tarnwick::link
