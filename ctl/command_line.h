#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "mqtt/options.h"
#include "protocol/board_family.h"

namespace tarnwick::ctl {

// The program's exit statuses; --help lists them.
enum Exit : int {
    exit_done = 0,           // done; a switch confirmed by the board
    exit_name_file = 1,      // the name file could not be read or written
    exit_usage = 2,          // bad usage: nothing was sent
    exit_port = 3,           // the port could not be opened, or went away
    exit_no_answer = 4,      // no valid answer within the timeout
    exit_not_confirmed = 5,  // answers came, but not the requested state
    exit_refused = 6,        // the board refused the request (a Modbus exception)
    exit_interrupted = 130,  // SIGINT or SIGTERM before the end, as a shell reports SIGINT
};

enum class Verb {
    status,
    on,
    off,
    toggle,
    all_on,
    all_off,
    pulse,
    watch,
    scan,
    names,
    serve,
    schedules,
    schedule,
    scene
};

// The schedules and scenes are tarnwickd's: these verbs only go through it.
[[nodiscard]] constexpr bool service_only(Verb verb) {
    return verb == Verb::schedules || verb == Verb::schedule || verb == Verb::scene;
}

// One command line, checked whole before anything is opened or sent.
struct Request {
    Verb verb = Verb::status;
    QString verb_name;                   // as typed: "status", "all-on", ...
    QString port = QStringLiteral("1");  // a port number as in the panel, or a device path
    int address = 1;
    bool json = false;
    int timeout_ms = 500;
    bool timeout_given = false;
    std::vector<int> channels;  // on, off, toggle, pulse: 1..16, each once, ascending
    double pulse_seconds = 0;   // pulse: 0.1 .. 86400
    std::optional<int> count;   // watch: end after this many lines
    int first = 0;              // scan: the range of addresses
    int last = 255;
    std::optional<int> name_channel;  // names CH
    std::optional<QString> new_name;  // names CH NAME
    mqtt::BridgeOptions bridge;       // serve
    QString password_warning;         // serve: the password file others may read
    bool help_shown = false;          // serve --help: printed, nothing to run
    bool direct = false;              // --direct: open the device, never ask tarnwickd
    bool via_service = false;         // --via-service: only through tarnwickd
    protocol::LineSettings line;      // --protocol and the line's serial settings
    QString time_name;                // schedule NAME, scene NAME
    bool enable = false;              // schedule NAME enable
};

// A request, or the status to exit with at once: 0 after --help or
// --version, exit_usage after a refusal, which is printed on stderr.
struct Parsed {
    std::optional<Request> request;
    int exit_status = exit_done;
};

// arguments[0] is the program.
[[nodiscard]] Parsed parse_command_line(const QStringList& arguments);

}  // namespace tarnwick::ctl
