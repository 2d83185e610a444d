#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <array>
#include <cstdint>

#include "panel/relay_state.h"
#include "wire/serial_port.h"

namespace tarnwick::ctl {

using ChannelNames = std::array<QString, 16>;

// What a state is called on the command line: on, off, unknown, closed.
[[nodiscard]] QString state_word(link::RelayState state);

// " 3  on   进水泵"
[[nodiscard]] QString channel_line(int channel, link::RelayState state, const QString& name);
// "on: 3 9", "all off", "all on", "unknown", "port closed"
[[nodiscard]] QString states_summary(const link::RelayStates& states);
// The 16 states of a pattern (bit r-1 = relay r).
[[nodiscard]] link::RelayStates pattern_states(std::uint16_t relays);

// [{"channel": 1, "state": "off", "name": "第1路"}, ...]; names left out when
// none are given.
[[nodiscard]] QJsonArray relays_json(const link::RelayStates& states,
                                     const ChannelNames* names = nullptr);
// The channels energized in a pattern: [3, 9].
[[nodiscard]] QJsonArray energized_json(std::uint16_t relays);
// "0x0104"
[[nodiscard]] QString pattern_text(std::uint16_t relays);
// Now, as ISO 8601 local time with milliseconds and the UTC offset.
[[nodiscard]] QString timestamp();

// One line on stdout, UTF-8, flushed (a pipe sees it at once). False once
// stdout cannot be written: its reader went away (SIGPIPE is ignored).
bool print_line(const QString& line);
// One JSON object on one line of stdout; false as print_line.
bool print_json(const QJsonObject& object);
// True once stdout's reader went away (a pipe reports POLLERR, a socket
// POLLHUP), seen without writing to it.
[[nodiscard]] bool output_reader_gone();

// The --json "reason" of a failure: a stable English word for scripts, one
// of not_found, permission, busy, lost, port, no_answer, not_confirmed,
// interrupted, name_file, usage. `fault` is the port's, for exit status 3.
[[nodiscard]] QString reason_code(int status, std::optional<link::PortFault> fault = {});

// "tarnwick-ctl: " + text on stderr.
void print_error(const QString& text);
// A command that failed: `text` on stderr and, with --json, the object with
// ok false, exit, error and reason; returns `status`.
int print_failure(bool json_too, QJsonObject json, const QString& text, int status);
// One line of a log on stderr: the timestamp, then the text with its line
// breaks made spaces.
void print_log(const QString& text);

}  // namespace tarnwick::ctl
