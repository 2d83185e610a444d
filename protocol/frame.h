#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick::protocol {

// Every frame on the wire is exactly 8 bytes, with no framing around it.
inline constexpr std::size_t frame_size = 8;
using Frame = std::array<std::uint8_t, frame_size>;

inline constexpr std::uint8_t command_header = 0x55;  // host to board
inline constexpr std::uint8_t status_header = 0x22;   // board to host

// Command codes the host sends.
inline constexpr std::uint8_t cmd_query = 0x10;
inline constexpr std::uint8_t cmd_release = 0x11;   // A = 0x00, B = relay 1..16
inline constexpr std::uint8_t cmd_energize = 0x21;  // A = 0xFA, B = relay 1..16
inline constexpr std::uint8_t cmd_all = 0x13;       // A = B = 0xFF: all on; A = B = 0x00: all off
inline constexpr std::uint8_t energize_data_a = 0xFA;
inline constexpr std::uint8_t all_on_data = 0xFF;

inline constexpr int relay_count = 16;

// One number per relay of a line (board 0..255, relay 1..16), for maps and
// sets keyed by both, in the order of board, then relay.
[[nodiscard]] constexpr int relay_key(std::uint8_t address, int relay) {
    return address * relay_count + relay - 1;
}
[[nodiscard]] constexpr std::uint8_t key_address(int key) {
    return static_cast<std::uint8_t>(key / relay_count);
}
[[nodiscard]] constexpr int key_relay(int key) {
    return key % relay_count + 1;
}

// The pending command slot: code, data byte A, data byte B, in that order.
struct Command {
    std::uint8_t code = 0;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    friend bool operator==(const Command&, const Command&) = default;
};

// The command that energizes (0x21 FA n) or releases (0x11 00 n) relay n,
// 1..16, and the all-relay command (0x13 FF FF, 0x13 00 00).
[[nodiscard]] Command switch_command(int relay, bool energize);
[[nodiscard]] Command all_command(bool energize);

// Bit r-1 of a relay pattern stands for relay r (1..16).
[[nodiscard]] std::uint16_t relay_bit(int relay);

// The relay states a switching command asks for: the relays in `mask`, each
// energized when its bit is set in `energized`. An accepted status confirms
// them when every relay in the mask shows the state asked for; the others
// may show anything.
struct WantedRelays {
    std::uint16_t mask = 0;
    std::uint16_t energized = 0;

    void want(int relay, bool energize);
    void want_all(bool energize);
    [[nodiscard]] bool confirmed_by(std::uint16_t relays) const {
        return ((relays ^ energized) & mask) == 0;
    }
    friend bool operator==(const WantedRelays&, const WantedRelays&) = default;
};

// Address byte from the address text: a signed 32-bit whole number reduced
// with a remainder that keeps the dividend's sign (256 -> 0, 300 -> 44).
// Text that is not a whole number, or a negative remainder, gives nothing.
[[nodiscard]] std::optional<std::uint8_t> address_byte(std::string_view address_text);

// Sum of bytes 0..6, low 8 bits: the checksum of both frame kinds.
[[nodiscard]] std::uint8_t checksum(const Frame& frame);

// The 8 command-frame bytes, or nothing when the address text is unusable.
[[nodiscard]] std::optional<Frame> build_command(std::string_view address_text, std::uint8_t code,
                                                 std::uint8_t a, std::uint8_t b);
// The same with an address byte already converted (the simulator, tests).
[[nodiscard]] Frame encode_command(std::uint8_t address, const Command& command);

// A status frame is accepted when byte 0 is 0x22 and byte 7 the checksum;
// bytes 1..4 are not examined, so any address or code in them is fine.
[[nodiscard]] bool accept_status(const Frame& frame);

// Why 8 received bytes were or were not taken as a status frame. A wrong first
// byte counts before a wrong checksum: such bytes are no answer at all (an
// echoed command, noise, a frame read from its middle).
enum class Verdict { accepted, bad_first_byte, bad_checksum };
[[nodiscard]] Verdict judge_status(const Frame& frame);

// Bit n (0..7) of value, as 0 or 1. Throws std::out_of_range for any other n.
[[nodiscard]] int get_bit(int value, int n);

// Status byte 6 carries relays 1..8 (bit k: relay 1 + k), byte 5 relays 9..16.
inline constexpr std::size_t status_low_byte = 6;
inline constexpr std::size_t status_high_byte = 5;
[[nodiscard]] bool relay_energized(const Frame& status, int relay);
// All 16 relays of a status frame, bit r-1 = relay r.
[[nodiscard]] std::uint16_t relay_pattern(const Frame& status);

// The status frame a board sends: 22 addr code 00 00 hi lo checksum.
[[nodiscard]] Frame encode_status(std::uint8_t address, std::uint8_t code, std::uint16_t relays);

}  // namespace tarnwick::protocol
