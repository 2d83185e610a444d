#include "wire/answer_attribution.h"

#include <algorithm>

namespace tarnwick::link {

void AnswerAttribution::forget_older(Clock::time_point now) {
    while (!waiting_.empty() && now - waiting_.front().sent > patience_) waiting_.pop_front();
}

std::uint64_t AnswerAttribution::sent(const protocol::Frame& frame, std::uint8_t code,
                                      Clock::time_point now) {
    forget_older(now);  // a silent line must not make the list grow
    waiting_.push_back({frame, code, now, ++sent_count_});
    return sent_count_;
}

std::deque<AnswerAttribution::Waiting>::iterator AnswerAttribution::match(std::uint8_t address,
                                                                          std::uint8_t code) {
    const auto to_address = [address](const Waiting& w) { return w.frame[1] == address; };
    const auto oldest = std::find_if(waiting_.begin(), waiting_.end(), to_address);
    const auto with_code = std::find_if(
        oldest, waiting_.end(), [&](const Waiting& w) { return to_address(w) && w.code == code; });
    if (with_code != waiting_.end() && with_code->frame[2] != protocol::cmd_query)
        echoes_.set(address);
    if (codes_always_ && with_code == waiting_.end()) return waiting_.end();
    if (with_code == waiting_.end() || !(codes_always_ || echoes_.test(address))) return oldest;
    // The board answers in order: those before it will not be answered.
    const auto lost = std::count_if(oldest, with_code, to_address);
    if (lost == 0) return with_code;
    const Waiting kept = *with_code;
    std::erase_if(waiting_,
                  [&](const Waiting& w) { return to_address(w) && w.number < kept.number; });
    return std::find_if(waiting_.begin(), waiting_.end(),
                        [&](const Waiting& w) { return w.number == kept.number; });
}

std::optional<protocol::Frame> AnswerAttribution::answered(std::uint8_t address, std::uint8_t code,
                                                           Clock::time_point now) {
    forget_older(now);
    const auto asked = match(address, code);
    if (asked == waiting_.end()) return std::nullopt;
    const protocol::Frame frame = asked->frame;
    last_answered_number_ = asked->number;
    waiting_.erase(asked);
    return frame;
}

}  // namespace tarnwick::link
