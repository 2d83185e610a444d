#include "panel/board_round.h"

namespace tarnwick::link {

void BoardRound::set_boards(const std::vector<std::uint8_t>& addresses) {
    std::map<std::uint8_t, Board> kept;
    for (const std::uint8_t address : addresses) {
        const auto old = boards_.find(address);
        kept[address] = old == boards_.end() ? Board{} : old->second;
    }
    boards_ = std::move(kept);
}

std::vector<std::uint8_t> BoardRound::addresses() const {
    std::vector<std::uint8_t> list;
    for (const auto& [address, board] : boards_) list.push_back(address);
    return list;
}

std::optional<std::uint8_t> BoardRound::next() {
    if (boards_.empty()) return std::nullopt;
    auto at = boards_.lower_bound(turn_);
    if (at == boards_.end()) at = boards_.begin();
    turn_ = static_cast<std::uint8_t>(at->first + 1);
    // Past 255 the turn wraps to 0, which is where the round starts again.
    return at->first;
}

void BoardRound::asked(std::uint8_t address, Clock::time_point now) {
    const auto at = boards_.find(address);
    if (at == boards_.end()) return;
    ++at->second.asked;
    if (at->second.waiting_since) ++at->second.missed;
    at->second.waiting_since = now;
}

bool BoardRound::answered(std::uint8_t address, std::uint16_t relays, Clock::time_point now) {
    const auto at = boards_.find(address);
    if (at == boards_.end()) return false;
    at->second.relays = relays;
    at->second.answered = now;
    at->second.waiting_since.reset();
    at->second.missed = 0;
    return true;
}

void BoardRound::forget() {
    for (auto& [address, board] : boards_) board = Board{};
}

const BoardRound::Board* BoardRound::board(std::uint8_t address) const {
    const auto at = boards_.find(address);
    return at == boards_.end() ? nullptr : &at->second;
}

bool BoardRound::online(std::uint8_t address, Clock::time_point now) const {
    const Board* b = board(address);
    if (!b || !b->answered) return false;
    const auto round = turn_time_ * static_cast<int>(boards_.size());
    if (now - *b->answered > 2 * round + patience_) return false;
    const bool overdue = b->waiting_since && now - *b->waiting_since > patience_;
    return b->missed + (overdue ? 1 : 0) < 2;
}

}  // namespace tarnwick::link
