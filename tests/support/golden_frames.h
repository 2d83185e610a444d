#pragma once

// The board's documented example frames, for every test that checks frames
// on the wire.

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "protocol/frame.h"

namespace tarnwick::test {

struct GoldenCase {
    const char* what;
    const char* address;
    std::uint8_t code, a, b;
    protocol::Frame expected;
};

// clang-format off
inline const GoldenCase golden[] = {
    {"query, address 1", "1", 0x10, 0x00, 0x00, {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x66}},
    {"query, address 0", "0", 0x10, 0x00, 0x00, {0x55, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x65}},
    {"query, address 255", "255", 0x10, 0x00, 0x00, {0x55, 0xFF, 0x10, 0x00, 0x00, 0x00, 0x00, 0x64}},
    {"energize all", "1", 0x13, 0xFF, 0xFF, {0x55, 0x01, 0x13, 0x00, 0x00, 0xFF, 0xFF, 0x67}},
    {"release all", "1", 0x13, 0x00, 0x00, {0x55, 0x01, 0x13, 0x00, 0x00, 0x00, 0x00, 0x69}},
    {"release relay 3", "1", 0x11, 0x00, 0x03, {0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x03, 0x6A}},
    {"energize relay 3", "1", 0x21, 0xFA, 0x03, {0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x03, 0x74}},
};
// clang-format on

// The example frame of that name.
inline protocol::Frame golden_frame(std::string_view what) {
    const auto* found = std::find_if(std::begin(golden), std::end(golden),
                                     [&](const GoldenCase& c) { return what == c.what; });
    if (found == std::end(golden)) throw std::invalid_argument("no example frame of that name");
    return found->expected;
}

}  // namespace tarnwick::test
