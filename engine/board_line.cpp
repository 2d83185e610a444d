#include "engine/board_line.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "protocol/modbus.h"

namespace tarnwick::link {

namespace {
// Answers that answer no frame are told at most this often.
constexpr qint64 unclaimed_quiet_ms = 60000;
// A pulse's OFF that a board did not take is sent again this long after.
constexpr std::chrono::milliseconds pulse_retry{1000};
constexpr std::uint16_t every_relay = 0xffff;

std::uint16_t bit(int relay) {
    return static_cast<std::uint16_t>(1U << (relay - 1));
}

QString relay_list(std::uint16_t relays) {
    QStringList numbers;
    for (int relay = 1; relay <= 16; ++relay)
        if (relays & bit(relay)) numbers << QString::number(relay);
    return numbers.join(QStringLiteral(", "));
}
}  // namespace

BoardLine::BoardLine(SerialPort& port, LinkMessages& messages, std::vector<std::uint8_t> boards,
                     Pace pace, QObject* parent)
    : QObject(parent),
      wire_(port, messages, answer_patience),
      pace_(pace),
      addresses_(std::move(boards)) {
    for (const std::uint8_t address : addresses_) {
        Board board;
        board.address = address;
        boards_.push_back(std::move(board));
    }
    turn_.setSingleShot(true);
    turn_.setTimerType(Qt::PreciseTimer);
    connect(&turn_, &QTimer::timeout, this, &BoardLine::turn);
    connect(&wire_, &Wire::frame_sent, this, &BoardLine::on_frame_sent);
    connect(&wire_, &Wire::answer_accepted, this, &BoardLine::on_accepted);
    connect(&wire_, &Wire::answer_refused, this, &BoardLine::on_refused);
    connect(&wire_, &Wire::opened, this, [this] { on_port_state(true); });
    connect(&wire_, &Wire::closed, this, [this] { on_port_state(false); });
}

BoardLine::~BoardLine() {
    wire_.stop_reconnecting();
}

void BoardLine::use_line(const protocol::LineSettings& settings) {
    wire_.use_line(settings);
    silence_ms_ = protocol::silence_ms(settings);
    for (const Board& b : boards_) take_patterns(b);
}

// Modbus writes all 16 coils in one frame as they are wanted. Not for a board
// with rules: a pulse or an interlocked group needs its relays one by one.
void BoardLine::take_patterns(const Board& board) {
    wanted_.take_patterns(board.address, line_settings().protocol == protocol::Protocol::modbus &&
                                             board.rules == BoardRules{});
}

bool BoardLine::open(const PortDevice& device, int port_number, const PortChoices* choices) {
    wire_.use_port_choices(choices);
    return wire_.open(device, port_number);
}

void BoardLine::start() {
    started_ = true;
    if (wire_.is_open() && !turn_due_in_ms_) schedule_turn(0);
}

void BoardLine::schedule_turn(int ms) {
    turn_due_in_ms_ = ms;
    if (!by_hand_) turn_.start(ms);
}

void BoardLine::stop() {
    started_ = false;
    turn_.stop();
    turn_due_in_ms_.reset();
    wire_.stop_reconnecting();
    for (Board& b : boards_)
        if (b.online) go_offline(b, QStringLiteral("the line stopped"));
    wanted_.clear();
}

void BoardLine::set_rules(std::uint8_t address, BoardRules rules) {
    if (Board* b = find(address)) {
        b->rules = std::move(rules);
        take_patterns(*b);
    }
}

const BoardRules& BoardLine::rules(std::uint8_t address) const {
    static const BoardRules none;
    const Board* b = find(address);
    return b ? b->rules : none;
}

void BoardLine::restore_deadline(std::uint8_t address, int relay, WallClock::time_point at) {
    if (serves(address)) deadlines_[key(address, relay)] = Deadline{at, false, {}};
}

void BoardLine::restore_last(std::uint8_t address, std::uint16_t relays) {
    if (Board* b = find(address)) b->last = relays;
}

std::uint16_t BoardLine::pending(std::uint8_t address) const {
    return static_cast<std::uint16_t>(wanted_.pending(address) | interlock_.waiting(address));
}

bool BoardLine::serves(std::uint8_t address) const {
    return find(address) != nullptr;
}

bool BoardLine::online(std::uint8_t address) const {
    const Board* b = find(address);
    return b && b->online;
}

std::optional<std::uint16_t> BoardLine::relays(std::uint8_t address) const {
    const Board* b = find(address);
    if (!b || !b->online) return std::nullopt;
    return b->relays;
}

std::optional<std::uint16_t> BoardLine::inputs(std::uint8_t address) const {
    const Board* b = find(address);
    if (!b || !b->online) return std::nullopt;
    return b->inputs;
}

std::optional<std::chrono::system_clock::time_point> BoardLine::answered_at(
    std::uint8_t address) const {
    const Board* b = find(address);
    if (!b || !b->online) return std::nullopt;
    return b->answered;
}

BoardLine::Board* BoardLine::find(std::uint8_t address) {
    const auto found = std::find_if(boards_.begin(), boards_.end(),
                                    [address](const Board& b) { return b.address == address; });
    return found == boards_.end() ? nullptr : &*found;
}
const BoardLine::Board* BoardLine::find(std::uint8_t address) const {
    return const_cast<BoardLine*>(this)->find(address);
}

void BoardLine::want(std::uint8_t address, int relay, bool on, const Origin& origin) {
    const Board* b = find(address);
    want_relay(address, relay, on, origin, on && b ? b->rules.pulse[relay - 1] : std::nullopt);
    hurry();
}

// At the tick's pace too, a command, the query that confirms it and a
// pulse's OFF need not wait for the next tick: they go out as soon as the
// line is free (the last frame answered, the silence after it kept), and so
// does the poll a command waits for. Without commands polling keeps its pace.
bool BoardLine::worth_hurrying() const {
    return confirm_next_ || !urgent_.empty() || wanted_.size() > 0;
}

void BoardLine::hurry() {
    if (pace_ != Pace::tick || !started_ || !turn_due_in_ms_ || !last_answered_.isValid() ||
        !worth_hurrying())
        return;
    const qint64 silent = last_answered_.elapsed();
    schedule_turn(static_cast<int>(std::max<qint64>(0, silence_ms_ - silent)));
}

// `length`: an ON that ends by itself after this long.
void BoardLine::want_relay(std::uint8_t address, int relay, bool on, const Origin& origin,
                           std::optional<std::chrono::milliseconds> length) {
    Board* b = find(address);
    if (!wire_.is_open() || !b) return;
    // The latest wins: an ON still waiting for its group's release is
    // dropped by a later switch of the same relay.
    interlock_.drop(address, bit(relay));
    std::erase_if(urgent_, [&](const auto& u) { return u == std::pair(address, relay); });
    origins_[key(address, relay)] = origin;
    pulse_starts_.erase(key(address, relay));
    if (on && length) {
        // Already on: no frame is needed, and the time starts now, before a
        // pulse running meanwhile could end.
        const std::optional<std::uint16_t> shown = wanted_.shown(address);
        if (shown && (*shown & bit(relay)))
            start_pulse(address, relay, *length);
        else
            pulse_starts_[key(address, relay)] = *length;
    }
    if (on && b->rules.partners(relay)) return want_on(*b, relay, origin);
    wanted_.want(address, relay, on);
}

void BoardLine::start_pulse(std::uint8_t address, int relay, std::chrono::milliseconds length) {
    const int k = key(address, relay);
    deadlines_[k] = Deadline{WallClock::now() + length, false, {}};
    emit deadline_changed(address, relay, deadlines_[k].at);
}

bool BoardLine::want_all(std::uint8_t address, bool on, const Origin& origin) {
    Board* b = find(address);
    if (!wire_.is_open() || !b) return true;
    if (on && !b->rules.groups.empty()) return false;
    interlock_.drop(address);
    std::erase_if(urgent_, [&](const auto& u) { return u.first == address; });
    for (int relay = 1; relay <= 16; ++relay) {
        origins_[key(address, relay)] = origin;
        if (on && b->rules.pulse[relay - 1])
            pulse_starts_[key(address, relay)] = *b->rules.pulse[relay - 1];
        else
            pulse_starts_.erase(key(address, relay));
    }
    wanted_.want_all(address, on);
    hurry();
    return true;
}

void BoardLine::pulse(std::uint8_t address, int relay, std::chrono::milliseconds length,
                      const Origin& origin) {
    want_relay(address, relay, true, origin, length);
    hurry();
}

// Others of the groups that are on, or may be (nothing known of them), are
// released first; the ON waits for that in the interlock.
void BoardLine::want_on(Board& b, int relay, const Origin& origin) {
    const std::uint16_t partners = b.rules.partners(relay);
    fail_waits(b.address, partners, QStringLiteral("a later switch in its group came first"));
    for (int other = 1; other <= 16; ++other)
        if (partners & bit(other)) wanted_.drop(b.address, other);
    const std::uint16_t release =
        Interlock::to_release(b.rules, relay, wanted_.shown(b.address).value_or(every_relay));
    if (release == 0) {
        wanted_.want(b.address, relay, true);
        return;
    }
    for (int other = 1; other <= 16; ++other) {
        if (!(release & bit(other))) continue;
        origins_[key(b.address, other)] = Origin{Origin::Source::interlock, {}};
        wanted_.want(b.address, other, false);
    }
    wanted_.drop(b.address, relay);
    interlock_.start({.address = b.address,
                      .relay = relay,
                      .release = release,
                      .settle = b.rules.interlock_wait,
                      .origin = origin,
                      .started = SteadyClock::now(),
                      .released = std::nullopt,
                      .after = next_frame_ - 1});  // the last frame out
}

void BoardLine::fail_waits(std::uint8_t address, std::uint16_t relays, const QString& why) {
    for (const Interlock::Wait& w : interlock_.drop(address, relays))
        emit interlock_failed(w.address, w.relay, why);
}

// Released and waited: the ON is wanted. Not released in time: dropped.
void BoardLine::advance_waits(SteadyClock::time_point now) {
    const Interlock::Due due = interlock_.advance(now);
    for (const Interlock::Wait& w : due.on) {
        origins_[key(w.address, w.relay)] = w.origin;
        wanted_.want(w.address, w.relay, true);
    }
    for (const Interlock::Wait& w : due.late)
        emit interlock_failed(w.address, w.relay,
                              QString("relay(s) %1 not seen released within 1 s; relay %2 left off")
                                  .arg(relay_list(w.release))
                                  .arg(w.relay));
}

// A due pulse's OFF goes out ahead of anything else; once more a second
// later when the board still shows the relay on.
void BoardLine::expire_deadlines() {
    const auto wall = WallClock::now();
    const auto now = SteadyClock::now();
    for (auto& [k, deadline] : deadlines_) {
        const auto address = protocol::key_address(k);
        const int relay = protocol::key_relay(k);
        if (!online(address) || deadline.at > wall) continue;
        if (deadline.off_sent && now < deadline.retry) continue;
        deadline.off_sent = true;
        deadline.retry = now + pulse_retry;
        if (std::find(urgent_.begin(), urgent_.end(), std::pair(address, relay)) == urgent_.end())
            urgent_.emplace_back(address, relay);
        origins_[k] = Origin{Origin::Source::pulse, {}};
        wanted_.drop(address, relay);
        pulse_starts_.erase(k);
    }
}

std::optional<std::pair<std::uint8_t, int>> BoardLine::next_off() {
    while (!urgent_.empty()) {
        const auto [address, relay] = urgent_.front();
        const std::optional<std::uint16_t> shown = wanted_.shown(address);
        if (!shown || (*shown & bit(relay))) return urgent_.front();
        urgent_.erase(urgent_.begin());  // off already
    }
    return std::nullopt;
}

// The frame is decided at its turn, so a switch wanted a moment before goes
// out in it.
void BoardLine::turn() {
    turn_due_in_ms_.reset();
    if (!started_ || !wire_.is_open()) return;  // the device is gone; the wire reopens it
    emit turned();
    advance_waits(SteadyClock::now());
    expire_deadlines();
    const auto off = next_off();
    if (const auto poll = std::exchange(inputs_next_, std::nullopt); poll && !off) {
        const auto count = static_cast<std::uint8_t>(line_settings().inputs);
        send_turn(*poll, {protocol::cmd_read_inputs, count, 0x00});
        return;
    }
    const std::optional<std::uint8_t> target = wanted_.next_board();
    const Board* overdue = target ? poll_first(*target) : nullptr;
    // A want the board shows already is dropped when taken: a command turn
    // that finds nothing to send polls.
    const TurnSituation situation{off.has_value(), confirm_next_.has_value(), overdue != nullptr,
                                  wanted_.size() > 0};
    switch (decide_turn(situation)) {
        case TurnKind::off:
            urgent_.erase(urgent_.begin());
            return off_turn(off->first, off->second);
        case TurnKind::confirm:
            send_turn(*std::exchange(confirm_next_, std::nullopt),
                      {protocol::cmd_query, 0x00, 0x00});
            return;
        case TurnKind::command:
            if (command_turn()) return;
            break;
        case TurnKind::poll:
            break;
    }
    send_turn((overdue ? *overdue : asked_longest_ago()).address,
              {protocol::cmd_query, 0x00, 0x00});
}

void BoardLine::off_turn(std::uint8_t address, int relay) {
    const WantedStates::Want want{address, relay, false, {}};
    wanted_.sent(address);
    confirm_next_ = address;
    emit command_sent(address, want, origins_[key(address, relay)]);
    releasing(address, want, send_turn(address, want.command()));
}

// Polls go round the boards, the one asked longest ago first; without
// commands that is plain round robin.
const BoardLine::Board& BoardLine::asked_longest_ago() const {
    return *std::min_element(boards_.begin(), boards_.end(),
                             [](const Board& a, const Board& b) { return a.queried < b.queried; });
}

// The most frames a board may go unasked (by a poll or a confirming query)
// while switches go out: a round of them over every board, a command and its
// query each, needs no polls, and no board waits longer than the others did
// when one board was switched over and over and every third frame polled.
std::int64_t BoardLine::longest_unasked() const {
    const auto n = static_cast<std::int64_t>(boards_.size());
    return std::max(2 * n, 3 * (n - 1));
}

// A line that opens counts its boards as asked one after the other just
// before, in their order: polls start with the first, and no two boards
// fall due in the same turn.
void BoardLine::start_round() {
    const auto n = static_cast<std::int64_t>(boards_.size());
    for (std::int64_t i = 0; i < n; ++i)
        boards_[static_cast<std::size_t>(i)].queried =
            static_cast<std::int64_t>(next_frame_) - n + i;
}

// The board to poll before a command to `target` goes out: one that its
// command and confirming query would leave unasked too long (the oldest, if
// several).
const BoardLine::Board* BoardLine::poll_first(std::uint8_t target) const {
    const Board* first = nullptr;
    for (const Board& b : boards_) {
        const auto asked_next =
            static_cast<std::int64_t>(next_frame_) + (b.address == target ? 1 : 2);
        if (asked_next - b.queried > longest_unasked() && (!first || b.queried < first->queried))
            first = &b;
    }
    return first;
}

std::uint64_t BoardLine::send_turn(std::uint8_t address, const protocol::Command& command) {
    const std::uint64_t number = wire_.send(protocol::encode_command(address, command));
    if (number) {
        next_frame_ = number + 1;
        // A read of the inputs asks the board too: it must not make the board
        // look unasked and hold a command back for yet another poll.
        Board* b = find(address);
        if (b && (command.code == protocol::cmd_query || command.code == protocol::cmd_read_inputs))
            b->queried = static_cast<std::int64_t>(number);
        else if (b)
            b->commanded = number;
    }
    schedule_turn(tick_ms);
    return number;
}

bool BoardLine::command_turn() {
    const std::optional<WantedStates::Want> want = wanted_.take();
    if (want)
        if (const Board* b = find(want->address)) pulse_sent(*b, *want);
    start_shown_pulses();  // take() drops what the boards show already
    if (!want) return false;
    confirm_next_ = want->address;
    emit command_sent(want->address, *want,
                      origins_[key(want->address, want->relay == 0 ? 1 : want->relay)]);
    releasing(want->address, *want, send_turn(want->address, want->command()));
    return true;
}

// Only a query after this OFF shows what it did.
void BoardLine::releasing(std::uint8_t address, const WantedStates::Want& want,
                          std::uint64_t frame) {
    if (want.pattern)
        interlock_.release_sent(address, static_cast<std::uint16_t>(~*want.pattern), frame);
    else if (!want.on)
        interlock_.release_sent(address, want.relay == 0 ? every_relay : bit(want.relay), frame);
}

// Before the command goes out: an ON of a pulsed relay sets its deadline,
// an OFF ends it.
void BoardLine::pulse_sent(const Board& b, const WantedStates::Want& want) {
    for (int relay = 1; relay <= 16; ++relay) {
        if (want.relay != 0 && want.relay != relay) continue;
        const int k = key(b.address, relay);
        std::optional<std::chrono::milliseconds> length = b.rules.pulse[relay - 1];
        if (const auto start = pulse_starts_.find(k); start != pulse_starts_.end()) {
            length = start->second;
            pulse_starts_.erase(start);
        }
        if (want.on_for(relay) && length) {
            start_pulse(b.address, relay, *length);
        } else if (!want.on_for(relay) && deadlines_.erase(k)) {
            emit deadline_changed(b.address, relay, std::nullopt);
        }
    }
}

// An ON of a pulsed relay the board already shows on needs no frame, and
// starts its time all the same: now.
void BoardLine::start_shown_pulses() {
    for (auto start = pulse_starts_.begin(); start != pulse_starts_.end();) {
        const auto address = protocol::key_address(start->first);
        const int relay = protocol::key_relay(start->first);
        if (pending(address) & bit(relay)) {
            ++start;
            continue;
        }
        const Board* b = find(address);
        if (b && b->online && (b->relays & bit(relay))) start_pulse(address, relay, start->second);
        start = pulse_starts_.erase(start);
    }
}

void BoardLine::on_frame_sent(const protocol::Frame& frame) {
    last_sent_ = frame;
    last_answered_.invalidate();
    const std::uint8_t address = frame[1];
    liveness_.polled(address);
    emit frame_sent(frame);
    Board* b = find(address);
    if (b && b->online && !liveness_.live(address))
        go_offline(*b, QString("no valid answer to %1 polls in a row")
                           .arg(BoardLiveness::polls_without_answer));
}

// `sent` is the frame the answer answers and carries its address; a late
// answer to an older frame does not hurry the next one.
void BoardLine::on_accepted(const protocol::Frame& status,
                            const std::optional<protocol::Frame>& sent) {
    if (sent)
        on_answer(*sent, status);
    else
        on_unclaimed(status);
}

void BoardLine::on_answer(const protocol::Frame& sent, const protocol::Frame& status) {
    const std::uint8_t address = sent[1];
    const std::uint64_t frame_number = wire_.last_answered_number();
    Board* b = find(address);
    if (!b) return;
    liveness_.answered(address);
    if (sent == last_sent_) {
        last_answered_.start();
        if (turn_due_in_ms_ && (pace_ == Pace::answer || worth_hurrying()))
            schedule_turn(silence_ms_);
    }
    if (sent[2] == protocol::cmd_read_inputs) return on_inputs(*b, protocol::relay_pattern(status));
    const int inputs = line_settings().inputs;
    if (sent[2] == protocol::cmd_query && inputs > 0) inputs_next_ = address;
    const std::uint16_t relays = protocol::relay_pattern(status);
    // An answer to the command itself may show the relays from before it,
    // and so may a late answer to a query sent before it: only a query after
    // the board's last command tells what the wanted states have done.
    const bool to_query = sent[2] == protocol::cmd_query && frame_number > b->commanded;
    if (to_query) wanted_.board_status(address, relays);
    const std::optional<std::uint16_t> before =
        b->online ? std::optional<std::uint16_t>(b->relays) : std::nullopt;
    b->relays = relays;
    b->answered = WallClock::now();
    const bool came_online = !b->online;
    if (came_online) {
        b->online = true;
        emit board_online_changed(address, true, QStringLiteral("answers"));
    }
    // Power-up's switches are done once none waits: what this answer shows
    // is kept for the next power-up.
    if (to_query && b->restoring && !wanted_.pending(address)) b->restoring = false;
    if (before && to_query && !b->restoring && b->last != relays) {
        b->last = relays;
        emit relays_confirmed(address, relays);
    }
    if (to_query) start_shown_pulses();
    if (before != relays) emit relays_changed(address, before, relays);
    emit board_answered(address, relays, to_query);
    answered_rules(*b, relays, to_query ? frame_number : 0, came_online);
}

// `query`: the number of the query frame answered; 0 for a command's answer.
void BoardLine::answered_rules(Board& b, std::uint16_t relays, std::uint64_t query,
                               bool came_online) {
    for (const std::uint16_t group : b.rules.groups) {
        const std::uint16_t on = relays & group;
        if (std::popcount(on) < 2) {
            b.broken &= static_cast<std::uint16_t>(~group);
            continue;
        }
        if (b.broken & group) continue;
        b.broken |= group;
        fail_waits(b.address, group, QStringLiteral("its group was found with two relays on"));
        for (int relay = 1; relay <= 16; ++relay) {
            if (!(group & bit(relay))) continue;
            wanted_.drop(b.address, relay);
            origins_[key(b.address, relay)] = Origin{Origin::Source::interlock, {}};
            if (on & bit(relay)) urgent_.emplace_back(b.address, relay);
        }
        emit interlock_broken(b.address, on);
    }
    if (came_online) power_on(b);
    if (query == 0) return;
    interlock_.answered(b.address, relays, query, wanted_.pending(b.address), SteadyClock::now());
    for (int relay = 1; relay <= 16; ++relay) {
        const int k = key(b.address, relay);
        const auto deadline = deadlines_.find(k);
        const bool is_on = relays & bit(relay);
        if (deadline != deadlines_.end() && deadline->second.off_sent && !is_on) {
            deadlines_.erase(deadline);
            emit deadline_changed(b.address, relay, std::nullopt);
        } else if (deadline == deadlines_.end() && is_on && b.rules.pulse[relay - 1] &&
                   !(wanted_.pending(b.address) & bit(relay))) {
            // On with no deadline: switched by something else.
            start_pulse(b.address, relay, *b.rules.pulse[relay - 1]);
        }
    }
}

// The relays as the rules want them when a board starts answering; those
// already so get no frame (the wanted states drop what the board shows).
void BoardLine::power_on(Board& b) {
    const Origin origin{Origin::Source::power_on, {}};
    b.restoring = std::any_of(b.rules.power_on.begin(), b.rules.power_on.end(),
                              [](PowerOn mode) { return mode != PowerOn::keep; });
    for (int relay = 1; relay <= 16; ++relay) {
        const PowerOn mode = b.rules.power_on[relay - 1];
        if (mode == PowerOn::off) want(b.address, relay, false, origin);
        if (mode == PowerOn::on) want(b.address, relay, true, origin);
        if (mode == PowerOn::last && b.last) want(b.address, relay, *b.last & bit(relay), origin);
    }
}

void BoardLine::on_unclaimed(const protocol::Frame& status) {
    if (unclaimed_told_.isValid() && unclaimed_told_.elapsed() < unclaimed_quiet_ms) return;
    unclaimed_told_.start();
    emit unclaimed_answers(status[1], wire_.counters().since_open.answers_other_address);
}

// Inputs count only from a board that is online: its relays are known too.
void BoardLine::on_inputs(Board& b, std::uint16_t inputs) {
    const int count = line_settings().inputs;
    inputs &= static_cast<std::uint16_t>(count >= 16 ? 0xFFFF : (1U << count) - 1U);
    if (!b.online) return;
    const std::optional<std::uint16_t> before = std::exchange(b.inputs, inputs);
    if (before != inputs) emit inputs_changed(b.address, before, inputs);
}

void BoardLine::on_refused(const protocol::Frame& sent, std::uint8_t function,
                           std::uint8_t exception) {
    const std::uint8_t address = sent[1];
    if (!find(address)) return;
    liveness_.answered(address);
    if (sent == last_sent_) {
        last_answered_.start();
        if (turn_due_in_ms_) schedule_turn(silence_ms_);
    }
    emit request_refused(address, QString::fromStdString(protocol::modbus::refusal_text(
                                      address, function, exception)));
}

void BoardLine::go_offline(Board& b, const QString& why) {
    b.online = false;
    b.relays = 0;
    b.inputs.reset();
    wanted_.board_unknown(b.address);
    wanted_.forget(b.address);
    std::erase_if(urgent_, [&](const auto& u) { return u.first == b.address; });
    fail_waits(b.address, every_relay, QStringLiteral("the board went offline"));
    emit board_online_changed(b.address, false, why);
}

// The wire closes the port when its device goes away and reopens it when it
// is back; nothing wanted before the loss is sent after it.
void BoardLine::on_port_state(bool is_open) {
    if (is_open) {
        start_round();
        if (started_) schedule_turn(0);
        emit port_state_changed(true);
        return;
    }
    turn_.stop();
    turn_due_in_ms_.reset();
    wanted_.clear();
    for (Board& b : boards_)
        if (b.online) go_offline(b, wire_.device() + " went away");
    urgent_.clear();
    liveness_ = {};
    confirm_next_.reset();
    inputs_next_.reset();
    emit port_state_changed(false);
}

}  // namespace tarnwick::link
