// What serve takes from the command line and from the broker: option values,
// --boards lists, --mqtt addresses, --node ids, and messages on the command
// subscription, each checked against a reading of the documented forms.
//
// The input is a list of operations. Each starts with one byte: the low three
// bits pick the operation, the rest is its argument a.
//
//   0  --boards <text>: when accepted, the boards served from then on
//   1  --node <text>: when accepted, the node from then on
//   2  --mqtt <text>, with TLS when a is odd
//   3  a whole number <text> (--keepalive, --count, --timeout, channels)
//   4  a message: topic of a % 8 + 1 parts, a payload, retained when a & 8
//   5  a message: topic <text>, a payload, retained when a & 8
//   6  a board list of a % 8 + 1 bytes, served from then on
//   7  client options: keepalive, retry waits (three bytes each), user, password
//
// A text is a length byte (mod 40), then one byte a character: below 0x80 a
// character of the forms' alphabet, else that byte itself.
//
// The oracles: no accepted message names a relay outside 1..16 or a board
// not served, and every fresh ON or OFF on a served board's set topic,
// written as the bridge writes it, is accepted; a refusal goes to the error
// topic the address part names, in printable text of bounded length; the
// switch handed to the board is the last one asked of each relay; accepted
// lists, addresses, ids and numbers are what the text says, and what is
// refused is refused.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/wanted_states.h"
#include "fuzz/fuzz_input.h"
#include "mqtt/options.h"
#include "mqtt/topics.h"
#include "protocol/number_text.h"

namespace {

using tarnwick::fuzz::FuzzInput;
using namespace tarnwick::mqtt;
namespace link = tarnwick::link;
using namespace std::string_view_literals;

// The model's own branches are no coverage worth keeping inputs for.
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)

constexpr std::string_view alphabet = "0123456789,-+ \t:[]./#a_Z\0\n\r\x7F"sv;

// A decimal number as the model reads one: digits only, any length, its
// value held at 10^12 once it grows past that.
std::optional<long long> digits_value(std::string_view text) {
    if (text.empty()) return std::nullopt;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = std::min(value * 10 + (c - '0'), 1'000'000'000'000LL);
    }
    return value;
}

// A number in an option: digits, or '+' and digits, which a parser may take
// too; `plain` says it is digits only, of no more than 9.
struct OptionNumber {
    long long value;
    bool plain;
};
std::optional<OptionNumber> option_number(std::string_view text) {
    const bool plus = text.starts_with('+');
    if (plus) text.remove_prefix(1);
    const auto value = digits_value(text);
    if (!value) return std::nullopt;
    return OptionNumber{*value, !plus && text.size() <= 9};
}

std::string_view without_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// --boards as documented: items split at commas, blanks around them allowed,
// an item an address or FIRST-LAST counting up, each address 0..255 once.
struct BoardsReading {
    std::optional<std::vector<std::uint8_t>> boards;  // nothing: refused
    bool plain = true;                                // no number a parser may read either way
};
BoardsReading read_boards(std::string_view text) {
    BoardsReading reading;
    std::vector<std::uint8_t> boards;
    std::vector<bool> seen(256);
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = without_blanks(text.substr(start, comma - start));
        const std::size_t dash = item.find('-');
        const auto first = option_number(without_blanks(item.substr(0, dash)));
        const auto last = dash == std::string_view::npos
                              ? first
                              : option_number(without_blanks(item.substr(dash + 1)));
        if (!first || !last) return reading;
        reading.plain = reading.plain && first->plain && last->plain;
        if (first->value > 255 || last->value > 255 || last->value < first->value) return reading;
        for (long long b = first->value; b <= last->value; ++b) {
            if (seen[static_cast<std::size_t>(b)]) return reading;
            seen[static_cast<std::size_t>(b)] = true;
            boards.push_back(static_cast<std::uint8_t>(b));
        }
        if (comma == text.size()) break;
        start = comma + 1;
    }
    reading.boards = std::move(boards);
    return reading;
}

// --mqtt HOST[:PORT] or [HOST]:PORT, the port 1..65535, by default 1883 or
// 8883 with TLS; a host holding ':' only in brackets.
struct BrokerReading {
    std::optional<BrokerAddress> address;
    bool plain = true;
};
BrokerReading read_broker(std::string_view text, bool tls) {
    BrokerReading reading;
    BrokerAddress address{{}, tls ? 8883 : 1883};
    std::optional<std::string_view> port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return reading;
        address.host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return reading;
        if (!rest.empty()) port = rest.substr(1);
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos)
            return reading;
        address.host = text.substr(0, colon);
        if (colon != std::string_view::npos) port = text.substr(colon + 1);
    }
    if (address.host.empty()) return reading;
    if (port) {
        const auto number = option_number(*port);
        if (!number || number->value < 1 || number->value > 65535) return reading;
        reading.plain = number->plain;
        address.port = static_cast<int>(number->value);
    }
    reading.address = address;
    return reading;
}

// A whole number: an optional sign, then digits, within 32 bits.
std::optional<long long> read_whole_number(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    const auto value = digits_value(text);
    if (!value) return std::nullopt;
    const long long signed_value = negative ? -*value : *value;
    if (signed_value < -2147483648LL || signed_value > 2147483647LL) return std::nullopt;
    return signed_value;
}

bool node_ok(std::string_view node) {
    return !node.empty() && std::all_of(node.begin(), node.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

// What a message on the command subscription must come to: a command
// exactly when its topic is a served board's set topic as the bridge writes
// it (decimal, no leading zeros), the relay 1..16, fresh, exactly ON or OFF.
// Else the refusal's topic: the board's when the address part reads as an
// address 0..255 written that way, else the node's.
struct Expected {
    std::optional<SetCommand> command;
    std::string error_topic;
};
Expected expected_set(const std::string& node, const std::vector<std::uint8_t>& boards,
                      std::string_view topic, std::string_view payload, bool retained) {
    Expected e{std::nullopt, "tarnwick/" + node + "/error"};
    const std::string prefix = "tarnwick/" + node + "/";
    if (!topic.starts_with(prefix)) return e;
    const std::string_view rest = topic.substr(prefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return e;
    const std::string address_text(rest.substr(0, slash));
    const auto address = digits_value(address_text);
    const std::string_view after = rest.substr(slash);
    if (!after.starts_with("/relay/") || !after.ends_with("/set") ||
        after.size() < "/relay//set"sv.size())
        return e;
    const std::string_view relay_text =
        after.substr("/relay/"sv.size(), after.size() - "/relay//set"sv.size());
    if (relay_text.find('/') != std::string_view::npos) return e;
    if (!address || *address > 255 || std::to_string(*address) != address_text) return e;
    e.error_topic = prefix + address_text + "/error";
    const auto relay = digits_value(relay_text);
    if (!relay || *relay < 1 || *relay > 16 || std::to_string(*relay) != relay_text) return e;
    if (std::find(boards.begin(), boards.end(), *address) == boards.end()) return e;
    if (retained || (payload != "ON" && payload != "OFF")) return e;
    e.command =
        SetCommand{static_cast<std::uint8_t>(*address), static_cast<int>(*relay), payload == "ON", {}};
    return e;
}

#pragma clang attribute pop

class Session {
  public:
    void run(FuzzInput& in) {
        while (!in.done()) {
            const std::uint8_t op = in.byte();
            const int a = op >> 3;
            switch (op & 7) {
                case 0:
                    boards_option(text(in));
                    break;
                case 1:
                    node_option(text(in));
                    break;
                case 2:
                    broker_option(text(in), a % 2 == 1);
                    break;
                case 3:
                    whole_number(text(in));
                    break;
                case 4:
                    message(built_topic(a % 8 + 1, in), in, a & 8);
                    break;
                case 5:
                    message(text(in), in, a & 8);
                    break;
                case 6:
                    raw_boards(a % 8 + 1, in);
                    break;
                default:
                    client_options(in);
                    break;
            }
        }
    }

  private:
    static std::string text(FuzzInput& in) {
        std::string out(in.byte() % 40, '\0');
        for (char& c : out) {
            const std::uint8_t b = in.byte();
            c = b < 0x80 ? alphabet[b % alphabet.size()] : static_cast<char>(b);
        }
        return out;
    }

    void boards_option(const std::string& text) {
        const auto parsed = parse_boards(text);
        const BoardsReading reading = read_boards(text);
        if (parsed) {
            TARNWICK_FUZZ_CHECK(reading.boards && *reading.boards == *parsed.value,
                                "--boards '%s' accepted as '%s'", text.c_str(),
                                boards_text(*parsed.value).c_str());
            TARNWICK_FUZZ_CHECK(parsed.problem.empty(), "--boards '%s' accepted with '%s'",
                                text.c_str(), parsed.problem.c_str());
            served(*parsed.value);
        } else {
            TARNWICK_FUZZ_CHECK(!reading.boards || !reading.plain, "--boards '%s' refused: %s",
                                text.c_str(), parsed.problem.c_str());
            TARNWICK_FUZZ_CHECK(parsed.problem.starts_with("--boards "),
                                "--boards '%s' refused saying '%s'", text.c_str(),
                                parsed.problem.c_str());
        }
    }

    // The boards of the cabinet, also written back as a list that reads as
    // the same boards.
    void served(const std::vector<std::uint8_t>& boards) {
        const std::string written = boards_text(boards);
        const auto again = parse_boards(written);
        TARNWICK_FUZZ_CHECK(again && *again.value == boards, "boards written as '%s' read back %s",
                            written.c_str(), again ? boards_text(*again.value).c_str() : "refused");
        if (!boards.empty()) boards_ = boards;
    }

    void raw_boards(int count, FuzzInput& in) {
        std::vector<std::uint8_t> boards;
        for (int i = 0; i < count; ++i) {
            const std::uint8_t b = in.byte();
            if (std::find(boards.begin(), boards.end(), b) == boards.end()) boards.push_back(b);
        }
        served(boards);
    }

    void node_option(const std::string& text) {
        const auto problem = node_problem(text);
        TARNWICK_FUZZ_CHECK(!problem == node_ok(text), "--node '%s': %s", text.c_str(),
                            problem ? problem->c_str() : "accepted");
        if (!problem) node_ = text;
    }

    void broker_option(const std::string& text, bool tls) {
        const auto parsed = parse_broker(text, tls);
        const BrokerReading reading = read_broker(text, tls);
        if (parsed) {
            TARNWICK_FUZZ_CHECK(reading.address && *reading.address == *parsed.value,
                                "--mqtt '%s' accepted as host '%s' port %d", text.c_str(),
                                parsed.value->host.c_str(), parsed.value->port);
        } else {
            TARNWICK_FUZZ_CHECK(!reading.address || !reading.plain, "--mqtt '%s' refused: %s",
                                text.c_str(), parsed.problem.c_str());
            TARNWICK_FUZZ_CHECK(parsed.problem.starts_with("--mqtt "),
                                "--mqtt '%s' refused saying '%s'", text.c_str(),
                                parsed.problem.c_str());
        }
    }

    static void whole_number(const std::string& text) {
        const auto parsed = tarnwick::protocol::parse_whole_number(text);
        const auto expected = read_whole_number(text);
        TARNWICK_FUZZ_CHECK(
            parsed.has_value() == expected.has_value() && (!parsed || *parsed == *expected),
            "'%s' read as %s", text.c_str(),
            parsed ? std::to_string(*parsed).c_str() : "no number");
    }

    // Topic parts: tokens of the command topics, addresses and relays written
    // well and badly, or a text.
    std::string built_topic(int parts, FuzzInput& in) {
        std::string topic;
        for (int i = 0; i < parts; ++i) {
            if (i > 0) topic += '/';
            const std::uint8_t p = in.byte();
            switch (p % 12) {
                case 0:
                    topic += "tarnwick";
                    break;
                case 1:
                    topic += node_;
                    break;
                case 2:
                    topic += "relay";
                    break;
                case 3:
                    topic += "set";
                    break;
                case 4:
                    topic += std::to_string(in.byte());
                    break;  // an address
                case 5:
                    topic += std::to_string(in.byte() % 18);
                    break;  // a relay, or not
                case 6:
                    topic += "0" + std::to_string(in.byte());
                    break;
                case 7:
                    topic += std::to_string(256 + in.byte());
                    break;
                case 8:
                    topic += (p & 16) != 0 ? "+" : "#";
                    break;
                case 9:
                    topic += std::to_string(boards_[in.byte() % boards_.size()]);
                    break;
                case 10:
                    break;  // empty
                default:
                    topic += text(in);
                    break;
            }
        }
        return topic;
    }

    void message(const std::string& topic, FuzzInput& in, bool retained) {
        const std::uint8_t p = in.byte();
        static const std::string payloads[] = {"ON", "OFF", "on", "ON ", "", "1", "online"};
        const std::string payload = p < 0xF0 ? payloads[p % std::size(payloads)] : text(in);
        const auto read = read_set(node_, boards_, topic, payload, retained);
        const Expected e = expected_set(node_, boards_, topic, payload, retained);
        if (const auto* set = std::get_if<SetCommand>(&read)) {
            TARNWICK_FUZZ_CHECK(set->relay >= 1 && set->relay <= 16, "relay %d switched by '%s'",
                                set->relay, topic.c_str());
            TARNWICK_FUZZ_CHECK(
                std::find(boards_.begin(), boards_.end(), set->address) != boards_.end(),
                "board %d, not served, switched by '%s'", set->address, topic.c_str());
            TARNWICK_FUZZ_CHECK(e.command && *e.command == *set,
                                "'%s' = '%s' (retained %d) switched relay %d of board %d to %d",
                                topic.c_str(), payload.c_str(), retained, set->relay, set->address,
                                set->on);
            wanted_.want(set->address, set->relay, set->on);
            last_wanted_[{set->address, set->relay}] = set->on;
        } else {
            const auto& refusal = std::get<Refusal>(read);
            TARNWICK_FUZZ_CHECK(!e.command, "'%s' = '%s' refused: %s", topic.c_str(),
                                payload.c_str(), refusal.text.c_str());
            TARNWICK_FUZZ_CHECK(refusal.error_topic == e.error_topic,
                                "'%s' refused on '%s', expected on '%s'", topic.c_str(),
                                refusal.error_topic.c_str(), e.error_topic.c_str());
            // The bytes of the topic and payload are shown escaped and cut.
            TARNWICK_FUZZ_CHECK(std::all_of(refusal.text.begin(), refusal.text.end(),
                                            [](char c) { return c >= 0x20 && c < 0x7F; }),
                                "unprintable refusal: %s", refusal.text.c_str());
            TARNWICK_FUZZ_CHECK(
                refusal.text.size() <= 1000 + 2 * node_.size() + boards_text(boards_).size(),
                "a refusal of %zu bytes", refusal.text.size());
        }
        if (in.byte() & 1) hand_out();
    }

    // What goes to the boards: each relay asked for once, as last asked, by
    // its documented command.
    void hand_out() {
        while (const auto want = wanted_.take()) {
            if (want->relay == 0) {
                hand_out_all(*want);
                continue;
            }
            const auto asked = last_wanted_.find({want->address, want->relay});
            TARNWICK_FUZZ_CHECK(asked != last_wanted_.end() && asked->second == want->on,
                                "relay %d of board %d switched unasked", want->relay,
                                want->address);
            last_wanted_.erase(asked);
            const auto relay = static_cast<std::uint8_t>(want->relay);
            const tarnwick::protocol::Command command =
                want->on ? tarnwick::protocol::Command{0x21, 0xFA, relay}
                         : tarnwick::protocol::Command{0x11, 0x00, relay};
            TARNWICK_FUZZ_CHECK(want->command() == command, "relay %d sent the wrong command",
                                want->relay);
        }
        TARNWICK_FUZZ_CHECK(last_wanted_.empty(), "%zu switches asked for never sent",
                            last_wanted_.size());
    }

    // Every relay of the board asked for alike: one command for all 16.
    void hand_out_all(const link::WantedStates::Want& want) {
        for (int relay = 1; relay <= 16; ++relay) {
            const auto asked = last_wanted_.find({want.address, relay});
            TARNWICK_FUZZ_CHECK(asked != last_wanted_.end() && asked->second == want.on,
                                "board %d switched all %s, relay %d unasked", want.address,
                                want.on ? "on" : "off", relay);
            last_wanted_.erase(asked);
        }
        const std::uint8_t data = want.on ? 0xFF : 0x00;
        TARNWICK_FUZZ_CHECK(want.command() == (tarnwick::protocol::Command{0x13, data, data}),
                            "board %d: the wrong command for all relays", want.address);
    }

    // Options that pass the check are ones the client can use.
    void client_options(FuzzInput& in) {
        // Three bytes, low first, as a signed number of 24 bits.
        const auto number = [&in] {
            int value = in.byte();
            value |= in.byte() << 8;
            value |= in.byte() << 16;
            return value - (1 << 23);
        };
        ClientOptions o;
        o.node = node_;
        o.broker.host = "localhost";
        o.keepalive_s = number();
        o.retry_min_s = number();
        o.retry_max_s = number();
        const std::uint8_t flags = in.byte();
        if (flags & 1) o.username = "user";
        if (flags & 2) o.password = "secret";
        if (options_problem(o)) return;
        TARNWICK_FUZZ_CHECK(o.keepalive_s >= 5 && o.keepalive_s <= 65535, "keepalive %d taken",
                            o.keepalive_s);
        TARNWICK_FUZZ_CHECK(!o.password || !o.username.empty(), "a password without a user");
        for (int failures = 1; failures < 2000; failures = failures * 3 + 1) {
            const int wait = retry_delay_s(failures, o.retry_min_s, o.retry_max_s);
            TARNWICK_FUZZ_CHECK(wait >= o.retry_min_s && wait <= o.retry_max_s,
                                "wait %d s after %d failures, %d..%d", wait, failures,
                                o.retry_min_s, o.retry_max_s);
        }
    }

    std::string node_ = "cab-1";
    std::vector<std::uint8_t> boards_{1};
    link::WantedStates wanted_;
    std::map<std::pair<int, int>, bool> last_wanted_;  // (board, relay) -> on, not yet sent
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    Session session;
    session.run(in);
    return 0;
}
