#include "ctl/command_line.h"

#include <QCommandLineParser>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/frame.h"
#include "protocol/modbus.h"
#include "protocol/number_text.h"

namespace tarnwick::ctl {

namespace {

constexpr int max_timeout_ms = 600000;

const char* const description =
    R"(Switches, reads, watches and finds 16-relay boards on a serial line from a
shell: the same frames, port settings, device lock, port numbers and name
file as the panel (tarnwick).

Commands:
%1
A switch sends one command per 50 ms tick, then queries until the board's
answer shows every requested relay in the requested state.

%2

Before opening the device, every command but serve asks the bus
($TARNWICK_BUS, else the system bus) for 300 ms whether tarnwickd holds it;
if so the command goes through the service (scan is refused: its boards are
the service's). schedules, schedule and scene are tarnwickd's own: they
always go through it, and take --json only.

--protocol modbus drives Modbus RTU boards: -a is the unit id 1..247, relay n
is coil n-1; --baud, --parity and --stop-bits set the line (default 9600 8N1),
--inputs N reads N discrete inputs with the relays. Native boards are always
9600 8N1. Through tarnwickd the service's own settings for the line hold.

Port n opens the device named by $TARNWICK_COMn, else the device saved for
port n in the panel, else /dev/ttyS<n-1>; -p also takes a device path, best
a stable one: -p /dev/serial/by-id/...

Exit status:
  0  done; a switch confirmed by the board
  1  the name file could not be written (names)
  2  bad usage (unknown command, channel outside 1..16, address outside
     0..255, a name that cannot be stored, a schedule or scene tarnwickd
     does not have): nothing was sent or written
  3  the port cannot be opened (missing, busy, not permitted), or went away;
     through tarnwickd: the bus refused the call, or (--via-service) no
     service holds the device; schedules, schedule, scene: no tarnwickd on
     the bus
  4  no valid answer within the timeout (scan: no board answered)
  5  the board answered but did not confirm the requested state (scene:
     the relays named on stderr)
  6  the board refused the request (a Modbus exception, named on stderr)
130  interrupted (SIGINT or SIGTERM) before the command was done
serve ends with 0 after SIGTERM or SIGINT, 2 on bad options, 3 when the port
cannot be opened at its start; a device lost later is reopened when it is
back.)";

const char* const serve_description =
    R"(Usage: tarnwick-ctl [-p PORT] serve --mqtt HOST[:PORT] --node NODE [options]

serve polls the boards of --boards (default 1) in turn, one frame per 50 ms
tick, publishes their relays under tarnwick/NODE/ and switches a relay only on
a fresh set of exactly ON or OFF. Its options:
  --mqtt HOST[:PORT]    the broker (port 1883, 8883 with TLS; [::1]:1883)
  --node NODE           the cabinet's id: letters, digits, '_' and '-'
  --boards LIST         addresses on the line, e.g. 1,7,20-23 (default 1)
  --read-only           publish only; no subscription at all
  --username USER       the broker user
  --password-file FILE  its password (else $TARNWICK_MQTT_PASSWORD; never an
                        option of its own); a regular file that not every
                        user may read
  --allow-plaintext-password
                        send the password without TLS to a broker that is
                        not this machine (refused otherwise)
  --tls-ca FILE         TLS, the broker's certificate checked against this CA
                        and its host name; never plain text instead
  --insecure            with --tls-ca: skip the host-name check only
  --keepalive S         MQTT keepalive, 5..65535 s (default 30)
It logs one line per event on stderr.)";

void refuse(const QString& why) {
    std::fprintf(stderr, "tarnwick-ctl: %s\nTry 'tarnwick-ctl --help'.\n", qUtf8Printable(why));
}

// A whole number within [min, max], or nothing.
std::optional<int> number_in(const QString& text, int min, int max) {
    const auto value = protocol::parse_whole_number(text.toStdString());
    if (!value || *value < min || *value > max) return std::nullopt;
    return static_cast<int>(*value);
}

std::optional<int> channel(const QString& text) {
    const auto n = number_in(text, 1, protocol::relay_count);
    if (!n) refuse(QStringLiteral("channel '%1' is not a number 1..16").arg(text));
    return n;
}

bool refuse_serve(const std::string& why) {
    refuse(QStringLiteral("serve: ") + QString::fromStdString(why));
    return false;
}

// serve's options, checked whole: the broker, the cabinet, its boards, the
// password's source, TLS. Nothing is opened or connected yet.
bool parse_serve_options(const QCommandLineParser& parser, Request& request) {
    const auto value = [&](const char* name) { return parser.value(QString::fromLatin1(name)); };
    const auto is_set = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    if (!is_set("mqtt")) return refuse_serve("which broker? give --mqtt HOST[:PORT]");
    if (!is_set("node")) return refuse_serve("which cabinet? give --node NODE");
    mqtt::ClientOptions& client = request.bridge.client;
    client.node = value("node").toStdString();
    if (const auto problem = mqtt::node_problem(client.node)) return refuse_serve(*problem);
    if (is_set("boards")) {
        const auto boards = mqtt::parse_boards(value("boards").toStdString());
        if (!boards) return refuse_serve(boards.problem);
        request.bridge.boards = *boards.value;
    }
    client.tls_ca = value("tls-ca").toStdString();
    const auto broker = mqtt::parse_broker(value("mqtt").toStdString(), !client.tls_ca.empty());
    if (!broker) return refuse_serve(broker.problem);
    client.broker = *broker.value;
    client.insecure = is_set("insecure");
    client.allow_plaintext_password = is_set("allow-plaintext-password");
    client.username = value("username").toStdString();
    if (is_set("keepalive")) {
        const auto seconds = number_in(value("keepalive"), 5, 65535);
        if (!seconds)
            return refuse_serve("--keepalive '" + value("keepalive").toStdString() +
                                "' is not a number of seconds 5..65535");
        client.keepalive_s = *seconds;
    }
    const mqtt::Password password = mqtt::read_password(value("password-file").toStdString(),
                                                        std::getenv("TARNWICK_MQTT_PASSWORD"));
    if (!password.problem.empty()) return refuse_serve(password.problem);
    client.password = password.value;
    request.password_warning = QString::fromStdString(password.warning);
    if (const auto problem = mqtt::options_problem(client)) return refuse_serve(*problem);
    request.bridge.read_only = is_set("read-only");
    request.bridge.version = TARNWICK_VERSION;
    return true;
}

void add_serve_options(QCommandLineParser& parser) {
    const auto valued = [&](const char* name, const char* value) {
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(name), {}, QString::fromLatin1(value)));
    };
    valued("mqtt", "HOST[:PORT]");
    valued("node", "NODE");
    valued("boards", "LIST");
    valued("username", "USER");
    valued("password-file", "FILE");
    valued("tls-ca", "FILE");
    valued("keepalive", "S");
    parser.addOption(QCommandLineOption(QStringLiteral("read-only")));
    parser.addOption(QCommandLineOption(QStringLiteral("insecure")));
    parser.addOption(QCommandLineOption(QStringLiteral("allow-plaintext-password")));
}

// Each command's arguments after its name, checked whole; false when refused
// (said).
bool at_most(const QStringList& args, qsizetype n, const Request& request) {
    if (args.size() <= n) return true;
    refuse(QStringLiteral("%1: unexpected argument '%2'").arg(request.verb_name, args[n]));
    return false;
}

bool no_arguments(const QStringList& args, const QCommandLineParser&, Request& request) {
    return at_most(args, 0, request);
}

bool channels(const QStringList& args, const QCommandLineParser&, Request& request) {
    if (args.isEmpty()) {
        refuse(request.verb_name + QStringLiteral(": which channels? (1..16)"));
        return false;
    }
    for (const QString& arg : args) {
        const auto n = channel(arg);
        if (!n) return false;
        request.channels.push_back(*n);
    }
    std::sort(request.channels.begin(), request.channels.end());
    request.channels.erase(std::unique(request.channels.begin(), request.channels.end()),
                           request.channels.end());
    return true;
}

bool pulse(const QStringList& args, const QCommandLineParser&, Request& request) {
    const auto n = args.isEmpty() ? std::nullopt : channel(args[0]);
    if (args.isEmpty()) refuse(QStringLiteral("pulse: which channel? (1..16)"));
    if (!n) return false;
    const auto ms = args.size() > 1
                        ? protocol::parse_seconds_ms(args[1].toStdString(), 100, 86'400'000)
                        : std::nullopt;
    if (!ms) {
        refuse(QStringLiteral("pulse: '%1' is no time of 0.1 .. 86400 seconds").arg(args.value(1)));
        return false;
    }
    request.channels = {*n};
    request.pulse_seconds = static_cast<double>(*ms) / 1000.0;
    return at_most(args, 2, request);
}

bool watch(const QStringList& args, const QCommandLineParser& parser, Request& request) {
    if (parser.isSet(QStringLiteral("count"))) {
        const QString count = parser.value(QStringLiteral("count"));
        request.count = number_in(count, 1, 1000000000);
        if (!request.count) {
            refuse(QStringLiteral("watch: --count '%1' is not a number 1 or more").arg(count));
            return false;
        }
    }
    return at_most(args, 0, request);
}

bool scan(const QStringList& args, const QCommandLineParser&, Request& request) {
    if (!args.isEmpty()) {
        const QStringList ends = args[0].split(u'-');
        const int from = ends.size() == 2 ? number_in(ends[0], 0, 255).value_or(-1) : -1;
        const int to = ends.size() == 2 ? number_in(ends[1], 0, 255).value_or(-1) : -1;
        if (from < 0 || to < from) {
            refuse(QStringLiteral("scan: '%1' is no range FROM-TO within 0-255").arg(args[0]));
            return false;
        }
        request.first = from;
        request.last = to;
    }
    return at_most(args, 1, request);
}

bool names(const QStringList& args, const QCommandLineParser&, Request& request) {
    if (!args.isEmpty()) {
        request.name_channel = channel(args[0]);
        if (!request.name_channel) return false;
    }
    if (args.size() > 1) request.new_name = args[1];
    return at_most(args, 2, request);
}

bool schedule(const QStringList& args, const QCommandLineParser&, Request& request) {
    const QString action = args.value(1);
    if (args.value(0).isEmpty() ||
        (action != QLatin1String("enable") && action != QLatin1String("disable"))) {
        refuse(QStringLiteral("schedule: give a NAME and enable or disable"));
        return false;
    }
    request.time_name = args[0];
    request.enable = action == QLatin1String("enable");
    return at_most(args, 2, request);
}

bool scene(const QStringList& args, const QCommandLineParser&, Request& request) {
    if (!args.isEmpty() && args[0].isEmpty()) {
        refuse(QStringLiteral("scene: an empty NAME"));
        return false;
    }
    request.time_name = args.value(0);
    return at_most(args, 1, request);
}

bool serve(const QStringList& args, const QCommandLineParser& parser, Request& request) {
    return at_most(args, 0, request) && parse_serve_options(parser, request);
}

// The commands: what each is called, takes and does (--help's list is made
// from this table), and the check of its arguments.
struct VerbEntry {
    const char* name;
    Verb verb;
    const char* usage;  // its arguments
    const char* help;
    bool (*parse)(const QStringList& args, const QCommandLineParser& parser, Request& request);
    // Why -a, --json and --timeout do not apply to it, if they do not.
    const char* no_board_options = nullptr;
};
const VerbEntry verbs[] = {
    {"status", Verb::status, "", "the 16 relays of the board, with their names", no_arguments},
    {"on", Verb::on, "CH...", "energize channels 1..16, then confirm", channels},
    {"off", Verb::off, "CH...", "release channels 1..16, then confirm", channels},
    {"toggle", Verb::toggle, "CH...", "flip channels from the board's reported state, then confirm",
     channels},
    {"all-on", Verb::all_on, "", "energize all 16, then confirm", no_arguments},
    {"all-off", Verb::all_off, "", "release all 16, then confirm", no_arguments},
    {"pulse", Verb::pulse, "CH SECONDS",
     "through tarnwickd only: energize CH, which the service\n"
     "releases after SECONDS (0.1 .. 86400), whatever happens\n"
     "to this command",
     pulse},
    {"watch", Verb::watch, "[--count N]",
     "one line per change of the board's state, until Ctrl-C\n"
     "or N lines; the first line is the state first seen",
     watch},
    {"scan", Verb::scan, "[FROM-TO]",
     "query each address FROM..TO (default 0-255), list those\n"
     "that answer",
     scan},
    {"names", Verb::names, "[CH [NAME]]", "the address's channel names, or one, or set one", names},
    {"serve", Verb::serve,
     "--mqtt HOST[:PORT] --node NODE [--boards LIST] [--read-only]\n"
     "      [--username USER --password-file FILE] [--tls-ca FILE [--insecure]]\n"
     "      [--allow-plaintext-password] [--keepalive S]",
     "put the boards of the line on an MQTT broker, with Home\n"
     "Assistant discovery, until SIGTERM or Ctrl-C",
     serve, "the boards are given with --boards, and serve logs on stderr"},
    {"schedules", Verb::schedules, "",
     "tarnwickd's schedules: enabled or not, active or not,\n"
     "and their next change in local time",
     no_arguments},
    {"schedule", Verb::schedule, "NAME enable|disable",
     "through tarnwickd: enable or disable a schedule, kept\n"
     "across the service's restarts",
     schedule},
    {"scene", Verb::scene, "[NAME]",
     "through tarnwickd: apply a scene and wait until every\n"
     "relay of it is confirmed; without NAME, list the scenes",
     scene},
};

// The list of commands in --help: the command and its arguments, then what
// it does beside them, or under them when they are too long.
QString commands_text() {
    constexpr int column = 21;
    const QString indent(column, u' ');
    QString text;
    for (const VerbEntry& verb : verbs) {
        const QString usage = QStringLiteral("  %1 %2").arg(verb.name, verb.usage).trimmed();
        QStringList help = QString::fromUtf8(verb.help).split(u'\n');
        QString first = QStringLiteral("  ") + usage.section(u'\n', 0, 0);
        const QString more = usage.section(u'\n', 1);
        if (!more.isEmpty() || first.size() >= column) {
            text += first + u'\n';
            for (const QString& line : more.split(u'\n', Qt::SkipEmptyParts))
                text += QStringLiteral("  ") + line + u'\n';
            first.clear();
        }
        for (const QString& line : help) {
            text += first.isEmpty() ? indent : first.leftJustified(column - 1) + u' ';
            text += line + u'\n';
            first.clear();
        }
    }
    return text;
}

// The arguments after the command: its own options and positionals.
bool parse_verb_arguments(const QStringList& rest, const VerbEntry& verb, Request& request) {
    QCommandLineParser parser;
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("End after N lines."),
                                   QStringLiteral("N"));
    if (request.verb == Verb::watch) parser.addOption(count);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    if (request.verb == Verb::serve) {
        add_serve_options(parser);
        parser.addOption(help);
    }
    if (!parser.parse(QStringList{request.verb_name} + rest)) {
        refuse(request.verb_name + QStringLiteral(": ") + parser.errorText());
        return false;
    }
    if (request.verb == Verb::serve && parser.isSet(help)) {
        std::fputs(serve_description, stdout);
        std::fputs("\n", stdout);
        request.help_shown = true;
        return true;
    }
    return verb.parse(parser.positionalArguments(), parser, request);
}

// The options before the command, in --help's order.
struct GlobalOptions {
    QCommandLineOption port{{QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("A port number 0..255 as in the panel, or a "
                                           "device path (default 1)."),
                            QStringLiteral("PORT")};
    QCommandLineOption address{{QStringLiteral("a"), QStringLiteral("address")},
                               QStringLiteral("Board address 0..255 (default 1)."),
                               QStringLiteral("ADDRESS")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Print one JSON object (watch: one per line).")};
    QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QStringLiteral("How long to wait for the board, in ms (default 500); scan: per "
                       "address, default the wire time of a query and its answer plus 10 ms."),
        QStringLiteral("MS")};
    QCommandLineOption protocol{QStringLiteral("protocol"),
                                QStringLiteral("The boards' family: native (default) or modbus."),
                                QStringLiteral("NAME")};
    QCommandLineOption baud{
        QStringLiteral("baud"),
        QStringLiteral("modbus: the line's speed, 1200..115200 (default 9600)."),
        QStringLiteral("N")};
    QCommandLineOption parity{QStringLiteral("parity"),
                              QStringLiteral("modbus: none (default), even or odd."),
                              QStringLiteral("P")};
    QCommandLineOption stop_bits{QStringLiteral("stop-bits"),
                                 QStringLiteral("modbus: 1 (default) or 2."), QStringLiteral("N")};
    QCommandLineOption inputs{QStringLiteral("inputs"),
                              QStringLiteral("modbus: discrete inputs to read, 0..16 (default 0)."),
                              QStringLiteral("N")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Print this help and exit.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Print the version and exit.")};
    QCommandLineOption direct{
        QStringLiteral("direct"),
        QStringLiteral("Open the device even if tarnwickd holds it; do not ask the service.")};
    QCommandLineOption via_service{
        QStringLiteral("via-service"),
        QStringLiteral("Only through the tarnwickd that holds the device; exit 3 if none does.")};

    [[nodiscard]] QList<QCommandLineOption> all() const {
        return {port,      address, json,   timeout,     protocol, baud,   parity,
                stop_bits, inputs,  direct, via_service, help,     version};
    }
};

// The global options and the command, with --help made from the verb table.
void declare(QCommandLineParser& parser, const GlobalOptions& global) {
    // serve's options, as serve --help prints them, from its second line on.
    const QString serve_options = QString::fromUtf8(serve_description).section(u'\n', 2);
    parser.setApplicationDescription(
        QString::fromUtf8(description).arg(commands_text(), serve_options));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(global.all());
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("See Commands above."),
                                 QStringLiteral("COMMAND [ARGS]"));
}

// The command, taken off the front of POSITIONAL; nothing when refused.
const VerbEntry* take_verb(QStringList& positional, Request& request) {
    if (positional.isEmpty()) {
        refuse(QStringLiteral("no command given"));
        return nullptr;
    }
    request.verb_name = positional.takeFirst();
    const auto* known = std::find_if(std::begin(verbs), std::end(verbs), [&](const VerbEntry& v) {
        return request.verb_name == QLatin1String(v.name);
    });
    if (known == std::end(verbs)) {
        refuse(QStringLiteral("unknown command '%1'").arg(request.verb_name));
        return nullptr;
    }
    request.verb = known->verb;
    return known;
}

bool take_port(const QCommandLineParser& parser, const QCommandLineOption& port, Request& request) {
    if (!parser.isSet(port)) return true;
    request.port = parser.value(port);
    const bool number = protocol::parse_whole_number(request.port.toStdString()).has_value();
    if (number ? protocol::parse_entry(request.port.toStdString()).has_value()
               : request.port.contains(u'/'))
        return true;
    refuse(QStringLiteral("--port '%1' is no port number 0..255 and no device path")
               .arg(request.port));
    return false;
}

bool take_address(const QCommandLineParser& parser, const QCommandLineOption& address,
                  Request& request) {
    if (!parser.isSet(address)) return true;
    const auto n = protocol::parse_entry(parser.value(address).toStdString());
    if (!n) {
        refuse(QStringLiteral("--address '%1' is not a number 0..255").arg(parser.value(address)));
        return false;
    }
    request.address = *n;
    return true;
}

// Of the options before the command, only --json and --via-service apply to
// the schedules and scenes, which are the service's.
bool service_options_apply(const QCommandLineParser& parser, const GlobalOptions& global,
                           const VerbEntry& verb) {
    for (const QCommandLineOption* option :
         {&global.port, &global.address, &global.timeout, &global.protocol, &global.baud,
          &global.parity, &global.stop_bits, &global.inputs, &global.direct}) {
        if (parser.isSet(*option)) {
            refuse(QStringLiteral("%1: --%2 does not apply; it goes through tarnwickd only")
                       .arg(QLatin1String(verb.name), option->names().constLast()));
            return false;
        }
    }
    return true;
}

// -a, --json and --timeout, refused for a command they do not apply to.
bool board_options_apply(const QCommandLineParser& parser, const GlobalOptions& global,
                         const VerbEntry& verb) {
    if (service_only(verb.verb)) return service_options_apply(parser, global, verb);
    if (!verb.no_board_options) return true;
    for (const QCommandLineOption* option : {&global.address, &global.json, &global.timeout}) {
        if (parser.isSet(*option)) {
            refuse(QStringLiteral("%1: --%2 does not apply; %3")
                       .arg(QLatin1String(verb.name), option->names().constLast(),
                            QLatin1String(verb.no_board_options)));
            return false;
        }
    }
    return true;
}

bool take_timeout(const QCommandLineParser& parser, const QCommandLineOption& timeout,
                  Request& request) {
    if (!parser.isSet(timeout)) return true;
    const auto ms = number_in(parser.value(timeout), 1, max_timeout_ms);
    if (!ms) {
        refuse(QStringLiteral("--timeout '%1' is not a number of ms 1..%2")
                   .arg(parser.value(timeout))
                   .arg(max_timeout_ms));
        return false;
    }
    request.timeout_ms = *ms;
    request.timeout_given = true;
    return true;
}

// --protocol and the serial settings; only modbus takes the latter.
bool take_line(const QCommandLineParser& parser, const GlobalOptions& global, Request& request) {
    protocol::LineSettings& line = request.line;
    if (parser.isSet(global.protocol)) {
        const auto chosen = protocol::parse_protocol(parser.value(global.protocol).toStdString());
        if (!chosen) {
            refuse(QStringLiteral("--protocol '%1' is neither native nor modbus")
                       .arg(parser.value(global.protocol)));
            return false;
        }
        line.protocol = *chosen;
    }
    for (const QCommandLineOption* o :
         {&global.baud, &global.parity, &global.stop_bits, &global.inputs}) {
        if (!parser.isSet(*o)) continue;
        const QString name = o->names().constFirst(), value = parser.value(*o);
        if (line.protocol != protocol::Protocol::modbus) {
            refuse(
                QStringLiteral("--%1 applies to --protocol modbus only; native boards are 9600 8N1")
                    .arg(name));
            return false;
        }
        const auto n = number_in(value, 0, 115200);
        const auto parity = protocol::parse_parity(value.toStdString());
        if (o == &global.parity ? !parity : !n) {
            refuse(QStringLiteral("--%1 '%2' is not a usable value").arg(name, value));
            return false;
        }
        if (o == &global.baud) line.baud = *n;
        if (o == &global.parity) line.parity = *parity;
        if (o == &global.stop_bits) line.stop_bits = *n;
        if (o == &global.inputs) line.inputs = *n;
    }
    if (const auto fault = protocol::settings_fault(line)) {
        refuse(QString::fromStdString(*fault));
        return false;
    }
    return true;
}

// A Modbus unit id is 1..247: 0 is broadcast, which no board answers, so
// nothing could confirm a switch; scan's range is kept within them.
bool unit_in_range(Request& request) {
    request.bridge.line = request.line;
    if (request.line.protocol != protocol::Protocol::modbus) return true;
    if (request.verb == Verb::serve) {
        for (const int board : request.bridge.boards) {
            if (board >= protocol::modbus::first_unit && board <= protocol::modbus::last_unit)
                continue;
            refuse(QStringLiteral("serve: --boards %1 is no Modbus unit id 1..247").arg(board));
            return false;
        }
        return true;
    }
    if (request.verb == Verb::scan) {
        request.first = std::max(request.first, protocol::modbus::first_unit);
        request.last = std::min(request.last, protocol::modbus::last_unit);
        if (request.first <= request.last) return true;
        refuse(QStringLiteral("scan: Modbus unit ids are 1..247"));
        return false;
    }
    if (request.address >= protocol::modbus::first_unit &&
        request.address <= protocol::modbus::last_unit)
        return true;
    refuse(QStringLiteral(
               "--address %1 is no Modbus unit id 1..247 (0 is broadcast, which nothing answers)")
               .arg(request.address));
    return false;
}

// The options before the command, in the order they are checked.
bool take_global_options(const QCommandLineParser& parser, const GlobalOptions& global,
                         const VerbEntry& verb, Request& request) {
    if (!take_port(parser, global.port, request) ||
        !take_address(parser, global.address, request) || !take_line(parser, global, request) ||
        !board_options_apply(parser, global, verb))
        return false;
    request.json = parser.isSet(global.json);
    request.direct = parser.isSet(global.direct);
    request.via_service = parser.isSet(global.via_service);
    if (request.direct && request.via_service) {
        refuse(QStringLiteral("--direct and --via-service exclude each other"));
        return false;
    }
    return take_timeout(parser, global.timeout, request);
}

}  // namespace

Parsed parse_command_line(const QStringList& arguments) {
    QCommandLineParser parser;
    const GlobalOptions global;
    declare(parser, global);
    if (!parser.parse(arguments)) {
        refuse(parser.errorText());
        return {std::nullopt, exit_usage};
    }
    if (parser.isSet(global.help)) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return {std::nullopt, exit_done};
    }
    if (parser.isSet(global.version)) {
        std::printf("tarnwick-ctl %s\n", TARNWICK_VERSION);
        return {std::nullopt, exit_done};
    }

    Request request;
    QStringList positional = parser.positionalArguments();
    const VerbEntry* verb = take_verb(positional, request);
    if (!verb || !take_global_options(parser, global, *verb, request) ||
        !parse_verb_arguments(positional, *verb, request) || !unit_in_range(request))
        return {std::nullopt, exit_usage};
    if (request.help_shown) return {std::nullopt, exit_done};
    return {request, exit_done};
}

}  // namespace tarnwick::ctl
