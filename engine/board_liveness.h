#pragma once

#include <array>
#include <cstdint>

namespace tarnwick::link {

// Whether each board on a line still answers, when the polls go round
// several addresses (one frame per tick, each board every k ticks): a board
// is live from an accepted answer of its own until six of its polls in a row
// go without one, the panel's rule for its one board counted in the board's
// own polls. Fed by the line with each frame it sends and each answer
// credited to a frame (wire.h).
class BoardLiveness {
  public:
    static constexpr int polls_without_answer = 6;

    void polled(std::uint8_t address) {
        int& missed = missed_[address];
        if (missed < polls_without_answer) ++missed;
    }
    // The board answered one of its polls.
    void answered(std::uint8_t address) {
        missed_[address] = 0;
        answered_[address] = true;
    }
    [[nodiscard]] bool live(std::uint8_t address) const {
        return answered_[address] && missed_[address] < polls_without_answer;
    }

  private:
    std::array<int, 256> missed_{};
    std::array<bool, 256> answered_{};
};

}  // namespace tarnwick::link
