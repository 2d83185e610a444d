// tarnwick-board-sim: simulated 16-relay boards behind a pseudo-terminal.
// The panel opens the slave side as its serial port; this process serves the
// master side, answers command frames and reports every relay change on stdout.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/modbus.h"
#include "protocol/number_text.h"
#include "sim/board.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* description =
    R"(Simulates 16-relay boards on a pseudo-terminal. The first line on stdout is
the path of the terminal to open as the serial port; after it comes the line
"relays 0xHHHH" with the start pattern, and the same line again whenever a
command changes the relays (bit r-1 is relay r). With several boards on the
line (--address 3,200) each such line names its board:
"address 3 relays 0xHHHH".

A board answers every command frame (0x55, its address, valid checksum) with
a status frame 22 <address> <code> 00 00 <relays 9..16> <relays 1..8> <sum>.
Frames for other addresses and frames with a bad checksum get no answer; other
bytes are skipped until a frame can start.

With --protocol modbus the boards speak Modbus RTU: the unit id is the
board's address (1..247), relay n is coil n-1, and each board has --inputs
discrete inputs. A board answers 01 read coils, 02 read discrete inputs,
05 write single coil (FF00 on, 0000 off) and 0F write multiple coils; any
other function gets exception 01, a range past its coils or inputs (or a
count of 0) exception 02, a bad value or byte count exception 03. Unit 0 is
broadcast: every board applies the writes and none answers. Requests are
framed by the length their first bytes tell; requests for other units and
requests whose CRC does not hold get no answer, and bytes that begin no
request are skipped. --baud, --parity and --stop-bits set the line's speed
for --wire-time.

With --report-frames every whole command frame that arrives, for any
address, is reported before it is answered, with the time it was read in ms
on the monotonic clock: "frame 55 01 10 00 00 00 00 66 at 81234.567"; a
Modbus request is reported the same way, all of its bytes.

Faults can be switched while the boards run: SIGUSR1 turns --bad-checksum on
or off, SIGUSR2 turns --silent on or off; each switch prints a line
"bad-checksum on|off" or "silent on|off". A switch applies to every command
that arrives after the signal was sent. SIGPWR cuts the power: every board
takes its start pattern again (reported as usual) and hears nothing for
--power-cut milliseconds (default 1000), printing "power cut" and then
"power back".

Numbers take 0x for hex. Exits with 0 on SIGINT/SIGTERM/SIGHUP, 2 on bad usage,
1 when the terminal cannot be set up.)";

struct Options {
    tarnwick::sim::Protocol protocol = tarnwick::sim::Protocol::native;
    std::vector<std::uint8_t> addresses{1};
    std::uint16_t relays = 0;
    std::string link;
    bool bad_checksum = false;
    bool silent = false;
    bool stuck = false;
    bool report_frames = false;
    bool wire_time = false;
    std::optional<std::uint8_t> answer_address;
    std::size_t extra = 0;
    std::vector<milliseconds> delays{milliseconds(0)};  // one for all, or one per address
    milliseconds split{0};
    std::size_t garbage = 0;
    std::optional<milliseconds> garbage_after;
    std::uint32_t seed = 1;
    milliseconds power_cut{1000};
    // Modbus only: each board's discrete inputs, and the line's settings.
    int inputs = 8;
    std::uint16_t input_bits = 0;
    std::uint32_t baud = 9600;
    bool parity = false;  // a parity bit, even or odd: the byte takes one bit more
    int stop_bits = 1;
};

// A whole number, decimal or 0x-prefixed hex, no sign, no spaces.
std::optional<std::uint32_t> parse_number(std::string_view text, std::uint32_t max) {
    return tarnwick::protocol::parse_unsigned(text, max,
                                              tarnwick::protocol::Digits::decimal_or_hex);
}

// The options, each with its --help text, listed in --help's order by all().
struct CommandLine {
    QCommandLineOption help{QStringList{"h", "help"}, "Show this text."};
    QCommandLineOption protocol{QStringLiteral("protocol"),
                                "What the boards speak: native (default), the 8-byte frames, "
                                "or modbus, Modbus RTU.",
                                "native|modbus"};
    QCommandLineOption address{QStringLiteral("address"),
                               "Board address 0..255 (default 1; Modbus unit ids 1..247); "
                               "several boards on one line as a list, e.g. 3,200, each with "
                               "its own relays.",
                               "N[,N...]"};
    QCommandLineOption link{QStringLiteral("link"),
                            "Also make PATH a symlink to the terminal; an existing PATH is "
                            "replaced, and the link is removed on SIGINT/SIGTERM/SIGHUP.",
                            "PATH"};
    QCommandLineOption relays{QStringLiteral("relays"),
                              "Start pattern of every board, 0..0xFFFF, hex with 0x or "
                              "decimal (default 0).",
                              "MASK"};
    QCommandLineOption bad_checksum{QStringLiteral("bad-checksum"),
                                    "Answers carry checksum + 1 (Modbus: CRC + 1) instead of "
                                    "the right one."};
    QCommandLineOption silent{QStringLiteral("silent"),
                              "Never answer (a --garbage burst is still sent)."};
    QCommandLineOption stuck{QStringLiteral("stuck"),
                             "Answer every command with the unchanged state: switch nothing."};
    QCommandLineOption report_frames{
        QStringLiteral("report-frames"),
        "Print every whole command frame that arrives, for any address, and when: "
        "\"frame 55 01 ... at MS\"."};
    QCommandLineOption answer_address{
        QStringLiteral("answer-address"),
        "Answers carry address N in byte 1 (Modbus: unit N in byte 0; checksum to match) "
        "instead of the board's own, as from a board that listens to one address and reports "
        "another.",
        "N"};
    QCommandLineOption extra{QStringLiteral("extra"), "Append N random bytes to every answer.",
                             "N"};
    QCommandLineOption delay{QStringLiteral("delay"),
                             "Send every answer MS milliseconds after its command arrived; "
                             "a list gives each board of --address its own, in its order "
                             "(an answer still waits for those queued before it).",
                             "MS[,MS...]"};
    QCommandLineOption split{QStringLiteral("split"),
                             "Send every answer in two writes, 3 bytes then the rest, MS "
                             "milliseconds apart.",
                             "MS"};
    QCommandLineOption garbage{QStringLiteral("garbage"),
                               "As soon as a command for a board arrives, send N random "
                               "bytes, ahead of its answer and of any --delay.",
                               "N"};
    QCommandLineOption garbage_after{
        QStringLiteral("garbage-after"),
        "Send the --garbage burst MS milliseconds after the answer instead (after the command, "
        "when --silent), so it falls between two answers.",
        "MS"};
    QCommandLineOption power_cut{QStringLiteral("power-cut"),
                                 "How long the boards hear nothing after SIGPWR "
                                 "(default 1000).",
                                 "MS"};
    QCommandLineOption wire_time{
        QStringLiteral("wire-time"),
        "Take the time a line at 9600 baud takes: an answer starts 9.3 ms after its command "
        "(the command's 8 bytes take 8.3 ms to arrive, the board answers 1 ms later) and goes "
        "out a byte every 1.04 ms, after any --delay; --split is then not used. Modbus: at "
        "--baud, a byte being 1 start, 8 data, a parity and the stop bits; the answer starts "
        "once the request has arrived and the line been silent 3.5 bytes' time (1.75 ms above "
        "19200 baud)."};
    QCommandLineOption inputs{QStringLiteral("inputs"),
                              "Modbus: discrete inputs of every board, 0..16 (default 8).", "N"};
    QCommandLineOption input_bits{QStringLiteral("input-bits"),
                                  "Modbus: what the inputs read, bit k for input k, none past "
                                  "--inputs (default 0).",
                                  "MASK"};
    QCommandLineOption baud{QStringLiteral("baud"),
                            "Modbus: the line's speed, 1200..115200 (default 9600), for "
                            "--wire-time. The native boards run at 9600 8N1 only.",
                            "N"};
    QCommandLineOption parity{QStringLiteral("parity"), "Modbus: none (default), even or odd.",
                              "none|even|odd"};
    QCommandLineOption stop_bits{QStringLiteral("stop-bits"), "Modbus: 1 (default) or 2.", "1|2"};
    QCommandLineOption seed{QStringLiteral("seed"),
                            "Seed of the random bytes, 0..4294967295 (default 1, so runs "
                            "repeat unless a seed is given).",
                            "S"};

    [[nodiscard]] QList<QCommandLineOption> all() const {
        return {help,       protocol,      address,        link,      relays,       inputs,
                input_bits, baud,          parity,         stop_bits, bad_checksum, silent,
                stuck,      report_frames, answer_address, extra,     delay,        split,
                garbage,    garbage_after, power_cut,      wire_time, seed};
    }
};

// Prints why the command line is refused; false, for the caller to return.
bool refuse(const QString& why) {
    std::fprintf(stderr, "tarnwick-board-sim: %s (see --help)\n", qPrintable(why));
    return false;
}

// TEXT, given to OPTION, as a number 0..max; refused when it is none.
std::optional<std::uint32_t> number_for(const QCommandLineOption& option, const QString& text,
                                        std::uint32_t max) {
    auto n = parse_number(text.toStdString(), max);
    if (!n) {
        refuse(QStringLiteral("--%1: '%2' is not a number 0..%3")
                   .arg(option.names().first(), text, QString::number(max)));
    }
    return n;
}

// A numeric option, when given, into its place. The last of a repeated
// option counts.
template <typename Store>
bool take_number(const QCommandLineParser& parser, const QCommandLineOption& option,
                 std::uint32_t max, Store store) {
    if (!parser.isSet(option)) return true;
    const auto n = number_for(option, parser.value(option), max);
    if (n) store(*n);
    return n.has_value();
}

bool take_numbers(const QCommandLineParser& parser, const CommandLine& line, Options& options) {
    using ms = milliseconds;
    return take_number(parser, line.relays, 0xFFFF,
                       [&](auto v) { options.relays = static_cast<std::uint16_t>(v); }) &&
           take_number(parser, line.answer_address, 0xFF,
                       [&](auto v) { options.answer_address = static_cast<std::uint8_t>(v); }) &&
           take_number(parser, line.extra, 4096, [&](auto v) { options.extra = v; }) &&
           take_number(parser, line.garbage, 4096, [&](auto v) { options.garbage = v; }) &&
           take_number(parser, line.split, 600000, [&](auto v) { options.split = ms(v); }) &&
           take_number(parser, line.garbage_after, 600000,
                       [&](auto v) { options.garbage_after = ms(v); }) &&
           take_number(parser, line.power_cut, 600000,
                       [&](auto v) { options.power_cut = ms(v); }) &&
           take_number(parser, line.seed, 0xFFFFFFFF,
                       [&](auto v) { options.seed = static_cast<std::uint32_t>(v); });
}

// Each item of a comma-separated list option, when given, as a number 0..max
// into `store`, which may refuse it (false).
template <typename Store>
bool take_list(const QCommandLineParser& parser, const QCommandLineOption& option,
               std::uint32_t max, Store store) {
    if (!parser.isSet(option)) return true;
    for (const QString& item : parser.value(option).split(u',')) {
        const auto n = number_for(option, item, max);
        if (!n || !store(item, *n)) return false;
    }
    return true;
}

bool take_addresses(const QCommandLineParser& parser, const QCommandLineOption& option,
                    Options& options) {
    if (parser.isSet(option)) options.addresses.clear();
    return take_list(parser, option, 0xFF, [&](const QString& item, std::uint32_t n) {
        const auto a = static_cast<std::uint8_t>(n);
        if (std::find(options.addresses.begin(), options.addresses.end(), a) !=
            options.addresses.end())
            return refuse("--address: " + item + " given twice");
        options.addresses.push_back(a);
        return true;
    });
}

// After the addresses: a list of delays must match them.
bool take_delays(const QCommandLineParser& parser, const QCommandLineOption& option,
                 Options& options) {
    if (!parser.isSet(option)) return true;
    options.delays.clear();
    if (!take_list(parser, option, 600000, [&](const QString&, std::uint32_t n) {
            options.delays.push_back(milliseconds(n));
            return true;
        }))
        return false;
    if (options.delays.size() != 1 && options.delays.size() != options.addresses.size())
        return refuse("--delay: give one delay, or one for each address");
    return true;
}

// The settings only a Modbus line has; refused for the native boards.
bool take_modbus(const QCommandLineParser& parser, const CommandLine& line, Options& options) {
    const QCommandLineOption* only_modbus[] = {&line.inputs, &line.input_bits, &line.baud,
                                               &line.parity, &line.stop_bits};
    if (options.protocol != tarnwick::sim::Protocol::modbus) {
        for (const auto* option : only_modbus)
            if (parser.isSet(*option))
                return refuse("--" + option->names().first() +
                              ": only with --protocol modbus (the native boards run at 9600 8N1)");
        return true;
    }
    for (const std::uint8_t a : options.addresses)
        if (a < tarnwick::protocol::modbus::first_unit || a > tarnwick::protocol::modbus::last_unit)
            return refuse(QStringLiteral("--address: Modbus unit ids are 1..247, not %1").arg(a));
    const QString parity = parser.value(line.parity);
    if (parser.isSet(line.parity) && parity != "none" && parity != "even" && parity != "odd")
        return refuse("--parity: '" + parity + "' is not none, even or odd");
    options.parity = parser.isSet(line.parity) && parity != "none";
    if (!take_number(parser, line.inputs, 16, [&](auto v) { options.inputs = int(v); }) ||
        !take_number(parser, line.input_bits, 0xFFFF,
                     [&](auto v) { options.input_bits = static_cast<std::uint16_t>(v); }) ||
        !take_number(parser, line.baud, 0xFFFFFFFF, [&](auto v) { options.baud = v; }) ||
        !take_number(parser, line.stop_bits, 0xFF, [&](auto v) { options.stop_bits = int(v); }))
        return false;
    if (options.baud < 1200 || options.baud > 115200)
        return refuse("--baud: the line runs at 1200..115200 baud");
    if (options.stop_bits < 1 || options.stop_bits > 2) return refuse("--stop-bits: 1 or 2");
    if ((options.input_bits >> options.inputs) != 0)
        return refuse("--input-bits: sets inputs past --inputs");
    return true;
}

bool take_protocol(const QCommandLineParser& parser, const CommandLine& line, Options& options) {
    if (!parser.isSet(line.protocol)) return true;
    const QString name = parser.value(line.protocol);
    if (name == "modbus")
        options.protocol = tarnwick::sim::Protocol::modbus;
    else if (name != "native")
        return refuse("--protocol: '" + name + "' is not native or modbus");
    return true;
}

// The parsed options into OPTIONS, checked; false when one is refused.
bool take_options(const QCommandLineParser& parser, const CommandLine& line, Options& options) {
    options.bad_checksum = parser.isSet(line.bad_checksum);
    options.silent = parser.isSet(line.silent);
    options.stuck = parser.isSet(line.stuck);
    options.report_frames = parser.isSet(line.report_frames);
    options.wire_time = parser.isSet(line.wire_time);
    if (parser.isSet(line.link)) {
        options.link = parser.value(line.link).toStdString();
        if (options.link.empty()) return refuse("--link needs a path");
    }
    return take_protocol(parser, line, options) && take_addresses(parser, line.address, options) &&
           take_numbers(parser, line, options) && take_delays(parser, line.delay, options) &&
           take_modbus(parser, line, options);
}

// Options only, no positional arguments.
bool parse(QCommandLineParser& parser, const QStringList& arguments) {
    if (!parser.parse(arguments)) return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse("unexpected argument " + parser.positionalArguments().first());
    return true;
}

// Reads the command line into options; prints the reason and returns nothing
// on bad usage.
std::optional<Options> parse_options(const QStringList& arguments, bool& help) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const CommandLine line;
    parser.addOptions(line.all());
    if (!parse(parser, arguments)) return std::nullopt;
    if (parser.isSet(line.help)) {
        help = true;
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Options{};
    }
    Options options;
    if (!take_options(parser, line, options)) return std::nullopt;
    return options;
}

// Signals only write their number here; the main loop polls the read end, so
// a signal arriving just before poll() still wakes it.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
    const int saved = errno;
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] auto ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool install_signal_handlers() {
    if (pipe(signal_pipe) != 0) return false;
    for (int fd : signal_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPWR})
        if (sigaction(sig, &action, nullptr) != 0) return false;
    // A reader of stdout that went away must not end the board.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// Applies every signal that has come in. False once one of them asks the
// board to stop. `cut`: SIGPWR came.
bool take_signals(Options& live, bool& cut) {
    char sigs[64];
    ssize_t n;
    while ((n = read(signal_pipe[0], sigs, sizeof sigs)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const int sig = sigs[i];
            if (sig == SIGUSR1) {
                live.bad_checksum = !live.bad_checksum;
                std::printf("bad-checksum %s\n", live.bad_checksum ? "on" : "off");
            } else if (sig == SIGUSR2) {
                live.silent = !live.silent;
                std::printf("silent %s\n", live.silent ? "on" : "off");
            } else if (sig == SIGPWR) {
                cut = true;
                std::printf("power cut\n");
            } else {
                return false;  // SIGINT, SIGTERM or SIGHUP
            }
            std::fflush(stdout);
        }
    }
    return true;
}

struct Terminal {
    int master = -1;
    int slave = -1;  // held open so the panel's close never hangs up the master
    std::string path;
    // Closes of the slave: a real adapter is reset on its last close, and
    // so is this one (see reset_after_last_close).
    int watch = -1;
};

// Raw, so the line carries the frame bytes untouched (no echo, no CR/LF
// translation, no 0x11/0x13 flow control eating relay numbers).
bool make_raw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::optional<Terminal> open_terminal() {
    Terminal t;
    t.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (t.master < 0 || grantpt(t.master) != 0 || unlockpt(t.master) != 0) return std::nullopt;
    const char* name = ptsname(t.master);
    if (name == nullptr) return std::nullopt;
    t.path = name;
    t.slave = open(t.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.slave < 0) return std::nullopt;

    if (!make_raw(t.slave)) return std::nullopt;

    fcntl(t.master, F_SETFD, FD_CLOEXEC);
    fcntl(t.master, F_SETFL, fcntl(t.master, F_GETFL) | O_NONBLOCK);
    t.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (t.watch < 0 ||
        inotify_add_watch(t.watch, t.path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        return std::nullopt;
    return t;
}

// Whether another process has the terminal open, as far as we may look
// (/proc/PID/fd of our own user's processes, or of all as root). inotify
// folds alike events together, so its opens and closes cannot be counted.
bool held_by_others(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const std::string self = std::to_string(getpid());
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename();
        if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", error)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd.path(), unreadable) == path) return true;
        }
    }
    return false;
}

// The terminal stays open on our side, so the kernel keeps what the last
// user left on it: a port that was killed holding TIOCEXCL would refuse
// every later open by anyone but root (EBUSY). When the last other user
// closes it, it is made as a freshly plugged adapter is: shared and raw.
void reset_after_last_close(const Terminal& t) {
    alignas(inotify_event) char buffer[4096];
    bool closed = false;
    while (read(t.watch, buffer, sizeof buffer) > 0) closed = true;
    // Only an exclusive terminal refuses anyone: the look through /proc is
    // for that case alone.
    int exclusive = 0;
    if (!closed || ioctl(t.slave, TIOCGEXCL, &exclusive) != 0 || !exclusive ||
        held_by_others(t.path))
        return;
    ioctl(t.slave, TIOCNXCL);
    make_raw(t.slave);
}

// PATH -> target, replacing whatever PATH was, in one rename.
bool make_link(const std::string& path, const std::string& target) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes PATH only while it still points at our terminal; another board may
// have taken the name over since.
void remove_link(const std::string& path, const std::string& target) {
    std::vector<char> buffer(target.size() + 2);
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n >= 0 && std::string_view(buffer.data(), static_cast<std::size_t>(n)) == target)
        unlink(path.c_str());
}

// One board keeps the line the harness has always read; with several, each
// line says whose relays it reports.
void report_relays(std::uint8_t address, std::uint16_t relays, bool several) {
    if (several)
        std::printf("address %u relays 0x%04x\n", address, relays);
    else
        std::printf("relays 0x%04x\n", relays);
    std::fflush(stdout);
}

// With the time it was read, in ms on the system's monotonic clock, which
// every process on the machine shares.
void report_frame(std::span<const std::uint8_t> frame, Clock::time_point read) {
    std::printf("frame");
    for (const std::uint8_t byte : frame) std::printf(" %02X", byte);
    std::printf(" at %.3f\n",
                std::chrono::duration<double, std::milli>(read.time_since_epoch()).count());
    std::fflush(stdout);
}

// How long one byte takes on the line: a start bit, 8 data bits, the parity
// bit if any and the stop bits; the native boards' line is 9600 8N1.
std::chrono::nanoseconds byte_time_of(const Options& options) {
    if (options.protocol == tarnwick::sim::Protocol::native) return std::chrono::microseconds(1042);
    const long bits = 1 + 8 + (options.parity ? 1 : 0) + options.stop_bits;
    return std::chrono::nanoseconds(bits * 1000000000L / long(options.baud));
}

// From reading a command to the first byte of its answer: the time the
// command's `heard` bytes took to arrive, then a native board answers 1 ms
// later; a Modbus board only once the line has been silent 3.5 characters,
// which marks the request's end (1.75 ms above 19200 baud, as the standard
// fixes it there).
Clock::duration answer_wait(const Options& options, std::size_t heard) {
    const auto byte_time = byte_time_of(options);
    if (options.protocol == tarnwick::sim::Protocol::native) return 8 * byte_time + milliseconds(1);
    const Clock::duration silence = options.baud > 19200
                                        ? Clock::duration(std::chrono::microseconds(1750))
                                        : Clock::duration(byte_time * 7 / 2);
    return static_cast<long>(heard) * byte_time + silence;
}

// Bytes waiting to go out on the line, strictly in order.
struct Chunk {
    Clock::time_point not_before;
    Clock::duration gap{0};  // least time after the previous chunk went out
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
};

// A host that stopped reading must not make the board grow without bound.
constexpr std::size_t max_queued_bytes = 64 * 1024;

class Line {
  public:
    Line(const Options& options, int master)
        : options_(options), master_(master), random_(options.seed) {}

    void answer(const tarnwick::sim::Answer& answer, Clock::time_point now) {
        const bool burst_first = options_.garbage > 0 && !options_.garbage_after;
        if (burst_first) push({now, milliseconds(0), random_bytes(options_.garbage)});
        // A broadcast is heard by all and answered by none.
        if (options_.silent || answer.bytes.empty()) {
            burst_after(now);
            return;
        }

        std::vector<std::uint8_t> bytes = faulty(answer.bytes);
        const auto extra = random_bytes(options_.extra);
        bytes.insert(bytes.end(), extra.begin(), extra.end());

        auto due = now + delay_of(answer.address);
        if (options_.wire_time) {
            const auto byte_time = byte_time_of(options_);
            due += answer_wait(options_, answer.heard);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                push({due + static_cast<long>(i) * byte_time,
                      i ? Clock::duration(byte_time) : Clock::duration(0),
                      {bytes[i]}});
            due += static_cast<long>(bytes.size()) * byte_time;
        } else if (options_.split.count() > 0) {
            push({due, milliseconds(0), {bytes.begin(), bytes.begin() + 3}});
            push({due + options_.split, options_.split, {bytes.begin() + 3, bytes.end()}});
        } else {
            push({due, milliseconds(0), std::move(bytes)});
        }
        burst_after(due);
    }

    // Writes every chunk that is due. Returns false when the terminal would
    // block, so the caller waits for POLLOUT.
    bool flush(Clock::time_point now) {
        while (!queue_.empty()) {
            Chunk& head = queue_.front();
            if (head.sent == 0 && now < due(head)) return true;
            const ssize_t n =
                write(master_, head.bytes.data() + head.sent, head.bytes.size() - head.sent);
            if (n == 0) return false;
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
                // EIO and friends: the line is gone for now; these bytes with it.
                drop_head(now);
                continue;
            }
            head.sent += static_cast<std::size_t>(n);
            if (head.sent == head.bytes.size()) drop_head(now);
        }
        return true;
    }

    // When the head chunk becomes due, if it is still waiting.
    [[nodiscard]] std::optional<Clock::time_point> next_due() const {
        if (queue_.empty() || queue_.front().sent > 0) return std::nullopt;
        return due(queue_.front());
    }

  private:
    // The answer with the faults asked for: another address, a wrong checksum.
    [[nodiscard]] std::vector<std::uint8_t> faulty(std::vector<std::uint8_t> bytes) const {
        const bool modbus = options_.protocol == tarnwick::sim::Protocol::modbus;
        if (options_.answer_address) {
            namespace mb = tarnwick::protocol::modbus;
            bytes[modbus ? 0 : 1] = *options_.answer_address;
            if (modbus) {
                const auto crc = mb::crc16(std::span(bytes).first(bytes.size() - 2));
                bytes[bytes.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
                bytes[bytes.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
            } else {
                tarnwick::protocol::Frame frame;
                std::copy_n(bytes.begin(), frame.size(), frame.begin());
                bytes[7] = tarnwick::protocol::checksum(frame);
            }
        }
        // The CRC goes low byte first: + 1 carries into the byte after.
        if (options_.bad_checksum && modbus && ++bytes[bytes.size() - 2] == 0)
            ++bytes[bytes.size() - 1];
        else if (options_.bad_checksum && !modbus)
            ++bytes[7];
        return bytes;
    }

    [[nodiscard]] milliseconds delay_of(std::uint8_t address) const {
        if (options_.delays.size() == 1) return options_.delays.front();
        const auto at = std::find(options_.addresses.begin(), options_.addresses.end(), address);
        return options_.delays[static_cast<std::size_t>(at - options_.addresses.begin())];
    }

    // The --garbage-after burst, that long after the last thing queued.
    void burst_after(Clock::time_point from) {
        if (options_.garbage == 0 || !options_.garbage_after) return;
        const milliseconds gap = *options_.garbage_after;
        push({from + gap, gap, random_bytes(options_.garbage)});
    }

    [[nodiscard]] Clock::time_point due(const Chunk& chunk) const {
        if (!last_sent_) return chunk.not_before;
        return std::max(chunk.not_before, *last_sent_ + chunk.gap);
    }

    void drop_head(Clock::time_point now) {
        queued_ -= queue_.front().bytes.size();
        queue_.pop_front();
        last_sent_ = now;
    }

    void push(Chunk chunk) {
        if (chunk.bytes.empty() || queued_ + chunk.bytes.size() > max_queued_bytes) return;
        queued_ += chunk.bytes.size();
        queue_.push_back(std::move(chunk));
    }

    std::vector<std::uint8_t> random_bytes(std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        // The top byte of each draw: mt19937's output is fixed by the standard,
        // so a seed repeats the same bytes everywhere.
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random_() >> 24);
        return bytes;
    }

    const Options& options_;
    int master_;
    std::mt19937 random_;
    std::deque<Chunk> queue_;
    std::size_t queued_ = 0;
    std::optional<Clock::time_point> last_sent_;
};

// ppoll()'s wait until a time point, to the microsecond (a byte at 9600 baud
// takes 1.04 ms); nothing to wait for ever.
std::optional<timespec> poll_timeout(std::optional<Clock::time_point> until,
                                     Clock::time_point now) {
    if (!until) return std::nullopt;
    const auto wait = std::min<Clock::duration>(std::max(*until - now, Clock::duration(0)),
                                                std::chrono::seconds(60));
    const auto us = std::chrono::ceil<std::chrono::microseconds>(wait).count();
    return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

std::vector<tarnwick::sim::Board> make_boards(const Options& options) {
    std::vector<tarnwick::sim::Board> boards;
    for (const std::uint8_t address : options.addresses) {
        boards.emplace_back(address, options.relays, options.stuck);
        if (options.protocol == tarnwick::sim::Protocol::modbus)
            boards.back().with_inputs(options.inputs, options.input_bits);
    }
    return boards;
}

// The boards on the terminal's master side, until a signal stops them.
class Server {
  public:
    Server(const Options& options, const Terminal& terminal)
        : options_(options),
          terminal_(terminal),
          bus_(make_boards(options), options.protocol),
          several_(options.addresses.size() > 1),
          live_(options),
          line_(live_, terminal.master) {}

    // 0 when a signal asks to stop, 1 when poll() fails.
    int run() {
        for (;;) {
            pollfd fds[3];
            if (wait(fds) < 0) {
                if (errno == EINTR) continue;
                std::perror("tarnwick-board-sim: poll");
                return 1;
            }
            // Looked at whatever poll() said: a signal sent before a command was
            // written has been handled by now, so the switch applies to that
            // command even when both woke the same poll().
            bool cut = false;
            if (!take_signals(live_, cut)) return 0;
            if (cut) cut_power();
            if (stale_from_ && Clock::now() >= *stale_from_) drop_stale();
            if (powered_from_ && Clock::now() >= *powered_from_) restore_power();

            if (fds[2].revents & POLLIN) reset_after_last_close(terminal_);
            if (fds[1].revents & POLLIN)
                read_master();
            else if (fds[1].revents & (POLLHUP | POLLERR))
                rest_master();
        }
    }

  private:
    // Sends what is due, then waits in ppoll() for the signals, the master
    // and the slave's closes, until the next thing falls due.
    int wait(pollfd (&fds)[3]) {
        const auto now = Clock::now();
        if (master_resting_until_ && now >= *master_resting_until_) master_resting_until_.reset();
        const bool master_ok = !master_resting_until_;
        const bool writable = !master_ok || line_.flush(now);

        std::optional<Clock::time_point> wake = master_resting_until_;
        if (master_ok && writable) wake = line_.next_due();
        if (powered_from_ && (!wake || *powered_from_ < *wake)) wake = powered_from_;
        if (stale_from_ && (!wake || *stale_from_ < *wake)) wake = stale_from_;

        fds[0] = {signal_pipe[0], POLLIN, 0};
        fds[1] = {master_ok ? terminal_.master : -1,
                  static_cast<short>(POLLIN | (writable ? 0 : POLLOUT)), 0};
        fds[2] = {terminal_.watch, POLLIN, 0};
        const auto timeout = poll_timeout(wake, now);
        return ppoll(fds, 3, timeout ? &*timeout : nullptr, nullptr);
    }

    void cut_power() {
        bus_.power_cut();
        for (const auto& board : bus_.boards())
            report_relays(board.address(), board.relays(), several_);
        powered_from_ = Clock::now() + options_.power_cut;
    }

    void restore_power() {
        powered_from_.reset();
        std::printf("power back\n");
        std::fflush(stdout);
    }

    void read_master() {
        std::uint8_t buffer[256];
        const ssize_t n = read(terminal_.master, buffer, sizeof buffer);
        if (n > 0) {
            // No power: the bytes go nowhere.
            if (!powered_from_) take_commands(std::span(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            rest_master();
        }
    }

    void take_commands(std::span<const std::uint8_t> bytes) {
        const auto now = Clock::now();
        std::vector<tarnwick::sim::Bytes> frames;
        const auto answers = bus_.feed(bytes, options_.report_frames ? &frames : nullptr);
        // Modbus frames end in silence: a head that claimed more bytes than
        // came is no request once the host has long stopped sending.
        stale_from_.reset();
        if (options_.protocol == tarnwick::sim::Protocol::modbus && bus_.pending())
            stale_from_ = now + stale_after;
        take_answers(frames, answers, now);
    }

    void drop_stale() {
        stale_from_.reset();
        const auto now = Clock::now();
        std::vector<tarnwick::sim::Bytes> frames;
        const auto answers = bus_.drop_pending(options_.report_frames ? &frames : nullptr);
        take_answers(frames, answers, now);
    }

    void take_answers(const std::vector<tarnwick::sim::Bytes>& frames,
                      const std::vector<tarnwick::sim::Answer>& answers, Clock::time_point now) {
        for (const auto& frame : frames) report_frame(frame, now);
        for (const auto& answer : answers) {
            if (answer.changed) report_relays(answer.address, answer.relays, several_);
            line_.answer(answer, now);
        }
    }

    // After a hang-up or EIO the master is left out of poll() for a moment
    // instead of reporting the same condition in a tight loop.
    void rest_master() { master_resting_until_ = Clock::now() + master_rest; }

    static constexpr milliseconds master_rest{50};
    // Far longer than the 1.5 characters a host may pause within a frame,
    // even at 1200 baud.
    static constexpr milliseconds stale_after{100};
    const Options& options_;
    const Terminal& terminal_;
    tarnwick::sim::Bus bus_;
    const bool several_;
    Options live_;  // the signals switch faults in this copy
    Line line_;
    std::optional<Clock::time_point> master_resting_until_;
    std::optional<Clock::time_point> powered_from_;  // the power is cut until then
    std::optional<Clock::time_point> stale_from_;    // the bytes pending are no request then
};

int serve(const Options& options, const Terminal& terminal) {
    Server server(options, terminal);
    return server.run();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // never run: the loop below is poll()
    bool help = false;
    const auto options = parse_options(QCoreApplication::arguments(), help);
    if (help) return 0;
    if (!options) return 2;

    if (!install_signal_handlers()) {
        std::perror("tarnwick-board-sim: signals");
        return 1;
    }
    auto terminal = open_terminal();
    if (!terminal) {
        std::perror("tarnwick-board-sim: pseudo-terminal");
        return 1;
    }
    if (!options->link.empty() && !make_link(options->link, terminal->path)) {
        std::fprintf(stderr, "tarnwick-board-sim: cannot link %s: %s\n", options->link.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::printf("%s\n", terminal->path.c_str());
    for (const std::uint8_t address : options->addresses)
        report_relays(address, options->relays, options->addresses.size() > 1);

    const int status = serve(*options, *terminal);

    if (!options->link.empty()) remove_link(options->link, terminal->path);
    close(terminal->watch);
    close(terminal->slave);
    close(terminal->master);
    return status;
}
