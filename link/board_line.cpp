#include "link/board_line.h"

#include <algorithm>
#include <utility>

namespace tarnwick::link {

namespace {
// Answers that answer no frame are told at most this often.
constexpr qint64 unclaimed_quiet_ms = 60000;
}  // namespace

BoardLine::BoardLine(SerialPort& port, LinkMessages& messages, std::vector<std::uint8_t> boards,
                     Pace pace, QObject* parent)
    : QObject(parent),
      link_(port, panel_, messages, LinkController::Ticks::manual),
      pace_(pace),
      addresses_(std::move(boards)) {
    // Two boards' answers may come back to back: each is judged as it comes.
    link_.judge_every_waiting_answer(true);
    for (const std::uint8_t address : addresses_) boards_.push_back(Board{address, false, 0});
    turn_.setSingleShot(true);
    turn_.setTimerType(Qt::PreciseTimer);
    connect(&turn_, &QTimer::timeout, this, &BoardLine::turn);
    connect(&link_, &LinkController::frame_sent, this, &BoardLine::on_frame_sent);
    connect(&link_, &LinkController::status_answered, this, &BoardLine::on_answer);
    connect(&link_, &LinkController::answer_unclaimed, this, &BoardLine::on_unclaimed);
    connect(&link_, &LinkController::port_state_changed, this, &BoardLine::on_port_state);
}

BoardLine::~BoardLine() {
    link_.shutdown();
}

bool BoardLine::open(const PortDevice& device, int port_number, const PortChoices* choices) {
    link_.use_port_choices(choices);
    return link_.open_device(device, port_number);
}

void BoardLine::start() {
    started_ = true;
    if (link_.port_open() && !turn_.isActive()) turn_.start(0);
}

void BoardLine::stop() {
    started_ = false;
    turn_.stop();
    link_.shutdown();
    for (Board& b : boards_)
        if (b.online) go_offline(b, QStringLiteral("the line stopped"));
    wanted_.clear();
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

BoardLine::Board* BoardLine::find(std::uint8_t address) {
    const auto found = std::find_if(boards_.begin(), boards_.end(),
                                    [address](const Board& b) { return b.address == address; });
    return found == boards_.end() ? nullptr : &*found;
}
const BoardLine::Board* BoardLine::find(std::uint8_t address) const {
    return const_cast<BoardLine*>(this)->find(address);
}

void BoardLine::want(std::uint8_t address, int relay, bool on) {
    if (!link_.port_open() || !serves(address)) return;
    wanted_.want(address, relay, on);
}

void BoardLine::want_all(std::uint8_t address, bool on) {
    if (!link_.port_open() || !serves(address)) return;
    wanted_.want_all(address, on);
}

// The frame is decided at its turn, so a switch wanted a moment before goes
// out in it.
void BoardLine::turn() {
    if (!started_ || !link_.timer_enabled()) return;  // the device is gone; the link reopens it
    emit turned();
    if (confirm_next_) {
        panel_.set_address(*confirm_next_);
        confirmed_ = std::exchange(confirm_next_, std::nullopt);
        return send_turn();
    }
    if (polled_in_turn_ && command_turn()) {
        polled_in_turn_ = false;
        return send_turn();
    }
    // The board just asked to confirm its command need not be asked again
    // at once: the next one is.
    if (boards_.size() > 1 && confirmed_ == boards_[next_poll_].address)
        next_poll_ = (next_poll_ + 1) % boards_.size();
    confirmed_.reset();
    panel_.set_address(boards_[next_poll_].address);
    next_poll_ = (next_poll_ + 1) % boards_.size();
    polled_in_turn_ = true;
    send_turn();
}

void BoardLine::send_turn() {
    link_.tick_now();
    turn_.start(LinkController::tick_ms);
}

bool BoardLine::command_turn() {
    const std::optional<WantedStates::Want> want = wanted_.take();
    if (!want) return false;
    panel_.set_address(want->address);
    link_.set_command(want->command());
    confirm_next_ = want->address;
    emit command_sent(want->address, *want);
    return true;
}

void BoardLine::on_frame_sent(const protocol::Frame& frame) {
    last_sent_ = frame;
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
void BoardLine::on_answer(const protocol::Frame& sent, const protocol::Frame& status) {
    const std::uint8_t address = sent[1];
    Board* b = find(address);
    if (!b) return;
    liveness_.answered(address);
    if (pace_ == Pace::answer && sent == last_sent_ && turn_.isActive())
        turn_.start(answer_silence_ms);
    const std::uint16_t relays = protocol::relay_pattern(status);
    const bool to_query = sent[2] == protocol::cmd_query;
    // An answer to the command itself may show the relays from before it:
    // only a query after it tells what the wanted states have done.
    if (to_query) wanted_.board_status(address, relays);
    const std::optional<std::uint16_t> before =
        b->online ? std::optional<std::uint16_t>(b->relays) : std::nullopt;
    b->relays = relays;
    if (!b->online) {
        b->online = true;
        emit board_online_changed(address, true, QStringLiteral("answers"));
    }
    if (before != relays) emit relays_changed(address, before, relays);
    emit board_answered(address, relays, to_query);
}

void BoardLine::on_unclaimed(const protocol::Frame& status) {
    if (unclaimed_told_.isValid() && unclaimed_told_.elapsed() < unclaimed_quiet_ms) return;
    unclaimed_told_.start();
    emit unclaimed_answers(status[1], link_.counters().since_open.answers_other_address);
}

void BoardLine::go_offline(Board& b, const QString& why) {
    b.online = false;
    b.relays = 0;
    wanted_.board_unknown(b.address);
    wanted_.forget(b.address);
    emit board_online_changed(b.address, false, why);
}

// The link closes the port when its device goes away and reopens it when it
// is back; nothing wanted before the loss is sent after it.
void BoardLine::on_port_state(bool is_open) {
    if (is_open) {
        if (started_) turn_.start(0);
        emit port_state_changed(true);
        return;
    }
    turn_.stop();
    wanted_.clear();
    for (Board& b : boards_)
        if (b.online) go_offline(b, link_.open_device() + " went away");
    liveness_ = {};
    polled_in_turn_ = true;
    confirm_next_.reset();
    confirmed_.reset();
    emit port_state_changed(false);
}

}  // namespace tarnwick::link
