#include "protocol/frame.h"

#include <stdexcept>

#include "protocol/number_text.h"

namespace tarnwick::protocol {

std::optional<std::uint8_t> address_byte(std::string_view address_text) {
    auto value = parse_whole_number(address_text);
    if (!value) return std::nullopt;
    const std::int32_t rest = *value % 256;  // C++ keeps the dividend's sign
    if (rest < 0) return std::nullopt;
    return static_cast<std::uint8_t>(rest);
}

std::uint8_t checksum(const Frame& frame) {
    unsigned sum = 0;  // at most 7 * 255
    for (std::size_t i = 0; i + 1 < frame_size; ++i) sum += frame[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

Frame encode_command(std::uint8_t address, const Command& command) {
    Frame frame{command_header, address, command.code, 0x00, 0x00, command.a, command.b, 0};
    frame[7] = checksum(frame);
    return frame;
}

Command switch_command(int relay, bool energize) {
    if (relay < 1 || relay > relay_count) throw std::out_of_range("relay outside 1..16");
    const auto n = static_cast<std::uint8_t>(relay);
    return energize ? Command{cmd_energize, energize_data_a, n} : Command{cmd_release, 0x00, n};
}

Command all_command(bool energize) {
    const std::uint8_t data = energize ? all_on_data : 0x00;
    return Command{cmd_all, data, data};
}

std::uint16_t relay_bit(int relay) {
    if (relay < 1 || relay > relay_count) throw std::out_of_range("relay outside 1..16");
    return static_cast<std::uint16_t>(1u << (relay - 1));
}

void WantedRelays::want(int relay, bool energize) {
    const std::uint16_t bit = relay_bit(relay);
    mask = static_cast<std::uint16_t>(mask | bit);
    energized = static_cast<std::uint16_t>(energize ? energized | bit : energized & ~bit);
}

void WantedRelays::want_all(bool energize) {
    mask = 0xFFFF;
    energized = energize ? 0xFFFF : 0x0000;
}

std::optional<Frame> build_command(std::string_view address_text, std::uint8_t code, std::uint8_t a,
                                   std::uint8_t b) {
    auto address = address_byte(address_text);
    if (!address) return std::nullopt;
    return encode_command(*address, Command{code, a, b});
}

bool accept_status(const Frame& frame) {
    return judge_status(frame) == Verdict::accepted;
}

Verdict judge_status(const Frame& frame) {
    if (frame[0] != status_header) return Verdict::bad_first_byte;
    if (checksum(frame) != frame[7]) return Verdict::bad_checksum;
    return Verdict::accepted;
}

int get_bit(int value, int n) {
    if (n < 0 || n > 7) throw std::out_of_range("get_bit: bit number outside 0..7");
    return (value >> n) & 1;
}

bool relay_energized(const Frame& status, int relay) {
    if (relay < 1 || relay > relay_count) throw std::out_of_range("relay outside 1..16");
    if (relay <= 8) return get_bit(status[status_low_byte], relay - 1) == 1;
    return get_bit(status[status_high_byte], relay - 9) == 1;
}

std::uint16_t relay_pattern(const Frame& status) {
    return static_cast<std::uint16_t>(status[status_high_byte] << 8 | status[status_low_byte]);
}

Frame encode_status(std::uint8_t address, std::uint8_t code, std::uint16_t relays) {
    Frame frame{status_header,
                address,
                code,
                0x00,
                0x00,
                static_cast<std::uint8_t>(relays >> 8),
                static_cast<std::uint8_t>(relays & 0xFF),
                0};
    frame[7] = checksum(frame);
    return frame;
}

}  // namespace tarnwick::protocol
