#include "service/line.h"

#include <algorithm>
#include <string>

#include "service/journal.h"

namespace tarnwick::service {

namespace {

constexpr std::uint16_t all_relays = 0xffff;
// A device not there is looked for again this often.
constexpr int retry_open_ms = 1000;
// pace=answer: the line's 3.5-character silence at 9600 baud, rounded up.
constexpr int answer_silence_ms = 4;
// Queries of a board after a command that may still show the old state.
constexpr int queries_to_confirm = 3;
// Answers that answer no frame are said at most this often.
constexpr qint64 unclaimed_quiet_ms = 60000;

QStringList to_list(const std::array<std::string, names::channel_count>& names) {
    QStringList list;
    for (const std::string& name : names) list << QString::fromStdString(name);
    return list;
}

}  // namespace

Line::Line(LineConfig config, names::NameFile& names, QObject* parent)
    : LineModel(parent),
      config_(std::move(config)),
      names_(names),
      link_(port_, panel_, *this, link::LinkController::Ticks::manual) {
    // Two boards' answers may come back to back: each is judged as it comes.
    link_.judge_every_waiting_answer(true);
    for (const std::uint8_t address : config_.boards)
        boards_.push_back(
            Board{address, false, 0, 0, 0, to_list(names_.load_names(std::to_string(address)))});
    tick_.setSingleShot(true);
    tick_.setTimerType(Qt::PreciseTimer);
    connect(&tick_, &QTimer::timeout, this, &Line::tick);
    retry_open_.setInterval(retry_open_ms);
    connect(&retry_open_, &QTimer::timeout, this, &Line::try_open);
    connect(&link_, &link::LinkController::frame_sent, this, &Line::on_frame_sent);
    connect(&link_, &link::LinkController::status_answered, this, &Line::on_answer);
    connect(&link_, &link::LinkController::answer_unclaimed, this, &Line::on_unclaimed);
    connect(&link_, &link::LinkController::port_state_changed, this, &Line::on_port_state);
}

Line::~Line() {
    link_.shutdown();
    fail_calls(std::nullopt, Outcome::Error::offline, "the service is stopping");
}

void Line::port_error(const QString& text) {
    log(Priority::error, text.toStdString(), {config_.name, {}, {}, {}});
}

void Line::start() {
    try_open();
    if (!link_.port_open()) {
        log(Priority::warning, "waiting for " + config_.device, {config_.name, {}, {}, {}});
        retry_open_.start();
    }
}

void Line::try_open() {
    if (!link_.open_device({QString::fromStdString(config_.device), link::PortSource::named}, -1))
        return;
    retry_open_.stop();
    log(Priority::info,
        "polling boards " + mqtt::boards_text(config_.boards) + " on " + config_.device +
            (config_.pace == Pace::answer ? ", each frame once the last is answered"
                                          : ", one frame every 50 ms"),
        {config_.name, {}, {}, {}});
}

QString Line::name() const {
    return QString::fromStdString(config_.name);
}
QString Line::device() const {
    return QString::fromStdString(config_.device);
}
bool Line::open() const {
    return link_.port_open();
}
std::vector<std::uint8_t> Line::boards() const {
    return config_.boards;
}
int Line::boards_online() const {
    return static_cast<int>(
        std::count_if(boards_.begin(), boards_.end(), [](const Board& b) { return b.online; }));
}

BoardState Line::board(std::uint8_t address) const {
    const Board* b = find(address);
    if (!b) return {};
    return {b->online, b->online ? b->relays : std::uint16_t{0}, b->names};
}

Line::Board* Line::find(std::uint8_t address) {
    const auto found = std::find_if(boards_.begin(), boards_.end(),
                                    [address](const Board& b) { return b.address == address; });
    return found == boards_.end() ? nullptr : &*found;
}
const Line::Board* Line::find(std::uint8_t address) const {
    return const_cast<Line*>(this)->find(address);
}

// One frame: a query to the board just commanded; else a wanted state's
// command once a board was polled in turn since the last one; else a query to
// the next board in turn. Under a flood of switches every third frame still
// polls the boards in turn.
void Line::tick() {
    if (!link_.timer_enabled()) return;  // the device is gone; the link reopens it
    emit ticked();
    if (confirm_next_) {
        panel_.set_address(*confirm_next_);
        confirm_next_.reset();
    } else if (!polled_in_turn_ || !send_wanted()) {
        panel_.set_address(boards_[next_poll_].address);
        next_poll_ = (next_poll_ + 1) % boards_.size();
        polled_in_turn_ = true;
    } else {
        polled_in_turn_ = false;
    }
    link_.Timer1_Timer();
    tick_.start(link::LinkController::tick_ms);
}

bool Line::send_wanted() {
    const auto b = std::find_if(boards_.begin(), boards_.end(),
                                [](const Board& b) { return b.wanted_mask != 0; });
    if (b == boards_.end()) return false;
    protocol::Command command;
    if (b->wanted_mask == all_relays && (b->wanted_bits == 0 || b->wanted_bits == all_relays)) {
        command = protocol::all_command(b->wanted_bits != 0);
        b->wanted_mask = 0;
    } else {
        int relay = 1;
        while (!(b->wanted_mask & protocol::relay_bit(relay))) ++relay;
        command = protocol::switch_command(relay, b->wanted_bits & protocol::relay_bit(relay));
        b->wanted_mask &= static_cast<std::uint16_t>(~protocol::relay_bit(relay));
    }
    panel_.set_address(b->address);
    link_.set_command(command);
    for (Call& call : calls_)
        if (call.address == b->address && !(call.mask & b->wanted_mask)) call.sent = true;
    confirm_next_ = b->address;
    return true;
}

void Line::on_frame_sent(const protocol::Frame& frame) {
    last_sent_ = frame;
    const std::uint8_t address = frame[1];
    liveness_.polled(address);
    Board* b = find(address);
    if (b && b->online && !liveness_.live(address))
        go_offline(*b, QString("no valid answer to %1 polls in a row")
                           .arg(link::BoardLiveness::polls_without_answer));
}

// `sent` is the frame the answer answers, which carries its address; a late
// answer to an older frame does not hurry the next one.
void Line::on_answer(const protocol::Frame& sent, const protocol::Frame& status) {
    const std::uint8_t address = sent[1];
    Board* b = find(address);
    if (!b) return;
    liveness_.answered(address);
    if (config_.pace == Pace::answer && sent == last_sent_ && tick_.isActive())
        tick_.start(answer_silence_ms);
    const std::uint16_t relays = protocol::relay_pattern(status);
    const bool came_online = !b->online;
    const std::uint16_t before = b->relays;
    b->online = true;
    b->relays = relays;
    if (came_online) log(Priority::info, "answers", {config_.name, address, {}, {}});
    for (int relay = 1; relay <= protocol::relay_count && !came_online; ++relay) {
        const std::uint16_t bit = protocol::relay_bit(relay);
        if ((before ^ relays) & bit)
            log(Priority::notice, (relays & bit) ? "relay on" : "relay off",
                {config_.name, address, relay, "observed"});
    }
    if (came_online || before != relays) emit board_changed(address);
    settle_calls(*b, sent[2] == protocol::cmd_query);
}

// The first, then at most one a minute: a line full of them says so without
// flooding the journal.
void Line::on_unclaimed(const protocol::Frame& status) {
    if (unclaimed_said_.isValid() && unclaimed_said_.elapsed() < unclaimed_quiet_ms) return;
    unclaimed_said_.start();
    log(Priority::warning,
        "dropped an answer from address " + std::to_string(status[1]) +
            ", which no poll waits on (" +
            std::to_string(link_.counters().since_open.answers_other_address) +
            " answers from another address since the line opened)",
        {config_.name, {}, {}, {}});
}

void Line::settle_calls(const Board& b, bool query) {
    if (!query) return;  // the answer to a command may show the relays from before it
    for (auto call = calls_.begin(); call != calls_.end();) {
        if (call->address != b.address || !call->sent) {
            ++call;
            continue;
        }
        Done done;
        Outcome outcome;
        if ((b.relays & call->mask) == (call->bits & call->mask)) {
            done = std::move(call->done);
        } else if (++call->queries_after >= queries_to_confirm) {
            done = std::move(call->done);
            outcome = {Outcome::Error::not_confirmed,
                       QString("board %1 answered but did not switch").arg(b.address)};
        }
        if (!done) {
            ++call;
            continue;
        }
        call = calls_.erase(call);
        done(outcome);
    }
}

void Line::fail_calls(std::optional<std::uint8_t> address, Outcome::Error error,
                      const QString& why) {
    std::list<Call> failed;
    for (auto call = calls_.begin(); call != calls_.end();) {
        auto next = std::next(call);
        if (!address || call->address == *address) failed.splice(failed.end(), calls_, call);
        call = next;
    }
    for (Call& call : failed) call.done({error, why});
}

void Line::go_offline(Board& b, const QString& why) {
    b.online = false;
    b.relays = 0;
    b.wanted_mask = 0;
    log(Priority::warning, "offline: " + why.toStdString(), {config_.name, b.address, {}, {}});
    fail_calls(b.address, Outcome::Error::offline, QString("board %1 is offline").arg(b.address));
    emit board_changed(b.address);
}

// The link closes the port when its device goes away and reopens it when it
// is back; nothing wanted before the loss is sent after it.
void Line::on_port_state(bool is_open) {
    emit open_changed();
    if (is_open) {
        tick_.start(0);
        return;
    }
    tick_.stop();
    for (Board& b : boards_)
        if (b.online) go_offline(b, QString::fromStdString(config_.device) + " went away");
    fail_calls(std::nullopt, Outcome::Error::offline, "the line's device went away");
    for (Board& b : boards_) b.wanted_mask = 0;
    liveness_ = {};
    polled_in_turn_ = true;
    confirm_next_.reset();
}

void Line::want(std::uint8_t address, std::uint16_t mask, std::uint16_t bits, Done done) {
    Board* b = find(address);
    if (!b || !b->online || !link_.port_open())
        return done({Outcome::Error::offline, QString("board %1 is offline").arg(address)});
    // An earlier call for the same relays that wants otherwise has lost.
    for (auto call = calls_.begin(); call != calls_.end();) {
        const std::uint16_t overlap = call->mask & mask;
        if (call->address != address || !overlap || (call->bits & overlap) == (bits & overlap)) {
            ++call;
            continue;
        }
        Done lost = std::move(call->done);
        call = calls_.erase(call);
        lost({Outcome::Error::not_confirmed, "a later call wanted these relays otherwise"});
    }
    b->wanted_mask |= mask;
    b->wanted_bits = static_cast<std::uint16_t>((b->wanted_bits & ~mask) | (bits & mask));
    calls_.push_back(Call{address, mask, bits, false, 0, std::move(done)});
}

void Line::switch_relay(std::uint8_t address, int relay, bool on, const QString& caller,
                        Done done) {
    const std::uint16_t bit = protocol::relay_bit(relay);
    log(Priority::info, (on ? "switching on for " : "switching off for ") + caller.toStdString(),
        {config_.name, address, relay, "dbus"});
    want(address, bit, on ? bit : 0, std::move(done));
}

void Line::switch_all(std::uint8_t address, bool on, const QString& caller, Done done) {
    log(Priority::info,
        (on ? "switching all on for " : "switching all off for ") + caller.toStdString(),
        {config_.name, address, {}, "dbus"});
    want(address, all_relays, on ? all_relays : 0, std::move(done));
}

void Line::rename(std::uint8_t address, int relay, const QString& name, const QString& caller,
                  Done done) {
    const std::string address_text = std::to_string(address);
    const std::string relay_text = std::to_string(relay);
    const names::WriteError why =
        names_.set_channel_name(address_text, relay_text, name.toStdString());
    if (why != names::WriteError::none) {
        const std::string text =
            names::refused_name_text(why, names_.path(), address_text, relay_text);
        return done({Outcome::Error::failed,
                     QString::fromStdString(text.empty() ? names_.path() + ": not stored" : text)});
    }
    log(Priority::info, "renamed \"" + name.toStdString() + "\" for " + caller.toStdString(),
        {config_.name, address, relay, "dbus"});
    if (Board* b = find(address)) b->names = to_list(names_.load_names(address_text));
    emit board_changed(address);
    done({});
}

}  // namespace tarnwick::service
