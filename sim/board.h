#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/frame.h"

namespace tarnwick::sim {

using Bytes = std::vector<std::uint8_t>;

// The boards' language on the line: the native 8-byte frames, or Modbus RTU.
enum class Protocol { native, modbus };

// What a board does with one command frame addressed to it.
struct Answer {
    Bytes bytes;               // what the board sends back; none to a broadcast
    std::size_t heard = 0;     // the length of the command it answers
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

    // A Modbus board: relay n is coil n-1, and it has `inputs` discrete
    // inputs (0..16) that read as `input_bits`, bit k for input k.
    Board& with_inputs(int inputs, std::uint16_t input_bits);

    // Applies one command frame as if it had arrived whole; the address and
    // checksum are not examined.
    Answer execute(const protocol::Frame& command);

    // Applies one Modbus request whose CRC holds, for this board's unit or
    // for all (unit 0, which gets no answer); the unit is not examined.
    Answer serve(std::span<const std::uint8_t> request);

    [[nodiscard]] std::uint8_t address() const { return address_; }
    [[nodiscard]] std::uint16_t relays() const { return relays_; }

    // The power went and came back: the relays are as at the start.
    void power_cut() { relays_ = start_; }

  private:
    Answer read(std::span<const std::uint8_t> request) const;
    Answer write_one(std::span<const std::uint8_t> request);
    Answer write_several(std::span<const std::uint8_t> request);
    [[nodiscard]] Answer refused(std::span<const std::uint8_t> request, std::uint8_t code) const;
    // The answer to a Modbus request, with the relays as they are now.
    [[nodiscard]] Answer modbus_answer(Bytes bytes, std::uint16_t before) const;

    std::uint8_t address_;
    std::uint16_t relays_;
    std::uint16_t start_;
    bool stuck_;
    int inputs_ = 0;
    std::uint16_t input_bits_ = 0;
};

// The boards sharing one line: bytes from the host go in, the answers of
// whichever boards the frames address come out.
class Bus {
  public:
    explicit Bus(std::vector<Board> boards, Protocol protocol = Protocol::native);

    // Takes bytes as they arrive, in pieces of any size. Returns one answer for
    // every complete command frame that carries the address of one of the
    // boards, in the order the frames arrived. Bytes that cannot start a frame
    // are dropped one at a time until a 0x55 begins 8 bytes with a valid
    // checksum; for Modbus, until a request of a length its head tells ends
    // in a CRC that holds. A Modbus broadcast gets an answer from every
    // board, with no bytes to send.
    // Every whole command frame read, for any address, is appended to
    // `frames` when given.
    std::vector<Answer> feed(std::span<const std::uint8_t> bytes,
                             std::vector<Bytes>* frames = nullptr);

    // The bytes still waiting to become a frame.
    [[nodiscard]] std::size_t pending() const { return buffer_.size(); }
    // The pending bytes will not grow into the frame they began: each head
    // that waited for more is dropped in turn, and the frames found in what
    // follows it are answered as feed() answers them. Nothing is left pending.
    std::vector<Answer> drop_pending(std::vector<Bytes>* frames = nullptr);

    // Every board loses its power: bytes half-read are gone, the relays are
    // as at the start.
    void power_cut();
    [[nodiscard]] const std::vector<Board>& boards() const { return boards_; }

  private:
    void take(std::size_t& start, std::vector<Answer>& answers, std::vector<Bytes>* frames);
    // Frames from buffer_ at `start` on, moving `start` past what they used.
    void take_native(std::size_t& start, std::vector<Answer>& answers, std::vector<Bytes>* frames);
    void take_modbus(std::size_t& start, std::vector<Answer>& answers, std::vector<Bytes>* frames);

    std::vector<Board> boards_;
    Protocol protocol_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace tarnwick::sim
