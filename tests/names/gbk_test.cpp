#include "names/gbk.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

using namespace tarnwick::names;

namespace {

TEST(Gbk, EncodesLikeCodePage936) {
    struct {
        const char* utf8;
        const char* gbk;
    } cases[] = {
        {"Tarnwick", "Tarnwick"},
        {"软件属性", "\xC8\xED\xBC\xFE\xCA\xF4\xD0\xD4"},
        {"地址码", "\xB5\xD8\xD6\xB7\xC2\xEB"},
        {"第", "\xB5\xDA"},
        {"路名称", "\xC2\xB7\xC3\xFB\xB3\xC6"},
        {"揮", "\x93\x5D"},          // trail byte is ']'
        {"測", "\x9C\x79"},          // trail byte is 'y'
        {"€", "\x80"},               // the Windows table's single-byte euro
        {"·—", "\xA1\xA4\xA1\xAA"},  // where GB2312 tables and Windows differ
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_gbk(c.utf8), std::optional<std::string>(c.gbk)) << c.utf8;
        EXPECT_EQ(gbk_to_utf8(c.gbk), c.utf8) << c.utf8;
    }
}

TEST(Gbk, RefusesWhatItCannotEncode) {
    for (const char* utf8 : {"\xF0\x9F\x98\x80" /* emoji */, "\xED\x95\x9C" /* Hangul */,
                             "\xE3\x83\xBB" /* katakana middle dot */, "ok\xC3" /* cut UTF-8 */,
                             "\xC0\xAF" /* overlong */})
        EXPECT_EQ(utf8_to_gbk(utf8), std::nullopt) << utf8;
}

TEST(Gbk, UndecodableBytesBecomeOneReplacementEach) {
    using namespace std::string_literals;
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    struct {
        std::string gbk;
        std::string utf8;
    } cases[] = {
        {"a\xFF"s + "b", "a" + bad + "b"},
        {"\xAA\xA1"s + "x", bad + "x"},  // user-defined area: one character, one U+FFFD
        {"x\x81"s, "x" + bad},           // lead byte at the end
        {"\x81\x30"s, bad + "0"},        // no trail byte after the lead: the '0' survives
        {"\xB5\xDA\0\xC2\xB7"s, "第\0路"s},
    };
    for (const auto& c : cases) EXPECT_EQ(gbk_to_utf8(c.gbk), c.utf8) << c.utf8;
}

TEST(Gbk, PrefixNeverSplitsACharacter) {
    const std::string di = "\xB5\xDA", hui = "\x93\x5D";  // 第, 揮
    const std::string mixed = "a" + di + "b" + hui;
    const std::pair<std::size_t, std::string> cases[] = {
        {0, ""},    {1, "a"},    {2, "a"}, {3, "a" + di}, {4, "a" + di + "b"}, {5, "a" + di + "b"},
        {6, mixed}, {99, mixed},
    };
    for (const auto& [max, expected] : cases) EXPECT_EQ(gbk_prefix(mixed, max), expected) << max;
    // A lead byte without a trail byte is a character of its own.
    EXPECT_EQ(gbk_prefix("\x81\x30\x81", 2), "\x81\x30");
}

TEST(Gbk, CaseFoldsOnlySingleByteLetters) {
    struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"Section", "sECTION", true},
        {"k1", "K1", true},
        {"\xB0\x41", "\xB0\x61", false},  // 癆 and 癮: trail bytes 'A' and 'a'
        {"\xB0\x41", "\xB0\x41", true},
        {"\x93\x5D", "\x93\x7D", false},
        {"ab", "abc", false},
        {"[", "{", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gbk_equal_ignore_case(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(gbk_fold_case(c.a) == gbk_fold_case(c.b), c.equal) << c.a << " / " << c.b;
    }
}

}  // namespace
