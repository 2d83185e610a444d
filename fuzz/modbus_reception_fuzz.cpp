// A Modbus line's wire fed arbitrary bytes from the boards, in arbitrary
// chunks, between requests of every kind the engine sends.
//
// The input is a list of operations. Each starts with one byte: the low two
// bits pick the operation, the rest is its argument a.
//
//   0  send a request to unit byte % 8 + 1 (a few units, so answers meet
//      their frames): a % 5 picks query, switch on, switch off, all on or
//      off, read inputs; its relay or count is the next byte % 16 + 1
//   1  deliver the next a + 1 bytes as they are
//   2  deliver a whole answer with its CRC: unit byte % 8 + 1, a function
//      from a table by a % 8, data of the length the function says, from the
//      input; split in two at the next byte % 8 (0: whole)
//   3  judge what waits, as the receive notification does
//
// The oracles, from the Modbus standard and the request table alone: an
// answer is credited only to a frame that went out, once, to the unit it
// names, of the function it carries; a status frame made of it is well
// formed and carries the bits the answer did; a refusal answers a request of
// its function; every byte the line brought is counted by the
// next send; the wire never waits for more than the longest answer.

#include <QCoreApplication>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "protocol/board_family.h"
#include "protocol/modbus.h"
#include "tests/support/fake_link.h"
#include "wire/wire.h"

namespace {

using tarnwick::fuzz::FuzzInput;
using tarnwick::protocol::Frame;
namespace modbus = tarnwick::protocol::modbus;
namespace protocol = tarnwick::protocol;
using Bytes = std::vector<std::uint8_t>;

class Quiet : public tarnwick::link::LinkMessages {
  public:
    void port_error(const QString&) override {}
};

// The function a request of the engine goes out as, by the standard's table.
std::uint8_t function_of(const Frame& request) {
    switch (request[2]) {
        case protocol::cmd_query:
            return 0x01;
        case protocol::cmd_read_inputs:
            return 0x02;
        case protocol::cmd_energize:
        case protocol::cmd_release:
            return 0x05;
        default:
            return 0x0F;
    }
}

constexpr std::uint8_t functions[8] = {0x01, 0x02, 0x05, 0x0F, 0x81, 0x85, 0x03, 0x8F};

class Session {
  public:
    Session() : wire_(port_, messages_, std::chrono::milliseconds(300)) {
        protocol::LineSettings line;
        line.protocol = protocol::Protocol::modbus;
        line.inputs = 16;
        wire_.use_line(line);
        wire_.set_receiver([] {});
        QObject::connect(&wire_, &tarnwick::link::Wire::answer_accepted,
                         [this](const Frame& status, const std::optional<Frame>& sent) {
                             accepted(status, sent);
                         });
        QObject::connect(&wire_, &tarnwick::link::Wire::answer_refused,
                         [this](const Frame& sent, std::uint8_t function, std::uint8_t) {
                             last_answer_.reset();
                             TARNWICK_FUZZ_CHECK(function == function_of(sent),
                                                 "refusal of %02x for a request of %02x", function,
                                                 function_of(sent));
                             credit(sent);
                         });
        (void)wire_.open({QStringLiteral("/dev/fuzz"), tarnwick::link::PortSource::named}, -1);
    }

    void run(FuzzInput& in) {
        while (!in.done()) {
            const std::uint8_t op = in.byte();
            step(op & 0x03, op >> 2, in);
        }
        judge();
    }

  private:
    void step(int kind, int a, FuzzInput& in) {
        switch (kind) {
            case 0:
                return send(a, in);
            case 1: {
                const auto chunk = in.bytes(static_cast<std::size_t>(a + 1));
                return deliver(Bytes(chunk.begin(), chunk.end()));
            }
            case 2:
                return answer(a, in);
            default:
                return judge();
        }
    }

    void send(int a, FuzzInput& in) {
        const auto unit = static_cast<std::uint8_t>(in.byte() % 8 + 1);
        const auto n = static_cast<std::uint8_t>(in.byte() % 16 + 1);
        const protocol::Command commands[5] = {{protocol::cmd_query, 0, 0},
                                               protocol::switch_command(n, true),
                                               protocol::switch_command(n, false),
                                               protocol::all_command(n % 2 == 0),
                                               {protocol::cmd_read_inputs, n, 0}};
        const Frame frame = protocol::encode_command(unit, commands[a % 5]);
        const std::uint64_t number = wire_.send(frame);
        TARNWICK_FUZZ_CHECK(number != 0, "a request did not go out");
        TARNWICK_FUZZ_CHECK(wire_.counters().since_open.bytes_received == delivered_,
                            "%lld bytes counted, %lld delivered",
                            static_cast<long long>(wire_.counters().since_open.bytes_received),
                            static_cast<long long>(delivered_));
        sent_[number] = frame;
        fresh_ = true;
    }

    void deliver(const Bytes& bytes) {
        fresh_ = false;
        delivered_ += static_cast<std::int64_t>(bytes.size());
        port_.input.insert(port_.input.end(), bytes.begin(), bytes.end());
    }

    // A whole answer as a board would send it; what it carries is checked
    // when it is credited as one piece.
    void answer(int a, FuzzInput& in) {
        const auto unit = static_cast<std::uint8_t>(in.byte() % 8 + 1);
        const std::uint8_t function = functions[a % 8];
        Bytes frame{unit, function};
        std::size_t data = (function & 0x80) ? 1 : (function <= 0x02 ? 0 : 4);
        if (function <= 0x02) frame.push_back(static_cast<std::uint8_t>(in.byte() % 3 + 1));
        if (function <= 0x02) data = frame[2];
        for (std::size_t i = 0; i < data; ++i) frame.push_back(in.byte());
        const std::uint16_t crc = modbus::crc16(frame);
        frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
        const std::size_t split = in.byte() % 8;
        // Only an answer on a line with nothing else since the last send is
        // sure to be read as itself.
        if (fresh_) last_answer_ = frame;
        if (split == 0 || split >= frame.size()) {
            deliver(frame);
        } else {
            deliver(Bytes(frame.begin(), frame.begin() + static_cast<long>(split)));
            judge();
            deliver(Bytes(frame.begin() + static_cast<long>(split), frame.end()));
        }
    }

    void judge() {
        int judged = 0;
        // Only the first answer judged can be the one delivered whole.
        while (wire_.judge_waiting_answer()) {
            last_answer_.reset();
            TARNWICK_FUZZ_CHECK(++judged <= 4096, "the wire judges without end");
        }
        last_answer_.reset();
    }

    void credit(const Frame& sent) {
        const std::uint64_t number = wire_.last_answered_number();
        const auto found = sent_.find(number);
        TARNWICK_FUZZ_CHECK(found != sent_.end() && found->second == sent,
                            "credited to frame %llu, which did not go out so",
                            static_cast<unsigned long long>(number));
        TARNWICK_FUZZ_CHECK(credited_.insert(number).second, "frame %llu credited twice",
                            static_cast<unsigned long long>(number));
    }

    void accepted(const Frame& status, const std::optional<Frame>& sent) {
        TARNWICK_FUZZ_CHECK(protocol::accept_status(status), "a status frame that is not one");
        const std::optional<Bytes> whole = std::exchange(last_answer_, std::nullopt);
        if (!sent) return;
        credit(*sent);
        TARNWICK_FUZZ_CHECK(status[1] == (*sent)[1], "unit %d's answer credited to unit %d",
                            status[1], (*sent)[1]);
        if (!whole) return;
        const Bytes& answer = *whole;
        TARNWICK_FUZZ_CHECK(answer[1] == function_of(*sent), "function %02x answers %02x",
                            answer[1], function_of(*sent));
        if (answer[1] == 0x01 && answer[2] >= 2) {
            const auto bits = static_cast<std::uint16_t>(answer[3] | answer[4] << 8);
            TARNWICK_FUZZ_CHECK(protocol::relay_pattern(status) == bits,
                                "coils %04x shown as %04x", bits, protocol::relay_pattern(status));
        }
    }

    tarnwick::test::FakePort port_;
    Quiet messages_;
    tarnwick::link::Wire wire_;
    std::map<std::uint64_t, Frame> sent_;
    std::set<std::uint64_t> credited_;
    std::int64_t delivered_ = 0;
    std::optional<Bytes> last_answer_;  // the first delivered since a send
    bool fresh_ = false;                // nothing delivered since the last send
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // QObject and QTimer want an application object; it is never run.
    static int argc = 1;
    static char name[] = "modbus_reception_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    Session session;
    session.run(in);
    return 0;
}
