#include "engine/requests.h"

#include <bit>

namespace tarnwick::link {

namespace {
// Answers to queries after a command that may still show the old state.
constexpr int queries_to_confirm = 3;
constexpr std::uint16_t all_relays = 0xffff;
}  // namespace

Requests::Requests(BoardLine& line, QObject* parent) : QObject(parent), line_(line) {}

void Requests::listen() {
    connect(&line_, &BoardLine::board_answered, this, &Requests::on_answer);
    connect(&line_, &BoardLine::command_sent, this, &Requests::on_command);
    connect(&line_, &BoardLine::board_online_changed, this,
            [this](std::uint8_t address, bool online, const QString&) {
                if (online) {
                    gone_.erase(address);
                    return;
                }
                gone_.insert(address);
                fail_all(address, Settled::Error::offline,
                         QString("board %1 is offline").arg(address));
            });
    connect(&line_, &BoardLine::port_state_changed, this, [this](bool open) {
        if (!open) fail_all(std::nullopt, Settled::Error::offline, "the line's device went away");
    });
    connect(&line_, &BoardLine::frame_sent, this, [this](const protocol::Frame& frame) {
        const std::uint8_t code = frame[2];
        commanded_last_[frame[1]] = code == protocol::cmd_energize ||
                                    code == protocol::cmd_release || code == protocol::cmd_all;
    });
    connect(&line_, &BoardLine::request_refused, this, &Requests::on_refused);
    connect(&line_, &BoardLine::interlock_failed, this,
            [this](std::uint8_t address, int relay, const QString& why) {
                const std::uint16_t bit = protocol::relay_bit(relay);
                settle_if(
                    [&](const Asked& a) { return a.address == address && (a.mask & a.bits & bit); },
                    {Settled::Error::interlock, QString("relay %1 of board %2 not switched on: %3")
                                                    .arg(relay)
                                                    .arg(address)
                                                    .arg(why)});
            });
}

void Requests::settle_if(const std::function<bool(const Asked&)>& pick, const Settled& settled) {
    std::list<Asked> picked;
    for (auto a = asked_.begin(); a != asked_.end();) {
        auto next = std::next(a);
        if (pick(*a)) picked.splice(picked.end(), asked_, a);
        a = next;
    }
    for (Asked& a : picked) a.settle(settled);
}

void Requests::fail_all(std::optional<std::uint8_t> address, Settled::Error error,
                        const QString& why) {
    settle_if([&](const Asked& a) { return !address || a.address == *address; }, {error, why});
}

void Requests::on_answer(std::uint8_t address, std::uint16_t relays, bool to_query) {
    if (!to_query) return;
    const std::uint16_t pending = line_.pending(address);
    for (Asked& a : asked_)
        if (a.address == address && (relays & a.mask) != (a.bits & a.mask) && !(a.mask & pending))
            ++a.queries_after;
    settle_if(
        [&](const Asked& a) {
            return a.address == address && (relays & a.mask) == (a.bits & a.mask);
        },
        {});
    if (caller_keeps_time_) return;
    settle_if(
        [&](const Asked& a) {
            return a.address == address && a.queries_after >= queries_to_confirm;
        },
        {Settled::Error::not_confirmed,
         QString("board %1 answered but did not switch").arg(address)});
}

// The refusal answers the frame last sent to the board: when that was a
// command, the requests whose commands are out have been refused.
void Requests::on_refused(std::uint8_t address, const QString& why) {
    if (!commanded_last_[address]) return;
    settle_if([&](const Asked& a) { return a.address == address && a.sent; },
              {Settled::Error::refused, why});
}

// A pulse shorter than the way to its confirming answer: its end proves the
// ON went out.
void Requests::on_command(std::uint8_t address, const WantedStates::Want& want,
                          const Origin& origin) {
    const std::uint16_t mask = want.relay == 0 ? all_relays : protocol::relay_bit(want.relay);
    for (Asked& a : asked_)
        if (a.address == address && (a.mask & mask)) a.sent = true;
    if (origin.source != Origin::Source::pulse || want.on) return;
    settle_if(
        [&](const Asked& a) {
            return a.pulse && a.address == address &&
                   (want.relay == 0 || a.mask == protocol::relay_bit(want.relay));
        },
        {});
}

void Requests::ask(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                   const Origin& origin, Settle settle,
                   std::optional<std::chrono::milliseconds> length) {
    const bool unseen = caller_keeps_time_ && !gone_.contains(address);
    if (!line_.is_open() || (!line_.online(address) && !unseen))
        return settle({Settled::Error::offline, QString("board %1 is offline").arg(address)});
    // An earlier request for the same relays that wants otherwise has lost.
    settle_if(
        [&](const Asked& a) {
            const std::uint16_t overlap = a.mask & mask;
            return a.address == address && overlap && (a.bits & overlap) != (bits & overlap);
        },
        {Settled::Error::not_confirmed, "a later call wanted these relays otherwise"});
    asked_.push_back(Asked{address, mask, bits, 0, std::move(settle), length.has_value()});
    if (mask == all_relays && (bits == 0 || bits == all_relays)) {
        if (!line_.want_all(address, bits != 0, origin))
            settle_if([&](const Asked& a) { return a.address == address && (a.mask & a.bits); },
                      {Settled::Error::interlock,
                       QString("board %1 has interlocked relays: all on is refused; switch "
                               "them one by one")
                           .arg(address)});
    } else if (length) {
        line_.pulse(address, std::countr_zero(mask) + 1, *length, origin);
    } else {
        for (int relay = 1; relay <= protocol::relay_count; ++relay)
            if (mask & protocol::relay_bit(relay))
                line_.want(address, relay, (bits & protocol::relay_bit(relay)) != 0, origin);
    }
}

}  // namespace tarnwick::link
