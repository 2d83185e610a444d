// A board's relays set at once: the fewest frames, releases first.
#include "engine/board_setting.h"

#include <gtest/gtest.h>

namespace {

using tarnwick::link::plan_setting;
using Steps = std::vector<tarnwick::link::SettingStep>;

TEST(BoardSetting, FewestFramesReleasesFirst) {
    const struct {
        const char* what;
        std::optional<std::uint16_t> shown;
        std::uint16_t mask, bits;
        bool patterns;
        Steps expected;
    } rows[] = {
        {"all off first: every relay on now is released", 0x00ff, 0xffff, 0xff00, false,
         {{0xffff, 0}, {0xff00, 0xff00}}},
        {"no all-off while a relay wanted on is on", 0xffff, 0xffff, 0x5555, false,
         {{0xaaaa, 0}, {0x5555, 0x5555}}},
        {"no all-off for one release", 0x0001, 0x0003, 0x0002, false, {{0x0001, 0}, {0x0002, 0x0002}}},
        {"no all-off over a relay outside the scene that is on", 0x8003, 0x0003, 0x0000, false,
         {{0x0003, 0}}},
        {"all-off over relays outside the scene that are off", 0x0003, 0x0007, 0x0004, false,
         {{0xffff, 0}, {0x0004, 0x0004}}},
        {"unknown: the releases as asked", std::nullopt, 0x00f0, 0x0030, false,
         {{0x00c0, 0}, {0x0030, 0x0030}}},
        {"energizes only", 0x0000, 0x0006, 0x0006, false, {{0x0006, 0x0006}}},
        {"a pattern, the rest as shown", 0x8000, 0x00ff, 0x0055, true, {{0xffff, 0x8055}}},
        {"a pattern for the whole board, state unknown", std::nullopt, 0xffff, 0x1234, true,
         {{0xffff, 0x1234}}},
        {"a pattern needs the rest known", std::nullopt, 0x00ff, 0x0055, true,
         {{0x00aa, 0}, {0x0055, 0x0055}}},
        {"nothing", 0x0000, 0x0000, 0x0000, false, {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(plan_setting(row.shown, row.mask, row.bits, row.patterns), row.expected)
            << row.what;
}

}  // namespace
