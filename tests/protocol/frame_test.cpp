#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "protocol/board_family.h"
#include "protocol/modbus.h"
#include "protocol/number_text.h"
#include "tests/support/golden_frames.h"

using namespace tarnwick::protocol;
using tarnwick::test::golden;

namespace {

TEST(BuildCommand, GoldenFrames) {
    for (const auto& c : golden) {
        auto frame = build_command(c.address, c.code, c.a, c.b);
        ASSERT_TRUE(frame.has_value()) << c.what;
        EXPECT_EQ(*frame, c.expected) << c.what;
    }
}

TEST(AddressByte, RemainderKeepsTheDividendsSign) {
    struct {
        const char* text;
        std::optional<std::uint8_t> expected;
    } cases[] = {
        {"0", 0x00},
        {"1", 0x01},
        {"05", 0x05},
        {"+7", 0x07},
        {"255", 0xFF},
        {"256", 0x00},
        {"300", 0x2C},
        {"511", 0xFF},
        {"-0", 0x00},
        {"-256", 0x00},
        {"2147483647", 0xFF},
        // negative remainders and text that is not a whole number
        {"-1", std::nullopt},
        {"-300", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"1a", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1.5", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"0x10", std::nullopt},
        {"2147483648", std::nullopt},  // beyond a signed 32-bit integer
        {"-2147483648", 0x00},
        {"-2147483649", std::nullopt},
        {"4294967296", std::nullopt},
        {"\xE4\xB8\x80", std::nullopt},  // a Chinese numeral is no number here
    };
    for (const auto& c : cases) EXPECT_EQ(address_byte(c.text), c.expected) << '"' << c.text << '"';
}

TEST(BuildCommand, UnusableAddressBuildsNoFrame) {
    for (const char* text : {"", "-1", "x", "12x", "99999999999"})
        EXPECT_FALSE(build_command(text, cmd_query, 0, 0).has_value()) << text;
}

TEST(ParseEntry, OnlyWholeNumbersInTheSpinnerRange) {
    struct {
        const char* text;
        std::optional<int> expected;
    } cases[] = {{"0", 0},
                 {"1", 1},
                 {"05", 5},
                 {"255", 255},
                 {"256", std::nullopt},
                 {"-1", std::nullopt},
                 {"", std::nullopt},
                 {"1.0", std::nullopt},
                 {"+3", 3},
                 {"-0", 0},
                 {"+-0", std::nullopt},
                 {"-+0", std::nullopt},
                 {"++1", std::nullopt},
                 {"--0", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parse_entry(c.text), c.expected) << c.text;
}

// The option parsers' numbers: no sign, a limit, hex only where asked for.
TEST(ParseUnsigned, DigitsWithinTheLimit) {
    struct {
        const char* text;
        std::uint32_t max;
        Digits digits;
        std::optional<std::uint32_t> expected;
    } cases[] = {{"65535", 65535, Digits::decimal, 65535},
                 {"65536", 65535, Digits::decimal, std::nullopt},
                 {"4294967295", 0xFFFFFFFF, Digits::decimal, 0xFFFFFFFF},
                 {"4294967296", 0xFFFFFFFF, Digits::decimal, std::nullopt},
                 {"+5", 255, Digits::decimal, std::nullopt},
                 {"-0", 255, Digits::decimal, std::nullopt},
                 {"0x10", 255, Digits::decimal, std::nullopt},
                 {"0x10", 255, Digits::decimal_or_hex, 16},
                 {"0XfF", 255, Digits::decimal_or_hex, 255},
                 {"0x100", 255, Digits::decimal_or_hex, std::nullopt},
                 {"0x", 255, Digits::decimal_or_hex, std::nullopt},
                 {"0x-1", 255, Digits::decimal_or_hex, std::nullopt},
                 {"ff", 255, Digits::decimal_or_hex, std::nullopt},
                 {"010", 255, Digits::decimal_or_hex, 10},
                 {" 1", 255, Digits::decimal, std::nullopt},
                 {"", 255, Digits::decimal, std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_unsigned(c.text, c.max, c.digits), c.expected) << c.text;
}

// Latitudes and longitudes: a sign, digits, one point; nothing more.
TEST(ParseDecimal, SignedDigitsWithOnePoint) {
    struct {
        const char* text;
        std::optional<double> expected;
    } cases[] = {{"52.52", 52.52},
                 {"-33.8688", -33.8688},
                 {"+51.2093", 51.2093},
                 {"151.2", std::nullopt},
                 {"0", 0.0},
                 {"-0.0", 0.0},
                 {"90", 90.0},
                 {"-90.000", -90.0},
                 {"90.0001", std::nullopt},
                 {"-91", std::nullopt},
                 {"1.", std::nullopt},
                 {".5", std::nullopt},
                 {"-.5", std::nullopt},
                 {"1.2.3", std::nullopt},
                 {"1e1", std::nullopt},
                 {"1E1", std::nullopt},
                 {" 1", std::nullopt},
                 {"1 ", std::nullopt},
                 {"+-1", std::nullopt},
                 {"--1", std::nullopt},
                 {"-", std::nullopt},
                 {"", std::nullopt},
                 {"nan", std::nullopt},
                 {"inf", std::nullopt},
                 {"0x1p3", std::nullopt},
                 {"12,5", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, -90, 90), c.expected) << c.text;
}

TEST(AcceptStatus, ChecksumAndHeaderOnly) {
    struct {
        const char* what;
        Frame frame;
        Verdict verdict;
    } cases[] = {
        {"documented status frame",
         {0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4},
         Verdict::accepted},
        {"bytes 1..4 hold anything",
         {0x22, 0xAB, 0xCD, 0xEF, 0x12, 0x01, 0x80, 0x1C},
         Verdict::accepted},
        {"all relays on", {0x22, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x20}, Verdict::accepted},
        {"wrong checksum", {0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB5}, Verdict::bad_checksum},
        {"echoed command frame",
         {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x66},
         Verdict::bad_first_byte},
        {"all zero", {0, 0, 0, 0, 0, 0, 0, 0}, Verdict::bad_first_byte},
        {"right sum, wrong header",
         {0x23, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB5},
         Verdict::bad_first_byte},
        {"wrong header and wrong sum",
         {0x23, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4},
         Verdict::bad_first_byte},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judge_status(c.frame), c.verdict) << c.what;
        EXPECT_EQ(accept_status(c.frame), c.verdict == Verdict::accepted) << c.what;
    }
}

TEST(GetBit, BitsOfAByte) {
    EXPECT_EQ(get_bit(0x80, 7), 1);
    EXPECT_EQ(get_bit(0x80, 0), 0);
    for (int n = 0; n < 8; ++n) {
        EXPECT_EQ(get_bit(0xFF, n), 1) << n;
        EXPECT_EQ(get_bit(0x00, n), 0) << n;
        EXPECT_EQ(get_bit(1 << n, n), 1) << n;
    }
    EXPECT_EQ(get_bit(0x0A, 1), 1);
    EXPECT_EQ(get_bit(0x0A, 2), 0);
}

TEST(GetBit, OutsideTheEightPlacesIsARangeError) {
    EXPECT_THROW((void)get_bit(0xFF, 8), std::out_of_range);
    EXPECT_THROW((void)get_bit(0xFF, -1), std::out_of_range);
}

TEST(RelayMapping, DocumentedStatusFrame) {
    // byte 5 = 0x01: relay 9 on; byte 6 = 0x80: relay 8 on; the other 14 off.
    const Frame status{0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4};
    for (int relay = 1; relay <= relay_count; ++relay)
        EXPECT_EQ(relay_energized(status, relay), relay == 8 || relay == 9) << relay;
    EXPECT_EQ(relay_pattern(status), (1u << 7) | (1u << 8));
}

TEST(RelayMapping, EncodedStatusRoundTrip) {
    // encode_status is what the simulated board answers with.
    EXPECT_EQ(encode_status(0x01, 0x10, 0x0180),
              (Frame{0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4}));
    for (int relay = 1; relay <= relay_count; ++relay) {
        const auto frame = encode_status(7, 0x10, static_cast<std::uint16_t>(1u << (relay - 1)));
        ASSERT_TRUE(accept_status(frame));
        for (int other = 1; other <= relay_count; ++other)
            EXPECT_EQ(relay_energized(frame, other), other == relay) << relay << " " << other;
    }
}

}  // namespace

namespace {

using namespace tarnwick::protocol::modbus;

Bytes modbus_golden(std::string_view what) {
    for (const auto& g : tarnwick::test::modbus_golden)
        if (what == g.what) return g.bytes;
    throw std::invalid_argument("no Modbus example of that name");
}

// The CRC catalogue's check value: CRC-16/MODBUS of the ASCII "123456789".
TEST(Modbus, CrcCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(crc16({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0x4B37);
}

TEST(Modbus, RequestsAsTheStandardFramesThem) {
    const struct {
        const char* what;
        Bytes built;
    } cases[] = {
        {"read coils 20-56, unit 17", read_bits(0x11, read_coils, 0x0013, 0x0025)},
        {"write coil 173 on, unit 17", write_coil(0x11, 0x00AC, true)},
        {"write coils 20-29, unit 17", write_coils(0x11, 0x0013, 10, 0x01CD)},
        {"read 16 coils, unit 1", read_bits(0x01, read_coils, 0, 16)},
        {"all 16 coils off, unit 1", write_coils(0x01, 0, 16, 0x0000)},
        {"coil 2 off, unit 1", write_coil(0x01, 2, false)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.built, modbus_golden(c.what)) << c.what;
}

TEST(Modbus, AnswersAcceptedWholeWithTheirCrc) {
    const auto flipped = [](Bytes b, std::size_t i) {
        b[i] ^= 0x01;
        return b;
    };
    const auto cut = [](Bytes b) {
        b.pop_back();
        return b;
    };
    const struct {
        const char* what;
        Bytes frame;
        bool accepted;
        std::uint8_t function = 0;
        std::optional<std::uint8_t> exception = std::nullopt;
        std::optional<std::uint16_t> first_16_bits = std::nullopt;
    } cases[] = {
        {"the coils' answer", modbus_golden("their answer"), true, read_coils, {}, 0x6BCD},
        {"the coils' answer, CRC wrong", flipped(modbus_golden("their answer"), 9), false},
        {"the coils' answer, a data bit wrong", flipped(modbus_golden("their answer"), 4), false},
        {"the coils' answer, a byte short", cut(modbus_golden("their answer")), false},
        {"write coils echoed", modbus_golden("their answer, unit 17"), true, write_multiple_coils},
        {"an exception", modbus_golden("illegal data address, unit 17"), true, read_coils, 0x02},
        {"a function never asked for (03)",
         {0x11, 0x03, 0x06, 0x02, 0x2B, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00},
         false},
        {"nothing", {}, false},
    };
    for (const auto& c : cases) {
        const auto answer = accept(c.frame);
        ASSERT_EQ(answer.has_value(), c.accepted) << c.what;
        if (!answer) continue;
        EXPECT_EQ(answer->unit, 0x11) << c.what;
        EXPECT_EQ(answer->function, c.function) << c.what;
        EXPECT_EQ(answer->exception, c.exception) << c.what;
        if (c.first_16_bits) {
            EXPECT_EQ(bits_of(*answer, 16), c.first_16_bits) << c.what;
        }
    }
}

TEST(Modbus, AnAnswersLengthFromItsFirstBytes) {
    const struct {
        Bytes head;
        std::optional<std::size_t> length;
    } cases[] = {
        {{0x11, 0x01}, std::nullopt},
        {{0x11, 0x01, 0x05}, 10},
        {{0x01, 0x02, 0x01}, 6},
        {{0x01, 0x05, 0x00}, 8},
        {{0x01, 0x0F, 0x00}, 8},
        {{0x01, 0x81, 0x02}, 5},
        {{0x01, 0x03, 0x02}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(answer_length(c.head), c.length) << int(c.head[1]);
}

TEST(Modbus, AnswersAsABoardSendsThem) {
    const struct {
        const char* what;
        Bytes built;
    } cases[] = {
        {"illegal data address, unit 17", exception_answer(0x11, read_coils, illegal_data_address)},
        {"their answer, unit 17", coils_written(0x11, 0x0013, 10)},
        {"16 coils, relays 1 and 16 on, unit 1", bits_answer(0x01, read_coils, 16, 0x8001)},
        {"8 inputs A5, unit 1", bits_answer(0x01, read_discrete_inputs, 8, 0x00A5)},
        {"3 coils all on, unit 1", bits_answer(0x01, read_coils, 3, 0xFFFF)},
        {"16 coils written, unit 1", coils_written(0x01, 0, 16)},
        {"illegal data value to 05, unit 1",
         exception_answer(0x01, write_single_coil, illegal_data_value)},
        {"illegal function 03, unit 1", exception_answer(0x01, 0x03, illegal_function)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.built, modbus_golden(c.what)) << c.what;
}

TEST(Modbus, CrcHoldsOnlyOverAWholeFrame) {
    const struct {
        const char* what;
        Bytes frame;
        bool holds;
    } cases[] = {
        {"read coils request", modbus_golden("read coils 20-56, unit 17"), true},
        {"write coils request", modbus_golden("write coils 20-29, unit 17"), true},
        {"exception", modbus_golden("illegal data address, unit 17"), true},
        {"CRC bytes swapped", {0x11, 0x01, 0x00, 0x13, 0x00, 0x25, 0x84, 0x0E}, false},
        {"a data bit wrong", {0x11, 0x01, 0x00, 0x13, 0x00, 0x24, 0x0E, 0x84}, false},
        {"a byte short", {0x11, 0x01, 0x00, 0x13, 0x00, 0x25, 0x0E}, false},
        {"a CRC alone", {0xFF, 0xFF}, false},
        {"nothing", {}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(crc_holds(c.frame), c.holds) << c.what;
}

// A board that frames requests by their length: the standard's public
// functions, fixed or with their byte count.
TEST(Modbus, ARequestsLengthFromItsHead) {
    const struct {
        const char* what;
        Bytes head;
        std::optional<std::size_t> length;
    } cases[] = {
        {"unit only", {0x01}, std::nullopt},
        {"read coils", {0x01, 0x01}, 8},
        {"read inputs", {0x01, 0x02}, 8},
        {"read holding registers", {0x01, 0x03}, 8},
        {"write single coil", {0x11, 0x05, 0x00, 0xAC}, 8},
        {"write single register", {0x01, 0x06}, 8},
        {"diagnostics", {0x01, 0x08}, 8},
        {"read exception status", {0x01, 0x07}, 4},
        {"report server id", {0x01, 0x11}, 4},
        {"read FIFO queue", {0x01, 0x18}, 6},
        {"mask write register", {0x01, 0x16}, 10},
        {"write coils, byte count not in", {0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A}, std::nullopt},
        {"write coils 20-29", {0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02}, 11},
        {"write 16 coils", {0x01, 0x0F, 0x00, 0x00, 0x00, 0x10, 0x02, 0x00}, 11},
        {"write 2 registers", {0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04}, 13},
        {"read file record", {0x01, 0x14, 0x0E}, 19},
        {"read/write registers, byte count not in",
         {0x01, 0x17, 0x00, 0x03, 0x00, 0x06, 0x00, 0x0E, 0x00, 0x03},
         std::nullopt},
        {"read/write 3 registers",
         {0x01, 0x17, 0x00, 0x03, 0x00, 0x06, 0x00, 0x0E, 0x00, 0x03, 0x06},
         19},
        {"function 0", {0x01, 0x00}, unknown_length},
        {"encapsulated interface", {0x01, 0x2B, 0x0E}, unknown_length},
        {"user function 0x41", {0x01, 0x41}, unknown_length},
        {"an exception's function", {0x01, 0x81}, unknown_length},
    };
    for (const auto& c : cases) EXPECT_EQ(request_length(c.head), c.length) << c.what;
}

// The names the standard gives, for a message that says what went wrong.
TEST(Modbus, ExceptionNames) {
    EXPECT_EQ(exception_name(0x01), "illegal function");
    EXPECT_EQ(exception_name(0x02), "illegal data address");
    EXPECT_EQ(exception_name(0x0B), "gateway target device failed to respond");
    EXPECT_EQ(exception_name(0x42), "exception 66");
}

}  // namespace

// A line's family: what the frames the panel and the engine speak in become
// on the wire, and what the answers become again.
namespace family_test {

using namespace tarnwick::protocol;
using Bytes = std::vector<std::uint8_t>;

Bytes flipped(Bytes bytes, std::size_t i) {
    bytes.at(i) ^= 0x01;
    return bytes;
}

using tarnwick::protocol::BoardFamily;
using tarnwick::protocol::LineSettings;
using tarnwick::protocol::Parity;
using tarnwick::protocol::Protocol;
using tarnwick::protocol::Verdict;

LineSettings modbus_line() {
    LineSettings line;
    line.protocol = Protocol::modbus;
    return line;
}

TEST(BoardFamily, ModbusRequestsForTheEnginesFrames) {
    const struct {
        tarnwick::protocol::Frame request;
        const char* bytes;
    } rows[] = {
        {encode_command(1, {cmd_query, 0, 0}), "read 16 coils, unit 1"},
        {encode_command(247, {cmd_query, 0, 0}), "read 16 coils, unit 247"},
        {encode_command(1, switch_command(3, true)), "coil 2 on, unit 1"},
        {encode_command(1, switch_command(3, false)), "coil 2 off, unit 1"},
        {encode_command(1, all_command(true)), "all 16 coils on, unit 1"},
        {encode_command(1, all_command(false)), "all 16 coils off, unit 1"},
        {encode_command(1, {cmd_all, 0x81, 0x55}), "coils 1 3 5 7 9 16 on, the rest off, unit 1"},
        {encode_command(1, {tarnwick::protocol::cmd_read_inputs, 8, 0}), "read 8 inputs, unit 1"},
    };
    const auto family = make_family(modbus_line());
    for (const auto& row : rows)
        EXPECT_EQ(family->encode(row.request), modbus_golden(row.bytes)) << row.bytes;
    // A native line puts the frame itself on the wire.
    const auto native = make_family({});
    for (const auto& g : tarnwick::test::golden) {
        EXPECT_EQ(native->encode(g.expected), Bytes(g.expected.begin(), g.expected.end()))
            << g.what;
    }
}

// Steps on one Modbus line: a request goes out (if any), an answer comes.
TEST(BoardFamily, ModbusAnswersBecomeStatusFrames) {
    struct Step {
        const char* what;
        std::optional<tarnwick::protocol::Command> sent;
        Bytes answer;
        Verdict verdict;
        std::uint8_t code = 0;     // the status frame's, or the exception's function
        std::uint16_t relays = 0;  // ... and what it carries
        std::optional<std::uint8_t> exception = std::nullopt;
    };
    const Step steps[] = {
        {"coils read", tarnwick::protocol::Command{cmd_query, 0, 0},
         modbus_golden("16 coils, relays 1 and 16 on, unit 1"), Verdict::accepted, cmd_query,
         0x8001},
        {"a coil switched on: the coils read, with it", switch_command(3, true),
         modbus_golden("coil 2 on, unit 1"), Verdict::accepted, cmd_energize, 0x8005},
        {"and off again", switch_command(3, false), modbus_golden("coil 2 off, unit 1"),
         Verdict::accepted, cmd_release, 0x8001},
        {"all on in one frame", all_command(true), modbus_golden("16 coils written, unit 1"),
         Verdict::accepted, cmd_all, 0xFFFF},
        {"all off", all_command(false), modbus_golden("16 coils written, unit 1"),
         Verdict::accepted, cmd_all, 0x0000},
        {"a pattern in one frame", tarnwick::protocol::Command{cmd_all, 0x81, 0x55},
         modbus_golden("16 coils written, unit 1"), Verdict::accepted, cmd_all, 0x8155},
        {"inputs", tarnwick::protocol::Command{tarnwick::protocol::cmd_read_inputs, 8, 0},
         modbus_golden("8 inputs A5, unit 1"), Verdict::accepted,
         tarnwick::protocol::cmd_read_inputs, 0x00A5},
        {"another unit's coils", std::nullopt, modbus_golden("16 coils, relay 3 on, unit 2"),
         Verdict::accepted, cmd_query, 0x0004},
        {"an exception", switch_command(3, true), modbus_golden("illegal data value to 05, unit 1"),
         Verdict::accepted, 0x05, 0, 0x03},
        {"fewer coils than asked for: no answer of ours", std::nullopt,
         modbus_golden("3 coils all on, unit 1"), Verdict::bad_first_byte},
        {"a CRC that does not hold", std::nullopt,
         flipped(modbus_golden("16 coils written, unit 1"), 7), Verdict::bad_checksum},
    };
    const auto family = make_family(modbus_line());
    for (const Step& step : steps) {
        if (step.sent) (void)family->encode(encode_command(1, *step.sent));
        const auto reply = family->judge(step.answer);
        EXPECT_EQ(reply.verdict, step.verdict) << step.what;
        EXPECT_EQ(reply.exception, step.exception) << step.what;
        if (reply.verdict != Verdict::accepted) continue;
        if (step.exception) {
            EXPECT_EQ(reply.code, step.code) << step.what;
            continue;
        }
        EXPECT_EQ(reply.status, encode_status(step.answer[0], step.code, step.relays)) << step.what;
    }
}

TEST(BoardFamily, HowLongAnAnswerIs) {
    const auto modbus = make_family(modbus_line());
    const auto native = make_family({});
    const struct {
        Bytes head;
        std::optional<std::size_t> modbus_length, native_length;
    } rows[] = {
        {{}, std::nullopt, 8},      {{0x01, 0x01}, std::nullopt, 8},
        {{0x01, 0x01, 0x02}, 7, 8}, {{0x01, 0x81, 0x02}, 5, 8},
        {{0x01, 0x0F, 0x00}, 8, 8}, {{0x01, 0x03, 0x02}, 0, 8},  // no function of ours: no answer
        {{0x22, 0x10, 0x01}, 0, 8},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(modbus->answer_length(row.head), row.modbus_length) << row.head.size();
        EXPECT_EQ(native->answer_length(row.head), row.native_length) << row.head.size();
    }
    EXPECT_EQ(modbus->shortest_answer(), 5U);  // an exception
    EXPECT_EQ(native->shortest_answer(), 8U);
}

TEST(BoardFamily, TheSilenceBetweenFrames) {
    // 3.5 characters, rounded up to whole ms; 1.75 ms above 19200 baud.
    const struct {
        int baud;
        Parity parity;
        int stop_bits;
        int ms;
    } rows[] = {
        {9600, Parity::none, 1, 4},                                // 3.65 ms
        {19200, Parity::even, 1, 3},                               // 2.005 ms
        {19200, Parity::none, 1, 2},                               // 1.82 ms
        {38400, Parity::none, 1, 2},                               // 1.75 ms
        {115200, Parity::odd, 2, 2}, {1200, Parity::none, 1, 30},  // 29.2 ms
        {2400, Parity::odd, 2, 18},                                // 17.5 ms
    };
    for (const auto& row : rows) {
        LineSettings line = modbus_line();
        line.baud = row.baud;
        line.parity = row.parity;
        line.stop_bits = row.stop_bits;
        EXPECT_EQ(tarnwick::protocol::silence_ms(line), row.ms) << row.baud;
    }
}

TEST(BoardFamily, SettingsALineTakes) {
    const auto with = [](Protocol p, int baud, Parity parity, int stop, int inputs) {
        return LineSettings{p, baud, parity, stop, inputs};
    };
    const struct {
        LineSettings line;
        const char* fault;  // "" when it holds
    } rows[] = {
        {{}, ""},
        {with(Protocol::modbus, 115200, Parity::even, 2, 16), ""},
        {with(Protocol::modbus, 1200, Parity::odd, 1, 0), ""},
        {with(Protocol::modbus, 14400, Parity::none, 1, 0), "baud must be one of"},
        {with(Protocol::modbus, 230400, Parity::none, 1, 0), "baud must be one of"},
        {with(Protocol::modbus, 9600, Parity::none, 3, 0), "stop-bits must be 1 or 2"},
        {with(Protocol::modbus, 9600, Parity::none, 1, 17), "inputs must be 0..16"},
        {with(Protocol::native, 19200, Parity::none, 1, 0), "a native line is always 9600"},
        {with(Protocol::native, 9600, Parity::even, 1, 0), "a native line is always 9600"},
        {with(Protocol::native, 9600, Parity::none, 1, 4), "native boards have no inputs"},
    };
    for (const auto& row : rows) {
        const auto fault = tarnwick::protocol::settings_fault(row.line);
        if (*row.fault == '\0')
            EXPECT_FALSE(fault) << *fault;
        else
            EXPECT_TRUE(fault && fault->find(row.fault) != std::string::npos) << row.fault;
    }
    EXPECT_EQ(describe(with(Protocol::modbus, 19200, Parity::even, 1, 8)),
              "modbus 19200 8E1, 8 inputs");
    EXPECT_EQ(describe({}), "native 9600 8N1");
}

}  // namespace family_test
