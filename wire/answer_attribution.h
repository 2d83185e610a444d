#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

#include "protocol/frame.h"

namespace tarnwick::link {

// Which frame an answer on a line answers, when several boards share it and
// any of them may answer late, after the next frame went out. A board
// answers the frames addressed to it in the order they came and puts its own
// address in byte 1 of each answer: an answer goes to the oldest frame to
// that address still waiting for one. A frame waits until it is answered or
// `patience` has passed, which must be longer than the latest answer a board
// and its adapter give. An answer from an address with no frame waiting
// answers nothing here. No I/O, no clock of its own: the caller says when.
//
// A frame the board never got (noise), or whose answer was lost, would
// otherwise have every later answer of that board taken for the frame before
// its own for as long as frames to it come closer than `patience`. Most
// boards echo the code of the frame they answer in byte 2; a board seen to
// do so (an answer carrying the code of a switch waiting for it) has its
// answers matched by code too: an answer goes to the oldest frame to its
// address with that code, and the older ones to that address are given up.
// A board that does not echo is matched by address alone, as before.
class AnswerAttribution {
  public:
    using Clock = std::chrono::steady_clock;

    explicit AnswerAttribution(std::chrono::milliseconds patience) : patience_(patience) {}

    // A frame went out on the wire, its answer to carry `code`; its number,
    // counting from 1.
    std::uint64_t sent(const protocol::Frame& frame, std::uint8_t code, Clock::time_point now);
    // An accepted answer from `address` carrying `code` came in: the frame it
    // answers, no longer waiting, or nothing.
    std::optional<protocol::Frame> answered(std::uint8_t address, std::uint8_t code,
                                            Clock::time_point now);
    // The native family, whose answers carry the frame's own code.
    std::uint64_t sent(const protocol::Frame& frame, Clock::time_point now) {
        return sent(frame, frame[2], now);
    }
    std::optional<protocol::Frame> answered(const protocol::Frame& status, Clock::time_point now) {
        return answered(status[1], status[2], now);
    }
    // The number of the frame answered() returned last; 0 before any.
    [[nodiscard]] std::uint64_t last_answered_number() const { return last_answered_number_; }
    // Boards whose answers always carry the function they answer (Modbus):
    // an answer with another code answers no frame.
    void match_codes_always(bool always) { codes_always_ = always; }
    // Nothing waits any more (the port closed or opened again); the boards
    // there may be others now.
    void clear() {
        waiting_.clear();
        echoes_.reset();
    }

  private:
    struct Waiting {
        protocol::Frame frame;
        std::uint8_t code = 0;  // what its answer carries
        Clock::time_point sent;
        std::uint64_t number = 0;
    };

    void forget_older(Clock::time_point now);
    // The frame an answer from `address` carrying `code` answers.
    std::deque<Waiting>::iterator match(std::uint8_t address, std::uint8_t code);

    std::chrono::milliseconds patience_;
    std::deque<Waiting> waiting_;  // oldest first; one frame a tick keeps it short
    std::bitset<256> echoes_;      // addresses whose boards echo the code
    bool codes_always_ = false;
    std::uint64_t sent_count_ = 0;
    std::uint64_t last_answered_number_ = 0;
};

}  // namespace tarnwick::link
