#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/board_family.h"

// What `serve` is told on its command line about the broker, the cabinet and
// its boards, checked before anything connects. Plain C++, no Qt.
namespace tarnwick::mqtt {

// A value read from an option, or why it was refused (one sentence naming the
// option and the offending text).
template <class T>
struct Parsed {
    std::optional<T> value;
    std::string problem;
    [[nodiscard]] explicit operator bool() const { return value.has_value(); }
};

// --node: the cabinet's id, [A-Za-z0-9_-]+. It is part of every topic, of the
// client id and of Home Assistant's ids, so nothing else may appear in it.
// Nothing when it is fine.
[[nodiscard]] std::optional<std::string> node_problem(std::string_view node);

// MQTT client id of a cabinet: "tarnwick-<node>". One connection per cabinet;
// a second one with the same id pushes the first off the broker.
[[nodiscard]] std::string client_id(std::string_view node);

// --boards: addresses 0..255 and ranges, "1,7,20-23", in the order given
// (a range counts up). Empty items, a range that counts down, a number outside
// 0..255 and an address given twice are refused.
[[nodiscard]] Parsed<std::vector<std::uint8_t>> parse_boards(std::string_view text);
// The list written back in the same form, runs of three or more as ranges:
// {1, 7, 20, 21, 22, 23} -> "1,7,20-23".
[[nodiscard]] std::string boards_text(const std::vector<std::uint8_t>& boards);

inline constexpr int default_mqtt_port = 1883;
inline constexpr int default_mqtts_port = 8883;

struct BrokerAddress {
    std::string host;
    int port = default_mqtt_port;
    friend bool operator==(const BrokerAddress&, const BrokerAddress&) = default;
};

// --mqtt HOST[:PORT]; "[::1]:1883" for an IPv6 address with a port. Without a
// port: 1883, or 8883 with TLS.
[[nodiscard]] Parsed<BrokerAddress> parse_broker(std::string_view text, bool tls);

// The password, from --password-file when given, else from the variable
// TARNWICK_MQTT_PASSWORD (its value passed in; empty counts as unset); never
// from the command line, where every user of the machine could read it. One
// trailing line break of the file is not part of the password. Only a
// regular file is read; a FIFO, socket, device or directory is refused at
// once.
struct Password {
    std::optional<std::string> value;  // nothing: connect without a password
    std::string problem;               // the file cannot be used: do not start
    std::string warning;               // usable, but every user may read the file
};
[[nodiscard]] Password read_password(const std::string& file, const char* variable_value);

// Everything the client needs to connect.
struct ClientOptions {
    BrokerAddress broker;
    std::string node;
    std::string username;                 // empty: none
    std::optional<std::string> password;  // needs a username
    std::string tls_ca;                   // CA file; empty: plain TCP
    bool insecure = false;                // TLS without the host-name check

    // A password to a broker that is not this machine goes in plain text
    // only when allowed.
    bool allow_plaintext_password = false;
    int keepalive_s = 30;
    // Waits between attempts after a failure: min × n² seconds for the n-th
    // failure in a row, at most max.
    int retry_min_s = 1;
    int retry_max_s = 30;
};

// Everything serve needs besides the serial port: the broker and cabinet, the
// boards on the line, whether dashboards may switch them, and the line's
// family and serial settings (its inputs are published).
struct BridgeOptions {
    ClientOptions client;
    std::vector<std::uint8_t> boards{1};
    bool read_only = false;
    std::string version;  // the program's, for Home Assistant's device page
    protocol::LineSettings line;
};

// Why these options cannot work, or nothing. The CA file must be a regular
// file holding a PEM certificate.
[[nodiscard]] std::optional<std::string> options_problem(const ClientOptions& options);

// The wait before attempt n + 1 after n failures in a row (n >= 1):
// min × n², at most max. libmosquitto waits the same way between its own
// reconnect attempts.
[[nodiscard]] int retry_delay_s(int failures, int min_s, int max_s);

}  // namespace tarnwick::mqtt
