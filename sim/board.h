#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/frame.h"

namespace tarnwick::sim {

// What a board does with one command frame addressed to it.
struct Answer {
    protocol::Frame frame{};   // the status frame to send back
    std::uint8_t address = 0;  // the board that answers
    std::uint16_t relays = 0;  // relay state after the command, bit r-1 = relay r
    bool changed = false;      // the command switched at least one relay
};

// One 16-relay board. No I/O here; the caller owns the line and the timing.
class Board {
  public:
    // A stuck board answers every command with its state but switches nothing,
    // as a board with a dead relay driver would.
    explicit Board(std::uint8_t address, std::uint16_t relays = 0, bool stuck = false);

    // Applies one command frame as if it had arrived whole; the address and
    // checksum are not examined.
    Answer execute(const protocol::Frame& command);

    [[nodiscard]] std::uint8_t address() const { return address_; }
    [[nodiscard]] std::uint16_t relays() const { return relays_; }

    // The power went and came back: the relays are as at the start.
    void power_cut() { relays_ = start_; }

  private:
    std::uint8_t address_;
    std::uint16_t relays_;
    std::uint16_t start_;
    bool stuck_;
};

// The boards sharing one line: bytes from the host go in, the answers of
// whichever boards the frames address come out.
class Bus {
  public:
    explicit Bus(std::vector<Board> boards);

    // Takes bytes as they arrive, in pieces of any size. Returns one answer for
    // every complete command frame that carries the address of one of the
    // boards, in the order the frames arrived. Bytes that cannot start a frame
    // are dropped one at a time until a 0x55 begins 8 bytes with a valid
    // checksum.
    // Every whole command frame read, for any address, is appended to
    // `frames` when given.
    std::vector<Answer> feed(std::span<const std::uint8_t> bytes,
                             std::vector<protocol::Frame>* frames = nullptr);

    // Every board loses its power: bytes half-read are gone, the relays are
    // as at the start.
    void power_cut();
    [[nodiscard]] const std::vector<Board>& boards() const { return boards_; }

  private:
    std::vector<Board> boards_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace tarnwick::sim
