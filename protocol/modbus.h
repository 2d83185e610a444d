#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Modbus RTU, as relay boards that speak it use it: relay n is coil n-1,
// read with function 01, switched with 05 (one coil) or 0F (several);
// discrete inputs read with 02. A frame is the unit id, the function, its
// data and CRC-16/MODBUS, low byte first. Pure C++, no I/O.
namespace tarnwick::protocol::modbus {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t read_coils = 0x01;
inline constexpr std::uint8_t read_discrete_inputs = 0x02;
inline constexpr std::uint8_t write_single_coil = 0x05;
inline constexpr std::uint8_t write_multiple_coils = 0x0F;
// An exception answer carries the function with this bit set.
inline constexpr std::uint8_t exception_bit = 0x80;

// Unit ids a master may ask; 0 is broadcast, which no board answers.
inline constexpr int first_unit = 1;
inline constexpr int last_unit = 247;
inline constexpr std::uint8_t broadcast = 0;

// The exception codes a board of 16 coils has cause to send.
inline constexpr std::uint8_t illegal_function = 0x01;
inline constexpr std::uint8_t illegal_data_address = 0x02;
inline constexpr std::uint8_t illegal_data_value = 0x03;

// No RTU frame is longer.
inline constexpr std::size_t max_frame = 256;

// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF).
[[nodiscard]] std::uint16_t crc16(std::span<const std::uint8_t> bytes);

// Whether the last two bytes are the CRC of those before them.
[[nodiscard]] bool crc_holds(std::span<const std::uint8_t> frame);

// Requests, CRC appended. `first` counts from 0 (coil 0 is relay 1).
[[nodiscard]] Bytes read_bits(std::uint8_t unit, std::uint8_t function, std::uint16_t first,
                              std::uint16_t count);
[[nodiscard]] Bytes write_coil(std::uint8_t unit, std::uint16_t coil, bool on);
// Coils first..first+count-1, coil first+k on when bit k of `bits` is set.
[[nodiscard]] Bytes write_coils(std::uint8_t unit, std::uint16_t first, std::uint16_t count,
                                std::uint16_t bits);

// How long the answer that starts with `head` is, once its first three bytes
// are in: nothing while fewer are, or when the function is not one this
// program asks for (the bytes are then no answer of ours).
[[nodiscard]] std::optional<std::size_t> answer_length(std::span<const std::uint8_t> head);

// How long the request that starts with `head` is, for a server that frames
// requests by their length rather than by the silence between them: nothing
// while too few bytes are in to tell (2, or up to the byte count for
// functions that carry one); unknown_length for a function whose requests the
// standard gives no length to tell from their head.
inline constexpr std::size_t unknown_length = 0;
[[nodiscard]] std::optional<std::size_t> request_length(std::span<const std::uint8_t> head);

// Answers as a board sends them, CRC appended. To 01 or 02: `count` bits,
// bit k of `bits` for coil (or input) first+k, packed low bit first.
[[nodiscard]] Bytes bits_answer(std::uint8_t unit, std::uint8_t function, std::uint16_t count,
                                std::uint16_t bits);
// To 0F: the coils written.
[[nodiscard]] Bytes coils_written(std::uint8_t unit, std::uint16_t first, std::uint16_t count);
// The function refused: the function with exception_bit, the code.
[[nodiscard]] Bytes exception_answer(std::uint8_t unit, std::uint8_t function, std::uint8_t code);

// A whole answer whose CRC holds.
struct Answer {
    std::uint8_t unit = 0;
    std::uint8_t function = 0;  // without exception_bit
    std::optional<std::uint8_t> exception;
    Bytes data;  // after the function: for 01/02 the byte count and the bits
};
[[nodiscard]] std::optional<Answer> accept(std::span<const std::uint8_t> frame);

// The bits an answer to 01 or 02 carries, bit k for coil (or input) first+k;
// nothing when it carries fewer than `count`.
[[nodiscard]] std::optional<std::uint16_t> bits_of(const Answer& answer, int count);

// The standard's name of an exception code: "illegal data address".
[[nodiscard]] std::string exception_name(std::uint8_t code);
// "read coils (01)": the functions this program sends, by name.
[[nodiscard]] std::string function_name(std::uint8_t function);
// Why a unit refused a request, in one sentence: "unit 1 refused write
// single coil (05): illegal data address (02), it has no such coil".
[[nodiscard]] std::string refusal_text(std::uint8_t unit, std::uint8_t function,
                                       std::uint8_t exception);

}  // namespace tarnwick::protocol::modbus
