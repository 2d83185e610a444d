#include "sim/board.h"

#include <algorithm>
#include <utility>

namespace tarnwick::sim {

namespace p = tarnwick::protocol;

namespace {

constexpr std::uint16_t all_relays = 0xFFFF;

// Bit r-1 for relay r, or nothing for a number outside 1..16.
std::uint16_t relay_bit(std::uint8_t relay) {
    if (relay < 1 || relay > p::relay_count) return 0;
    return static_cast<std::uint16_t>(1u << (relay - 1));
}

}  // namespace

Board::Board(std::uint8_t address, std::uint16_t relays, bool stuck)
    : address_(address), relays_(relays), start_(relays), stuck_(stuck) {}

Answer Board::execute(const p::Frame& command) {
    const std::uint8_t code = command[2];
    const std::uint8_t a = command[5];
    const std::uint8_t b = command[6];
    const std::uint16_t before = relays_;
    if (stuck_) return Answer{p::encode_status(address_, code, relays_), address_, relays_, false};

    // Only the exact data bytes the host documents switch anything; a command
    // with unexpected data is still answered with the unchanged state, so a
    // host that gets byte A wrong sees its relay stay put.
    if (code == p::cmd_release && a == 0x00) {
        relays_ &= static_cast<std::uint16_t>(~relay_bit(b));
    } else if (code == p::cmd_energize && a == p::energize_data_a) {
        relays_ |= relay_bit(b);
    } else if (code == p::cmd_all && a == p::all_on_data && b == p::all_on_data) {
        relays_ = all_relays;
    } else if (code == p::cmd_all && a == 0x00 && b == 0x00) {
        relays_ = 0;
    }

    return Answer{p::encode_status(address_, code, relays_), address_, relays_, relays_ != before};
}

Bus::Bus(std::vector<Board> boards) : boards_(std::move(boards)) {}

void Bus::power_cut() {
    buffer_.clear();
    for (Board& board : boards_) board.power_cut();
}

std::vector<Answer> Bus::feed(std::span<const std::uint8_t> bytes, std::vector<p::Frame>* frames) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());

    std::vector<Answer> answers;
    std::size_t start = 0;
    while (buffer_.size() - start >= p::frame_size) {
        p::Frame frame;
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start), p::frame_size,
                    frame.begin());
        if (frame[0] != p::command_header || p::checksum(frame) != frame[7]) {
            ++start;  // not a frame here; try one byte further on
            continue;
        }
        start += p::frame_size;
        if (frames) frames->push_back(frame);
        for (Board& board : boards_)
            if (frame[1] == board.address()) answers.push_back(board.execute(frame));
    }
    // A tail that does not begin with 0x55 can never become a frame.
    while (start < buffer_.size() && buffer_[start] != p::command_header) ++start;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return answers;
}

}  // namespace tarnwick::sim
