#include "sim/board.h"

#include <algorithm>
#include <utility>

#include "protocol/modbus.h"

namespace tarnwick::sim {

namespace p = tarnwick::protocol;
namespace mb = tarnwick::protocol::modbus;

namespace {

constexpr std::uint16_t all_relays = 0xFFFF;

// Bit r-1 for relay r, or nothing for a number outside 1..16.
std::uint16_t relay_bit(std::uint8_t relay) {
    if (relay < 1 || relay > p::relay_count) return 0;
    return static_cast<std::uint16_t>(1u << (relay - 1));
}

// The big-endian word at `at`.
std::uint16_t word(std::span<const std::uint8_t> frame, std::size_t at) {
    return static_cast<std::uint16_t>((frame[at] << 8) | frame[at + 1]);
}

// The low `count` bits set, count 0..16.
std::uint16_t low_bits(unsigned count) {
    return static_cast<std::uint16_t>((1u << count) - 1u);
}

Answer native_answer(const p::Frame& frame, std::uint8_t address, std::uint16_t relays,
                     bool changed) {
    return Answer{Bytes(frame.begin(), frame.end()), p::frame_size, address, relays, changed};
}

}  // namespace

Board::Board(std::uint8_t address, std::uint16_t relays, bool stuck)
    : address_(address), relays_(relays), start_(relays), stuck_(stuck) {}

Answer Board::execute(const p::Frame& command) {
    const std::uint8_t code = command[2];
    const std::uint8_t a = command[5];
    const std::uint8_t b = command[6];
    const std::uint16_t before = relays_;
    if (stuck_)
        return native_answer(p::encode_status(address_, code, relays_), address_, relays_, false);

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

    return native_answer(p::encode_status(address_, code, relays_), address_, relays_,
                         relays_ != before);
}

Board& Board::with_inputs(int inputs, std::uint16_t input_bits) {
    inputs_ = std::clamp(inputs, 0, p::relay_count);
    input_bits_ = static_cast<std::uint16_t>(input_bits & low_bits(static_cast<unsigned>(inputs_)));
    return *this;
}

Answer Board::serve(std::span<const std::uint8_t> request) {
    Answer answer;
    switch (request[1]) {
        case mb::read_coils:
        case mb::read_discrete_inputs:
            answer = read(request);
            break;
        case mb::write_single_coil:
            answer = write_one(request);
            break;
        case mb::write_multiple_coils:
            answer = write_several(request);
            break;
        default:
            answer = refused(request, mb::illegal_function);
    }
    if (request[0] == mb::broadcast) answer.bytes.clear();
    return answer;
}

Answer Board::read(std::span<const std::uint8_t> request) const {
    const bool coils = request[1] == mb::read_coils;
    const unsigned first = word(request, 2);
    const unsigned count = word(request, 4);
    const unsigned have = coils ? p::relay_count : static_cast<unsigned>(inputs_);
    if (count == 0 || first + count > have) return refused(request, mb::illegal_data_address);
    const unsigned bits = coils ? relays_ : input_bits_;
    return modbus_answer(mb::bits_answer(address_, request[1], static_cast<std::uint16_t>(count),
                                         static_cast<std::uint16_t>(bits >> first)),
                         relays_);
}

Answer Board::write_one(std::span<const std::uint8_t> request) {
    const unsigned coil = word(request, 2);
    const std::uint16_t value = word(request, 4);
    // The standard looks at the value before the address.
    if (value != 0xFF00 && value != 0x0000) return refused(request, mb::illegal_data_value);
    if (coil >= static_cast<unsigned>(p::relay_count))
        return refused(request, mb::illegal_data_address);
    const std::uint16_t before = relays_;
    const auto bit = static_cast<std::uint16_t>(1u << coil);
    if (!stuck_) relays_ = value ? (relays_ | bit) : (relays_ & static_cast<std::uint16_t>(~bit));
    return modbus_answer(Bytes(request.begin(), request.end()), before);
}

Answer Board::write_several(std::span<const std::uint8_t> request) {
    const unsigned first = word(request, 2);
    const unsigned count = word(request, 4);
    if (count == 0 || request[6] != (count + 7) / 8)
        return refused(request, mb::illegal_data_value);
    if (first + count > static_cast<unsigned>(p::relay_count))
        return refused(request, mb::illegal_data_address);
    unsigned bits = 0;
    for (unsigned i = 0; i < request[6]; ++i) bits |= unsigned{request[7 + i]} << (8 * i);
    const auto mask = static_cast<std::uint16_t>(low_bits(count) << first);
    const std::uint16_t before = relays_;
    if (!stuck_) relays_ = static_cast<std::uint16_t>((relays_ & ~mask) | ((bits << first) & mask));
    return modbus_answer(mb::coils_written(address_, static_cast<std::uint16_t>(first),
                                           static_cast<std::uint16_t>(count)),
                         before);
}

Answer Board::refused(std::span<const std::uint8_t> request, std::uint8_t code) const {
    return modbus_answer(mb::exception_answer(address_, request[1], code), relays_);
}

Answer Board::modbus_answer(Bytes bytes, std::uint16_t before) const {
    return Answer{std::move(bytes), 0, address_, relays_, relays_ != before};
}

Bus::Bus(std::vector<Board> boards, Protocol protocol)
    : boards_(std::move(boards)), protocol_(protocol) {}

void Bus::power_cut() {
    buffer_.clear();
    for (Board& board : boards_) board.power_cut();
}

std::vector<Answer> Bus::feed(std::span<const std::uint8_t> bytes, std::vector<Bytes>* frames) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    std::vector<Answer> answers;
    std::size_t start = 0;
    take(start, answers, frames);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return answers;
}

std::vector<Answer> Bus::drop_pending(std::vector<Bytes>* frames) {
    std::vector<Answer> answers;
    std::size_t start = 0;
    while (start < buffer_.size()) {
        ++start;  // a head whose frame never came whole
        take(start, answers, frames);
    }
    buffer_.clear();
    return answers;
}

void Bus::take(std::size_t& start, std::vector<Answer>& answers, std::vector<Bytes>* frames) {
    if (protocol_ == Protocol::modbus)
        take_modbus(start, answers, frames);
    else
        take_native(start, answers, frames);
}

void Bus::take_native(std::size_t& start, std::vector<Answer>& answers,
                      std::vector<Bytes>* frames) {
    while (buffer_.size() - start >= p::frame_size) {
        p::Frame frame;
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start), p::frame_size,
                    frame.begin());
        if (frame[0] != p::command_header || p::checksum(frame) != frame[7]) {
            ++start;  // not a frame here; try one byte further on
            continue;
        }
        start += p::frame_size;
        if (frames) frames->emplace_back(frame.begin(), frame.end());
        for (Board& board : boards_)
            if (frame[1] == board.address()) answers.push_back(board.execute(frame));
    }
    // A tail that does not begin with 0x55 can never become a frame.
    while (start < buffer_.size() && buffer_[start] != p::command_header) ++start;
}

void Bus::take_modbus(std::size_t& start, std::vector<Answer>& answers,
                      std::vector<Bytes>* frames) {
    for (;;) {
        const auto rest = std::span(buffer_).subspan(start);
        const auto length = mb::request_length(rest);
        if (!length) return;  // too little to tell yet
        if (*length == mb::unknown_length || *length > mb::max_frame || *length < 4) {
            ++start;  // no request starts here
            continue;
        }
        if (rest.size() < *length) return;
        const auto frame = rest.first(*length);
        if (!mb::crc_holds(frame)) {
            ++start;
            continue;
        }
        start += *length;
        if (frames) frames->emplace_back(frame.begin(), frame.end());
        for (Board& board : boards_) {
            if (frame[0] != mb::broadcast && frame[0] != board.address()) continue;
            Answer answer = board.serve(frame);
            answer.heard = frame.size();
            answers.push_back(std::move(answer));
        }
    }
}

}  // namespace tarnwick::sim
