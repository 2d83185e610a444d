#include "engine/interlock.h"

#include <algorithm>

namespace tarnwick::link {

namespace {
std::uint16_t bit(int relay) {
    return static_cast<std::uint16_t>(1U << (relay - 1));
}
}  // namespace

std::uint16_t Interlock::to_release(const BoardRules& rules, int relay, std::uint16_t may_be_on) {
    return static_cast<std::uint16_t>(rules.partners(relay) & may_be_on);
}

void Interlock::start(const Wait& wait) {
    drop(wait.address, bit(wait.relay));
    waits_.push_back(wait);
}

void Interlock::release_sent(std::uint8_t address, std::uint16_t relays, std::uint64_t frame) {
    for (Wait& w : waits_)
        if (w.address == address && (w.release & relays)) w.after = std::max(w.after, frame);
}

void Interlock::answered(std::uint8_t address, std::uint16_t relays, std::uint64_t frame,
                         std::uint16_t pending, Clock::time_point now) {
    for (Wait& w : waits_)
        if (w.address == address && !w.released && frame > w.after && !(relays & w.release) &&
            !(pending & w.release))
            w.released = now;
}

// A wait seen released never times out: only its settle time is left.
Interlock::Due Interlock::advance(Clock::time_point now) {
    Due due;
    std::erase_if(waits_, [&](const Wait& w) {
        if (w.released) {
            if (now - *w.released < w.settle) return false;
            due.on.push_back(w);
            return true;
        }
        if (now - w.started < patience) return false;
        due.late.push_back(w);
        return true;
    });
    return due;
}

std::vector<Interlock::Wait> Interlock::drop(std::uint8_t address, std::uint16_t relays) {
    std::vector<Wait> dropped;
    std::erase_if(waits_, [&](const Wait& w) {
        if (w.address != address || !(relays & bit(w.relay))) return false;
        dropped.push_back(w);
        return true;
    });
    return dropped;
}

std::uint16_t Interlock::waiting(std::uint8_t address) const {
    std::uint16_t relays = 0;
    for (const Wait& w : waits_)
        if (w.address == address) relays |= bit(w.relay);
    return relays;
}

}  // namespace tarnwick::link
