// Interlocked ONs waiting for the others of their groups, by the clock and
// the frame numbers the rows give.
#include "engine/interlock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tarnwick::link::BoardRules;
using tarnwick::link::Interlock;
using SteadyClock = std::chrono::steady_clock;

TEST(Interlock, WhatGoesOffFirstIsTheOthersOfItsGroupsThatMayBeOn) {
    BoardRules rules;
    rules.groups = {0x0003, 0x001C, 0x0030};  // relays {1, 2}, {3, 4, 5}, {5, 6}
    const struct {
        const char* what;
        int relay;
        std::uint16_t may_be_on;
        std::uint16_t expected;
    } rows[] = {
        {"nothing known: the other of its group", 1, 0xFFFF, 0x0002},
        {"in two groups: the others of both (3, 4, 6)", 5, 0xFFFF, 0x002C},
        {"only those that may be on (3 and 6)", 5, 0x0025, 0x0024},
        {"itself on, the other off", 2, 0x0002, 0x0000},
        {"relays of other groups on", 1, 0xFFFC, 0x0000},
        {"in no group", 7, 0xFFFF, 0x0000},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Interlock::to_release(rules, row.relay, row.may_be_on), row.expected) << row.what;
}

// One thing happening at `at_ms`, to board `address`.
struct Step {
    int at_ms = 0;
    char what = 't';
    int relay = 0;
    std::uint16_t relays = 0;
    std::uint64_t frame = 0;
    std::uint16_t pending = 0;
    std::uint8_t address = 1;
    int settle_ms = 100;
};
// The ON of `relay` waits for `release`; `last_sent` was the last frame out.
Step start(int at, int relay, std::uint16_t release, std::uint64_t last_sent, std::uint8_t a = 1,
           int settle = 100) {
    return {at, 's', relay, release, last_sent, 0, a, settle};
}
// The frame releasing `relays` went out as number `frame`.
Step sent(int at, std::uint16_t relays, std::uint64_t frame, std::uint8_t a = 1) {
    return {at, 'r', 0, relays, frame, 0, a};
}
// The answer to query `frame` shows `shown`; `pending`: releases not sent yet.
Step query(int at, std::uint16_t shown, std::uint64_t frame, std::uint16_t pending = 0,
           std::uint8_t a = 1) {
    return {at, 'q', 0, shown, frame, pending, a};
}
Step drop(int at, std::uint16_t relays, std::uint8_t a = 1) {
    return {at, 'd', 0, relays, 0, 0, a};
}
Step tick(int at) {
    return {at, 't'};
}

std::string said(int at, const char* what, const Interlock::Wait& w) {
    char text[64];
    std::snprintf(text, sizeof text, "%d %s %d/%d", at, what, w.address, w.relay);
    return text;
}

void run(Interlock& interlock, const Step& s, std::vector<std::string>& told) {
    const auto now = SteadyClock::time_point{} + std::chrono::milliseconds(s.at_ms);
    switch (s.what) {
        case 's':
            return interlock.start({.address = s.address,
                                    .relay = s.relay,
                                    .release = s.relays,
                                    .settle = std::chrono::milliseconds(s.settle_ms),
                                    .origin = {},
                                    .started = now,
                                    .released = std::nullopt,
                                    .after = s.frame});
        case 'r':
            return interlock.release_sent(s.address, s.relays, s.frame);
        case 'q':
            return interlock.answered(s.address, s.relays, s.frame, s.pending, now);
        case 'd':
            for (const auto& w : interlock.drop(s.address, s.relays))
                told.push_back(said(s.at_ms, "dropped", w));
            return;
        default: {
            const Interlock::Due due = interlock.advance(now);
            for (const auto& w : due.on) told.push_back(said(s.at_ms, "on", w));
            for (const auto& w : due.late) told.push_back(said(s.at_ms, "late", w));
        }
    }
}

// Board 1 unless said; 100 ms between the release seen and the ON.
TEST(Interlock, AnOnIsDueOnceAQueryAfterTheLastReleaseShowsTheOthersOff) {
    const struct {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> told;  // "<ms> on|late|dropped <board>/<relay>"
    } rows[] = {
        {"released, seen off, waited, then on",
         {start(0, 2, 0x0001, 5), sent(0, 0x0001, 6), query(50, 0x0000, 7), tick(149), tick(150)},
         {"150 on 1/2"}},
        {"no wait on a board without one",
         {start(0, 2, 0x0001, 5, 1, 0), sent(0, 0x0001, 6), query(50, 0x0000, 7), tick(50)},
         {"50 on 1/2"}},
        {"a late answer to a query from before the last release counts not",
         {start(0, 3, 0x0003, 5), sent(0, 0x0001, 6), sent(50, 0x0002, 8), query(60, 0x0000, 7),
          tick(500), query(550, 0x0000, 9), tick(649), tick(650)},
         {"650 on 1/3"}},
        {"the query out when the wait started counts not",
         {start(0, 2, 0x0001, 5), query(20, 0x0000, 5), tick(999), tick(1000)},
         {"1000 late 1/2"}},
        {"nothing had to go out: a query after the start is enough",
         {start(0, 2, 0x0001, 5), query(20, 0x0000, 6), tick(120)},
         {"120 on 1/2"}},
        {"still on: dropped after a second",
         {start(0, 2, 0x0001, 5), sent(0, 0x0001, 6), query(50, 0x0001, 7), tick(999), tick(1000)},
         {"1000 late 1/2"}},
        {"one of two still on",
         {start(0, 3, 0x0003, 5), sent(0, 0x0003, 6), query(50, 0x0002, 7), tick(1000)},
         {"1000 late 1/3"}},
        {"a release not sent yet holds it back",
         {start(0, 3, 0x0003, 5), sent(0, 0x0001, 6), query(50, 0x0000, 7, 0x0002), tick(1000)},
         {"1000 late 1/3"}},
        {"seen released just in time: on after its wait, no timeout",
         {start(0, 2, 0x0001, 5), sent(0, 0x0001, 6), query(990, 0x0000, 7), tick(1000), tick(1089),
          tick(1090)},
         {"1090 on 1/2"}},
        {"another board's answer counts not",
         {start(0, 2, 0x0001, 5), sent(0, 0x0001, 6), query(50, 0x0000, 7, 0, 2), tick(1000)},
         {"1000 late 1/2"}},
        {"a later switch in the group replaces the wait",
         {start(0, 2, 0x0001, 5), sent(0, 0x0001, 6), drop(10, 0x0003), query(50, 0x0000, 7),
          tick(2000)},
         {"10 dropped 1/2"}},
        {"a later ON of the same relay starts its own wait",
         {start(0, 2, 0x0001, 5), start(500, 2, 0x0001, 9), tick(1000), tick(1499), tick(1500)},
         {"1500 late 1/2"}},
        {"a drop of other relays or of another board leaves it",
         {start(0, 2, 0x0001, 5), drop(10, 0x0001), drop(20, 0xFFFF, 2), tick(1000)},
         {"1000 late 1/2"}},
        {"two boards, each released by its own answer",
         {start(0, 2, 0x0001, 5, 1), start(0, 2, 0x0001, 5, 2), sent(0, 0x0001, 6, 1),
          sent(0, 0x0001, 7, 2), query(20, 0x0000, 8, 0, 1), tick(120), tick(1000)},
         {"120 on 1/2", "1000 late 2/2"}},
    };
    for (const auto& row : rows) {
        Interlock interlock;
        std::vector<std::string> told;
        for (const Step& step : row.steps) run(interlock, step, told);
        EXPECT_EQ(told, row.told) << row.what;
        EXPECT_TRUE(interlock.empty()) << row.what;
    }
}

TEST(Interlock, TheRelaysWaitingAreThoseOfTheBoard) {
    Interlock interlock;
    std::vector<std::string> told;
    for (const Step& step : {start(0, 2, 0x0001, 5), start(0, 4, 0x0004, 5, 1),
                             start(0, 6, 0x0010, 5, 1), start(0, 3, 0x0001, 5, 2)})
        run(interlock, step, told);
    // Relays 2, 4 and 6 of board 1 wait: bits 1, 3 and 5.
    EXPECT_EQ(interlock.waiting(1), 0x002A);
    EXPECT_EQ(interlock.waiting(2), 0x0004);
    EXPECT_EQ(interlock.waiting(3), 0x0000);
}

}  // namespace
