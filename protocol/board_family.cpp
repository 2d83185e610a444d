#include "protocol/board_family.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "protocol/modbus.h"

namespace tarnwick::protocol {

namespace {

constexpr std::array standard_bauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

class NativeFamily final : public BoardFamily {
  public:
    explicit NativeFamily(const LineSettings& settings) : settings_(settings) {}
    const LineSettings& settings() const override { return settings_; }
    Bytes encode(const Frame& request) override { return {request.begin(), request.end()}; }
    std::uint8_t request_code(const Frame& request) const override { return request[2]; }
    std::size_t shortest_answer() const override { return frame_size; }
    std::optional<std::size_t> answer_length(std::span<const std::uint8_t>) const override {
        return frame_size;
    }
    Reply judge(std::span<const std::uint8_t> answer) override {
        Reply reply;
        std::copy_n(answer.begin(), frame_size, reply.status.begin());
        reply.verdict = judge_status(reply.status);
        reply.address = reply.status[1];
        reply.code = reply.status[2];
        return reply;
    }
    bool keeps_partial() const override { return false; }

  private:
    LineSettings settings_;
};

// Relay n is coil n-1. A write's answer only echoes what was written: the
// status made of it shows the coils last read with the write applied.
class ModbusFamily final : public BoardFamily {
  public:
    explicit ModbusFamily(const LineSettings& settings) : settings_(settings) {}
    const LineSettings& settings() const override { return settings_; }
    Bytes encode(const Frame& request) override;
    std::uint8_t request_code(const Frame& request) const override;
    std::size_t shortest_answer() const override { return 5; }  // an exception
    std::optional<std::size_t> answer_length(std::span<const std::uint8_t> head) const override {
        if (head.size() < 3) return std::nullopt;
        return modbus::answer_length(head).value_or(0);
    }
    Reply judge(std::span<const std::uint8_t> answer) override;
    bool keeps_partial() const override { return true; }

  private:
    std::optional<std::uint16_t> read_answer(const modbus::Answer& answer, int count);
    std::optional<std::uint16_t> written(const modbus::Answer& answer, std::uint8_t& code);

    LineSettings settings_;
    std::array<std::optional<std::uint16_t>, 256> coils_{};  // as last read or written
    std::array<std::uint16_t, 256> written_{};               // what the last 0F asked
};

Bytes ModbusFamily::encode(const Frame& request) {
    const std::uint8_t unit = request[1];
    switch (request[2]) {
        case cmd_query:
            return modbus::read_bits(unit, modbus::read_coils, 0, relay_count);
        case cmd_read_inputs:
            return modbus::read_bits(unit, modbus::read_discrete_inputs, 0, request[5]);
        case cmd_energize:
        case cmd_release:
            return modbus::write_coil(unit, static_cast<std::uint16_t>(request[6] - 1),
                                      request[2] == cmd_energize);
        case cmd_all:
            // A B: the coils 16..9 and 8..1; FF FF all on, 00 00 all off.
            written_[unit] = static_cast<std::uint16_t>(request[5] << 8 | request[6]);
            return modbus::write_coils(unit, 0, relay_count, written_[unit]);
        default:
            return {};
    }
}

std::uint8_t ModbusFamily::request_code(const Frame& request) const {
    switch (request[2]) {
        case cmd_query:
            return modbus::read_coils;
        case cmd_read_inputs:
            return modbus::read_discrete_inputs;
        case cmd_energize:
        case cmd_release:
            return modbus::write_single_coil;
        case cmd_all:
            return modbus::write_multiple_coils;
        default:
            return 0;
    }
}

std::optional<std::uint16_t> ModbusFamily::written(const modbus::Answer& answer,
                                                   std::uint8_t& code) {
    if (answer.data.size() != 4) return std::nullopt;
    const int first = answer.data[0] << 8 | answer.data[1];
    const int second = answer.data[2] << 8 | answer.data[3];
    const std::uint16_t before = coils_[answer.unit].value_or(0);
    if (answer.function == modbus::write_multiple_coils) {
        if (first != 0 || second != relay_count) return std::nullopt;
        code = cmd_all;
        return written_[answer.unit];
    }
    if (first >= relay_count || (second != 0xFF00 && second != 0)) return std::nullopt;
    const auto bit = static_cast<std::uint16_t>(1U << first);
    code = second != 0 ? cmd_energize : cmd_release;
    return static_cast<std::uint16_t>(second != 0 ? (before | bit) : (before & ~bit));
}

Reply ModbusFamily::judge(std::span<const std::uint8_t> bytes) {
    Reply reply;
    const std::optional<modbus::Answer> answer = modbus::accept(bytes);
    if (!answer) {
        reply.verdict = Verdict::bad_checksum;
        return reply;
    }
    reply.address = answer->unit;
    reply.code = answer->function;
    reply.exception = answer->exception;
    std::optional<std::uint16_t> bits;
    std::uint8_t code = cmd_query;
    if (answer->exception) {
        reply.verdict = Verdict::accepted;
        return reply;
    }
    if (answer->function == modbus::read_coils) {
        bits = modbus::bits_of(*answer, relay_count);
        if (bits) coils_[answer->unit] = bits;
    } else if (answer->function == modbus::read_discrete_inputs) {
        bits = modbus::bits_of(*answer, std::min<int>(8 * answer->data[0], max_inputs));
        code = cmd_read_inputs;
    } else {
        bits = written(*answer, code);
        if (bits) coils_[answer->unit] = bits;
    }
    // A valid frame that is not the answer asked for (too few coils, another
    // range) is no answer of ours.
    if (!bits) return reply;
    reply.verdict = Verdict::accepted;
    reply.status = encode_status(answer->unit, code, *bits);
    return reply;
}

}  // namespace

std::string_view protocol_name(Protocol protocol) {
    return protocol == Protocol::modbus ? "modbus" : "native";
}

std::optional<Protocol> parse_protocol(std::string_view text) {
    if (text == "native") return Protocol::native;
    if (text == "modbus") return Protocol::modbus;
    return std::nullopt;
}

std::string_view parity_name(Parity parity) {
    switch (parity) {
        case Parity::even:
            return "even";
        case Parity::odd:
            return "odd";
        default:
            return "none";
    }
}

std::optional<Parity> parse_parity(std::string_view text) {
    for (const Parity p : {Parity::none, Parity::even, Parity::odd})
        if (text == parity_name(p)) return p;
    return std::nullopt;
}

bool usable_baud(int baud) {
    return std::find(standard_bauds.begin(), standard_bauds.end(), baud) != standard_bauds.end();
}

std::optional<std::string> settings_fault(const LineSettings& s) {
    if (s.inputs < 0 || s.inputs > max_inputs) return "inputs must be 0..16";
    if (s.protocol == Protocol::native) {
        if (s.baud != 9600 || s.parity != Parity::none || s.stop_bits != 1)
            return "a native line is always 9600 baud, no parity, 1 stop bit";
        if (s.inputs != 0) return "native boards have no inputs";
        return std::nullopt;
    }
    if (!usable_baud(s.baud))
        return "baud must be one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";
    if (s.stop_bits != 1 && s.stop_bits != 2) return "stop-bits must be 1 or 2";
    return std::nullopt;
}

std::string describe(const LineSettings& s) {
    const char parity = s.parity == Parity::none ? 'N' : s.parity == Parity::even ? 'E' : 'O';
    std::string text = std::string(protocol_name(s.protocol)) + ' ' + std::to_string(s.baud) +
                       " 8" + parity + std::to_string(s.stop_bits);
    if (s.inputs > 0) text += ", " + std::to_string(s.inputs) + " inputs";
    return text;
}

int character_bits(const LineSettings& s) {
    return 1 + 8 + (s.parity == Parity::none ? 0 : 1) + s.stop_bits;
}

int silence_ms(const LineSettings& s) {
    if (s.baud > 19200) return 2;  // 1.75 ms
    return static_cast<int>(std::ceil(3.5 * character_bits(s) * 1000.0 / s.baud));
}

std::unique_ptr<BoardFamily> make_family(const LineSettings& settings) {
    if (settings.protocol == Protocol::modbus) return std::make_unique<ModbusFamily>(settings);
    return std::make_unique<NativeFamily>(settings);
}

}  // namespace tarnwick::protocol
