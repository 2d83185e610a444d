#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/frame.h"

namespace tarnwick::link {

using SteadyClock = std::chrono::steady_clock;

// What the line did over a stretch of time.
struct LinkTally {
    SteadyClock::time_point since{};  // when the stretch began
    std::int64_t frames_sent = 0;
    std::int64_t bytes_received = 0;  // read or discarded, every byte the line brought
    std::int64_t answers_accepted = 0;
    std::int64_t rejected_checksum = 0;    // first byte 0x22, wrong checksum
    std::int64_t rejected_first_byte = 0;  // not even a status frame's first byte
    // Accepted, but from an address no frame was waiting on an answer from
    // (answer_attribution.h): another board's, or one too late to be any.
    std::int64_t answers_other_address = 0;

    [[nodiscard]] std::int64_t answers_rejected() const {
        return rejected_checksum + rejected_first_byte;
    }
};

// The link's counts since the port opened and since the last accepted answer
// (or the open, when none came since), and when the last byte came in: what
// tells a silent line from one whose answers are refused.
struct LinkCounters {
    LinkTally since_open;
    LinkTally since_answer;
    std::optional<SteadyClock::time_point> last_byte_at;

    void start(SteadyClock::time_point now) {
        since_open = LinkTally{now};
        since_answer = LinkTally{now};
        last_byte_at.reset();
    }
    void sent() {
        ++since_open.frames_sent;
        ++since_answer.frames_sent;
    }
    void received(std::size_t bytes, SteadyClock::time_point now) {
        if (bytes == 0) return;
        since_open.bytes_received += static_cast<std::int64_t>(bytes);
        since_answer.bytes_received += static_cast<std::int64_t>(bytes);
        last_byte_at = now;
    }
    void judged(protocol::Verdict verdict, SteadyClock::time_point now) {
        switch (verdict) {
            case protocol::Verdict::accepted:
                ++since_open.answers_accepted;
                since_answer = LinkTally{now};
                break;
            case protocol::Verdict::bad_checksum:
                ++since_open.rejected_checksum;
                ++since_answer.rejected_checksum;
                break;
            case protocol::Verdict::bad_first_byte:
                ++since_open.rejected_first_byte;
                ++since_answer.rejected_first_byte;
                break;
        }
    }
    // After judged(accepted): that answer answered no frame of ours.
    void unclaimed() {
        ++since_open.answers_other_address;
        ++since_answer.answers_other_address;
    }
};

}  // namespace tarnwick::link
