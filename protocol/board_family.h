#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.h"

// The boards a line may carry, each family with its own bytes on the wire.
// Whoever drives a line speaks in the frames of frame.h (address, code, A,
// B): the query, a relay's switch, all on or off. A family puts them on the
// wire in its own bytes, frames the bytes that come back, and turns an answer
// into a status frame of frame.h (22 addr code 00 00 hi lo checksum), so that
// everything above the wire reads one kind of answer.
namespace tarnwick::protocol {

using Bytes = std::vector<std::uint8_t>;

// Reads a board's discrete inputs: A = how many (1..16). Not a native
// command; its answer carries the inputs where a status carries relays.
inline constexpr std::uint8_t cmd_read_inputs = 0x02;
inline constexpr int max_inputs = 16;

enum class Protocol { native, modbus };
enum class Parity { none, even, odd };

// A line's family and serial settings. Native lines are 9600 8N1, always.
struct LineSettings {
    Protocol protocol = Protocol::native;
    int baud = 9600;
    Parity parity = Parity::none;
    int stop_bits = 1;
    int inputs = 0;  // discrete inputs read each turn with the relays
    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

[[nodiscard]] std::string_view protocol_name(Protocol protocol);
[[nodiscard]] std::optional<Protocol> parse_protocol(std::string_view text);
[[nodiscard]] std::string_view parity_name(Parity parity);
[[nodiscard]] std::optional<Parity> parse_parity(std::string_view text);
// The speeds a line may run at: the standard ones from 1200 to 115200.
[[nodiscard]] bool usable_baud(int baud);
// What is wrong with the settings, in one sentence; nothing when they hold.
[[nodiscard]] std::optional<std::string> settings_fault(const LineSettings& settings);
// "modbus 19200 8E1", "native 9600 8N1"; the inputs when there are any.
[[nodiscard]] std::string describe(const LineSettings& settings);

// Bits one character takes on the wire: start, 8 data, parity, stop.
[[nodiscard]] int character_bits(const LineSettings& settings);
// The silence a line keeps between frames, in whole milliseconds rounded
// up: 3.5 characters, and no less than 1.75 ms above 19200 baud.
[[nodiscard]] int silence_ms(const LineSettings& settings);

// An answer judged whole: accepted (a status frame of frame.h, or a refusal
// when `exception` is set), or rejected as the native reasons say.
struct Reply {
    Verdict verdict = Verdict::bad_first_byte;
    Frame status{};            // accepted without an exception
    std::uint8_t address = 0;  // the board that answers
    // The code the answer carries on the wire, matched against request_code()
    // of the frames waiting for it.
    std::uint8_t code = 0;
    std::optional<std::uint8_t> exception;
};

class BoardFamily {
  public:
    virtual ~BoardFamily() = default;
    [[nodiscard]] virtual const LineSettings& settings() const = 0;

    // The bytes that carry a request frame.
    [[nodiscard]] virtual Bytes encode(const Frame& request) = 0;
    // The code its answer carries.
    [[nodiscard]] virtual std::uint8_t request_code(const Frame& request) const = 0;
    // No answer is shorter: the port's receive threshold.
    [[nodiscard]] virtual std::size_t shortest_answer() const = 0;
    // How long the answer that starts with `head` is; nothing until enough
    // of it is in to tell, 0 when `head` starts no answer at all.
    [[nodiscard]] virtual std::optional<std::size_t> answer_length(
        std::span<const std::uint8_t> head) const = 0;
    // Judges an answer of answer_length() bytes.
    [[nodiscard]] virtual Reply judge(std::span<const std::uint8_t> answer) = 0;
    // Whether bytes short of a whole answer wait for the rest (answers that
    // come in pieces) or are dropped when judged.
    [[nodiscard]] virtual bool keeps_partial() const = 0;
};

[[nodiscard]] std::unique_ptr<BoardFamily> make_family(const LineSettings& settings);

}  // namespace tarnwick::protocol
