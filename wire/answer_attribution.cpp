#include "wire/answer_attribution.h"

#include <algorithm>

namespace tarnwick::link {

void AnswerAttribution::forget_older(Clock::time_point now) {
    while (!waiting_.empty() && now - waiting_.front().sent > patience_) waiting_.pop_front();
}

std::uint64_t AnswerAttribution::sent(const protocol::Frame& frame, Clock::time_point now) {
    forget_older(now);  // a silent line must not make the list grow
    waiting_.push_back({frame, now, ++sent_count_});
    return sent_count_;
}

std::optional<protocol::Frame> AnswerAttribution::answered(const protocol::Frame& status,
                                                           Clock::time_point now) {
    forget_older(now);
    const std::uint8_t address = status[1];
    const auto asked = std::find_if(waiting_.begin(), waiting_.end(),
                                    [address](const Waiting& w) { return w.frame[1] == address; });
    if (asked == waiting_.end()) return std::nullopt;
    const protocol::Frame frame = asked->frame;
    last_answered_number_ = asked->number;
    waiting_.erase(asked);
    return frame;
}

}  // namespace tarnwick::link
