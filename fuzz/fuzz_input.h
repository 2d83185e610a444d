#pragma once

// Shared by the fuzz targets: reading the input as a little program, and
// reporting a broken invariant so that libFuzzer keeps the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace tarnwick::fuzz {

// The input front to back. Reads past the end give zero bytes, so every
// input, however short, is a complete program.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data, size) {}

    [[nodiscard]] bool done() const { return at_ >= data_.size(); }
    [[nodiscard]] std::size_t left() const { return data_.size() - at_; }

    std::uint8_t byte() { return done() ? 0 : data_[at_++]; }

    // Up to n bytes, fewer at the end of the input.
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (n > left()) n = left();
        const auto taken = data_.subspan(at_, n);
        at_ += n;
        return taken;
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

// abort() is what libFuzzer records as a crash, with the input saved.
#define TARNWICK_FUZZ_CHECK(condition, ...)                                             \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                          \
            std::fputc('\n', stderr);                                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (false)

}  // namespace tarnwick::fuzz
