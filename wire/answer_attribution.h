#pragma once

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
class AnswerAttribution {
  public:
    using Clock = std::chrono::steady_clock;

    explicit AnswerAttribution(std::chrono::milliseconds patience) : patience_(patience) {}

    // A frame went out on the wire; its number, counting from 1.
    std::uint64_t sent(const protocol::Frame& frame, Clock::time_point now);
    // An accepted status frame came in: the frame it answers (same address),
    // no longer waiting, or nothing.
    std::optional<protocol::Frame> answered(const protocol::Frame& status, Clock::time_point now);
    // The number of the frame answered() returned last; 0 before any.
    [[nodiscard]] std::uint64_t last_answered_number() const { return last_answered_number_; }
    // Nothing waits any more (the port closed or opened again).
    void clear() { waiting_.clear(); }

  private:
    struct Waiting {
        protocol::Frame frame;
        Clock::time_point sent;
        std::uint64_t number = 0;
    };

    void forget_older(Clock::time_point now);

    std::chrono::milliseconds patience_;
    std::deque<Waiting> waiting_;  // oldest first; one frame a tick keeps it short
    std::uint64_t sent_count_ = 0;
    std::uint64_t last_answered_number_ = 0;
};

}  // namespace tarnwick::link
