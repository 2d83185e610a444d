#include "protocol/modbus.h"

namespace tarnwick::protocol::modbus {

namespace {

void put16(Bytes& frame, std::uint16_t value) {
    frame.push_back(static_cast<std::uint8_t>(value >> 8));
    frame.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

Bytes sealed(Bytes frame) {
    const std::uint16_t crc = crc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));  // low byte first
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                             : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

bool crc_holds(std::span<const std::uint8_t> frame) {
    if (frame.size() < 3) return false;
    const std::uint16_t crc = crc16(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

Bytes read_bits(std::uint8_t unit, std::uint8_t function, std::uint16_t first,
                std::uint16_t count) {
    Bytes frame{unit, function};
    put16(frame, first);
    put16(frame, count);
    return sealed(std::move(frame));
}

Bytes write_coil(std::uint8_t unit, std::uint16_t coil, bool on) {
    Bytes frame{unit, write_single_coil};
    put16(frame, coil);
    put16(frame, on ? 0xFF00 : 0x0000);
    return sealed(std::move(frame));
}

Bytes write_coils(std::uint8_t unit, std::uint16_t first, std::uint16_t count, std::uint16_t bits) {
    Bytes frame{unit, write_multiple_coils};
    put16(frame, first);
    put16(frame, count);
    const auto bytes = static_cast<std::uint8_t>((count + 7) / 8);
    frame.push_back(bytes);
    for (std::uint8_t i = 0; i < bytes; ++i)
        frame.push_back(static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF));
    return sealed(std::move(frame));
}

std::optional<std::size_t> request_length(std::span<const std::uint8_t> head) {
    if (head.size() < 2) return std::nullopt;
    // A request that carries a byte count at `at`, `fixed` bytes besides its data.
    const auto counted = [&](std::size_t at, std::size_t fixed) -> std::optional<std::size_t> {
        if (head.size() <= at) return std::nullopt;
        return fixed + head[at];
    };
    switch (head[1]) {
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x11:
            return std::size_t{4};  // unit, function, CRC
        case 0x18:
            return std::size_t{6};  // the FIFO's address
        case read_coils:
        case read_discrete_inputs:
        case 0x03:
        case 0x04:
        case write_single_coil:
        case 0x06:
        case 0x08:
            return std::size_t{8};  // two words
        case 0x16:
            return std::size_t{10};  // address, AND mask, OR mask
        case write_multiple_coils:
        case 0x10:
            return counted(6, 9);  // start, count, byte count, data
        case 0x14:
        case 0x15:
            return counted(2, 5);  // byte count, sub-requests
        case 0x17:
            return counted(10, 13);  // read start and count, write start, count, byte count
        default:
            return unknown_length;
    }
}

Bytes bits_answer(std::uint8_t unit, std::uint8_t function, std::uint16_t count,
                  std::uint16_t bits) {
    const auto bytes = static_cast<std::uint8_t>((count + 7) / 8);
    // Bits past the count go out as zeros.
    const std::uint32_t mask = count >= 16 ? 0xFFFFU : ((1U << count) - 1U);
    const std::uint32_t sent = bits & mask;
    Bytes frame{unit, function, bytes};
    for (std::uint8_t i = 0; i < bytes; ++i)
        frame.push_back(static_cast<std::uint8_t>((sent >> (8 * i)) & 0xFF));
    return sealed(std::move(frame));
}

Bytes coils_written(std::uint8_t unit, std::uint16_t first, std::uint16_t count) {
    Bytes frame{unit, write_multiple_coils};
    put16(frame, first);
    put16(frame, count);
    return sealed(std::move(frame));
}

Bytes exception_answer(std::uint8_t unit, std::uint8_t function, std::uint8_t code) {
    return sealed({unit, static_cast<std::uint8_t>(function | exception_bit), code});
}

std::optional<std::size_t> answer_length(std::span<const std::uint8_t> head) {
    if (head.size() < 3) return std::nullopt;
    switch (head[1]) {
        case read_coils:
        case read_discrete_inputs:
            return std::size_t{5} + head[2];  // unit, function, count, data, CRC
        case write_single_coil:
        case write_multiple_coils:
            return std::size_t{8};  // the request's first six bytes echoed, CRC
        default:
            if ((head[1] & exception_bit) != 0) return std::size_t{5};
            return std::nullopt;
    }
}

std::optional<Answer> accept(std::span<const std::uint8_t> frame) {
    const auto length = answer_length(frame);
    if (!length || frame.size() != *length || !crc_holds(frame)) return std::nullopt;
    Answer answer;
    answer.unit = frame[0];
    answer.function = static_cast<std::uint8_t>(frame[1] & ~exception_bit);
    if ((frame[1] & exception_bit) != 0) answer.exception = frame[2];
    answer.data.assign(frame.begin() + 2, frame.end() - 2);
    return answer;
}

std::optional<std::uint16_t> bits_of(const Answer& answer, int count) {
    if (answer.exception || answer.data.empty() || count < 0 || count > 16) return std::nullopt;
    const std::size_t bytes = answer.data[0];
    if (bytes * 8 < static_cast<std::size_t>(count) || answer.data.size() != bytes + 1)
        return std::nullopt;
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < bytes && i < 2; ++i)
        bits |= std::uint32_t{answer.data[i + 1]} << (8 * i);
    const std::uint32_t mask = count == 16 ? 0xFFFFU : ((1U << count) - 1U);
    return static_cast<std::uint16_t>(bits & mask);
}

std::string exception_name(std::uint8_t code) {
    switch (code) {
        case 0x01:
            return "illegal function";
        case 0x02:
            return "illegal data address";
        case 0x03:
            return "illegal data value";
        case 0x04:
            return "server device failure";
        case 0x05:
            return "acknowledge";
        case 0x06:
            return "server device busy";
        case 0x08:
            return "memory parity error";
        case 0x0A:
            return "gateway path unavailable";
        case 0x0B:
            return "gateway target device failed to respond";
        default:
            return "exception " + std::to_string(code);
    }
}

std::string function_name(std::uint8_t function) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::string code{'(', digits[function >> 4], digits[function & 0xF], ')'};
    switch (function) {
        case read_coils:
            return "read coils " + code;
        case read_discrete_inputs:
            return "read discrete inputs " + code;
        case write_single_coil:
            return "write single coil " + code;
        case write_multiple_coils:
            return "write multiple coils " + code;
        default:
            return "function " + code;
    }
}

std::string refusal_text(std::uint8_t unit, std::uint8_t function, std::uint8_t exception) {
    std::string text = "unit " + std::to_string(unit) + " refused " + function_name(function) +
                       ": " + exception_name(exception) + " (" + (exception < 10 ? "0" : "") +
                       std::to_string(exception) + ")";
    if (exception == 0x02)
        text += function == read_discrete_inputs ? ", it has fewer inputs" : ", it has fewer coils";
    return text;
}

}  // namespace tarnwick::protocol::modbus
