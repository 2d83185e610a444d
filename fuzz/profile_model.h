#pragma once

// The model the profile targets share: texts from a small alphabet, what the
// format's documented rules say a reader finds, and a session that runs the
// input's operations against a store (the file routines, or the engine on
// text in memory) and checks every answer.
//
// Input: two bytes n (low byte first), then up to n bytes of text, then
// operations. Each operation starts with a byte; its value mod 8 picks it and
// the rest (value / 8) is its argument a:
//
//   0, 1, 7  write(section, key, value)
//   2        write(section, key, prefix + (a symbol repeated c + 1 times) + suffix):
//            section, key, prefix, the symbol's byte, c, suffix
//   3, 4     read(section, key)
//   5        section_exists(section)
//   6        a % 4 = 0 or 1: the store's own operation (see the target);
//            2, 3: check every key read so far
//
// A text is one byte t: t >= 0xE0 picks a name of the name file (pool), else
// t % 9 symbols follow, one byte each, from a small alphabet that has
// ASCII, the profile's special characters, Chinese and characters GBK lacks.
//
// The oracles know the alphabet's GBK bytes and the format's documented
// rules (blanks are space, tab and vertical tab and are trimmed, a section
// name ends at its first ']', a line starting with ';' is a comment, names
// match ignoring ASCII case, values are unquoted and cut at 254 bytes), not
// the library's code: a key read for the first time must read as a reader of
// its own finds it in the text; a written key reads back; every key read
// before reads as before, unless written since; a write keeps every comment
// line.

#include <iconv.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace tarnwick::fuzz::profile_model {

using namespace std::string_view_literals;

// The model's own branches are no coverage worth keeping inputs for, and
// tracing them would slow every input.
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)

struct Symbol {
    std::string_view utf8;
    std::optional<std::string_view> gbk;  // none: GBK has no code for it
};

// One symbol a line.
// clang-format off
inline const Symbol alphabet[] = {
    {"a", "a"},
    {"A", "A"},
    {"k", "k"},
    {"K", "K"},
    {"0", "0"},
    {"1", "1"},
    {"2", "2"},
    {" ", " "},
    {"\t", "\t"},
    {"[", "["},
    {"]", "]"},
    {"=", "="},
    {";", ";"},
    {"\"", "\""},
    {"'", "'"},
    {"\r", "\r"},
    {"\n", "\n"},
    {"\0"sv, "\0"sv},
    {"地", "\xB5\xD8"},
    {"址", "\xD6\xB7"},
    {"码", "\xC2\xEB"},
    {"第", "\xB5\xDA"},
    {"路", "\xC2\xB7"},
    {"名", "\xC3\xFB"},
    {"称", "\xB3\xC6"},
    {"软", "\xC8\xED"},
    {"件", "\xBC\xFE"},
    {"属", "\xCA\xF4"},
    {"性", "\xD0\xD4"},
    {"揮", "\x93\x5D"},  // trail byte ']'
    {"癆", "\xB0\x41"},  // trail byte 'A'
    {"癮", "\xB0\x61"},  // trail byte 'a'
    {"€", "\x80"},       // one byte in code page 936
    {"ü", "\xA8\xB9"},
    {"😀", std::nullopt},
    {"\u00E5", std::nullopt},  // å
    {"\v", "\v"},
};
// clang-format on
inline constexpr std::size_t alphabet_size = std::size(alphabet);

using Text = std::vector<std::size_t>;  // indices into the alphabet

inline std::string_view utf8_of(std::size_t s) {
    return alphabet[s].utf8;
}

inline std::string utf8(const Text& text) {
    std::string out;
    for (const auto s : text) out += utf8_of(s);
    return out;
}

inline std::optional<std::string> gbk(const Text& text) {
    std::string out;
    for (const auto s : text) {
        if (!alphabet[s].gbk) return std::nullopt;
        out += *alphabet[s].gbk;
    }
    return out;
}

inline bool is_blank(std::size_t s) {
    return utf8_of(s) == " " || utf8_of(s) == "\t" || utf8_of(s) == "\v";
}

inline Text trimmed(const Text& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return Text(text.begin() + static_cast<std::ptrdiff_t>(begin),
                text.begin() + static_cast<std::ptrdiff_t>(end));
}

// The name as the file matches it: trimmed, ASCII letters in one case.
inline std::string match_key(const Text& name) {
    std::string out = utf8(trimmed(name));
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

inline bool breaks_line(const Text& text) {
    for (const auto s : text)
        if (utf8_of(s) == "\r" || utf8_of(s) == "\n" || utf8_of(s) == "\0"sv) return true;
    return false;
}

// Whether write_ini must store these: one line each, a key that reads back
// as a key ('=' would end it early, a leading '[' would make a header, a
// leading ';' a comment), a section name without ']' (it would end there),
// all in GBK.
inline bool storable(const Text& section, const Text& key, const Text& value) {
    if (breaks_line(section) || breaks_line(key) || breaks_line(value)) return false;
    const Text k = trimmed(key);
    for (const auto s : k)
        if (utf8_of(s) == "=") return false;
    if (!k.empty() && (utf8_of(k.front()) == "[" || utf8_of(k.front()) == ";")) return false;
    for (const auto s : section)
        if (utf8_of(s) == "]") return false;
    return gbk(section) && gbk(key) && gbk(value);
}

// What read_ini gives back for a stored value: blanks trimmed, one matching
// pair of quotes removed, then at most 254 bytes of GBK, whole characters.
inline std::string value_read_back(const Text& value) {
    Text v = trimmed(value);
    if (v.size() >= 2 && v.front() == v.back() &&
        (utf8_of(v.front()) == "\"" || utf8_of(v.front()) == "'"))
        v = Text(v.begin() + 1, v.end() - 1);
    std::string out;
    std::size_t bytes = 0;
    for (const auto s : v) {
        bytes += alphabet[s].gbk->size();
        if (bytes > 254) break;
        out += utf8_of(s);
    }
    return out;
}

// Names the name file holds, as texts of the alphabet.
inline std::vector<Text> pool;

inline Text parse_text(std::string_view utf8_text) {
    Text out;
    while (!utf8_text.empty()) {
        std::size_t best = alphabet_size;
        for (std::size_t s = 0; s < alphabet_size; ++s)
            if (!utf8_of(s).empty() && utf8_text.starts_with(utf8_of(s)) &&
                (best == alphabet_size || utf8_of(s).size() > utf8_of(best).size()))
                best = s;
        if (best == alphabet_size) std::abort();  // a pool name outside the alphabet
        out.push_back(best);
        utf8_text.remove_prefix(utf8_of(best).size());
    }
    return out;
}

// section_exists from the file's bytes: lines end at CR LF or a lone CR.
inline bool has_header_line(const std::string& bytes, const Text& section) {
    const auto name = gbk(section);
    if (!name) return false;
    const std::string header = "[" + *name + "]";
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\r', at);
        if (end == std::string::npos) end = bytes.size();
        if (bytes.compare(at, end - at, header) == 0) return true;
        at = end + 1;
        if (at < bytes.size() && bytes[at] == '\n') ++at;
    }
    return false;
}

// A second reader of the format, written from its description, for the
// keys the session has not written: GBK characters are a lead byte 81..FE
// and a trail byte 40..FE other than 7F, so a trail byte can be ']' or 'A'.
inline std::size_t char_length(std::string_view t, std::size_t i) {
    const auto lead = static_cast<unsigned char>(t[i]);
    if (i + 1 >= t.size() || lead < 0x81 || lead > 0xFE) return 1;
    const auto trail = static_cast<unsigned char>(t[i + 1]);
    return trail >= 0x40 && trail <= 0xFE && trail != 0x7F ? 2 : 1;
}

inline bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}

inline std::string_view trim(std::string_view t) {
    while (!t.empty() && blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    return t;
}

// ASCII letters match either case; two-byte characters match exactly.
inline bool same_gbk_name(std::string_view in_file, std::string_view asked) {
    if (in_file.size() != asked.size()) return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < in_file.size();) {
        const std::size_t n = char_length(in_file, i);
        if (n == 2 ? in_file.substr(i, 2) != asked.substr(i, 2)
                   : lower(in_file[i]) != lower(asked[i]))
            return false;
        i += n;
    }
    return true;
}

// Takes the first line off text: lines end at CR LF, a lone CR or a lone LF.
struct Line {
    std::string_view text;
    bool broken;  // a line break follows it
};
inline Line take_line(std::string_view& text) {
    std::size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) end = text.size();
    const Line line{text.substr(0, end), end < text.size()};
    text.remove_prefix(end);
    if (text.starts_with("\r\n"))
        text.remove_prefix(2);
    else if (!text.empty())
        text.remove_prefix(1);
    return line;
}

// The line of key in the first section named section.
inline std::optional<Line> reference_line(std::string_view text, std::string_view section,
                                          std::string_view key) {
    section = trim(section);
    key = trim(key);
    bool inside = false;
    while (!text.empty()) {
        const Line line = take_line(text);
        const std::string_view body = trim(line.text);
        if (body.starts_with('[')) {
            if (inside) return std::nullopt;  // the first section of that name ends
            std::size_t close = 1;
            while (close < body.size() && body[close] != ']') close += char_length(body, close);
            inside = same_gbk_name(trim(body.substr(1, close - 1)), section);
            continue;
        }
        if (body.starts_with(';')) continue;
        const std::size_t eq = line.text.find('=');
        if (inside && eq != std::string_view::npos &&
            same_gbk_name(trim(line.text.substr(0, eq)), key))
            return line;
    }
    return std::nullopt;
}

// The GBK value of key in the first section named section, "" when absent,
// trimmed, unquoted and cut to 254 bytes between characters.
inline std::string reference_value(std::string_view text, std::string_view section,
                                   std::string_view key) {
    const auto line = reference_line(text, section, key);
    if (!line) return {};
    std::string_view value = trim(line->text.substr(line->text.find('=') + 1));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() - 2);
    std::size_t cut = 0;
    while (cut < value.size() && cut + char_length(value, cut) <= 254)
        cut += char_length(value, cut);
    return std::string(value.substr(0, cut));
}

// The file's comment lines in order: first non-blank character ';'.
inline std::vector<std::string_view> comment_lines(std::string_view text) {
    std::vector<std::string_view> comments;
    while (!text.empty())
        if (const Line line = take_line(text); trim(line.text).starts_with(';'))
            comments.push_back(line.text);
    return comments;
}

// GBK to UTF-8, or nothing when the bytes are no GBK text.
inline std::optional<std::string> decoded(const std::string& gbk_text) {
    static const iconv_t cd = iconv_open("UTF-8", "CP936");
    std::string out(gbk_text.size() * 3 + 1, '\0');
    char* in_ptr = const_cast<char*>(gbk_text.data());
    std::size_t in_left = gbk_text.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - out_left);
    return out;
}

#pragma clang attribute pop

inline void fill_pool() {
    for (const char* name :
         {"地址码0", "地址码1", "第1路名称", "第2路名称", "名称", "软件属性", "k", "K"})
        pool.push_back(parse_text(name));
}

struct Tracked {
    Text section;
    Text key;
    std::string value;  // what reading it must give
    // Kept to spare the checks converting them again and again.
    std::string section_match = match_key(section);
    std::string key_match = match_key(key);
    std::string section_utf8 = utf8(section);
    std::string key_utf8 = utf8(key);
};

// Runs one input against a store and checks each answer against the model.
// A store implements the hooks on UTF-8 names, as the file routines take them.
class Session {
  public:
    virtual ~Session() = default;

    void run(FuzzInput& in) {
        std::size_t size = in.byte();
        size |= static_cast<std::size_t>(in.byte()) << 8;
        const auto contents = in.bytes(size);
        put_contents(
            std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
        while (!in.done()) {
            const std::uint8_t op = in.byte();
            step(op % 8, op / 8, in);
            stepped();
        }
    }

  protected:
    virtual void put_contents(std::string_view bytes) = 0;
    [[nodiscard]] virtual std::string contents() = 0;
    [[nodiscard]] virtual std::string read(const std::string& section, const std::string& key) = 0;
    // 1 when stored, else 0, as write_ini.
    virtual int write(const std::string& section, const std::string& key,
                      const std::string& value) = 0;
    [[nodiscard]] virtual bool section_exists(const std::string& section) = 0;
    // Operation 6 with a % 4 = which (0 or 1).
    virtual void own_step(int which, FuzzInput& in) = 0;
    // After a stored write, and after every operation.
    virtual void wrote() {}
    virtual void stepped() {}

    Text text(FuzzInput& in) {
        const std::uint8_t t = in.byte();
        if (t >= 0xE0) return pool[(t - 0xE0) % pool.size()];
        Text out(t % 9);
        for (auto& s : out) s = in.byte() % alphabet_size;
        return out;
    }

    // A write, checked: stored exactly when the model says it can be, read
    // back, the comments and every other key read so far untouched.
    void checked_write(const Text& section, const Text& key, const Text& value) {
        const std::string before = contents();
        const int result = write(utf8(section), utf8(key), utf8(value));
        const bool expected = storable(section, key, value);
        TARNWICK_FUZZ_CHECK(result == (expected ? 1 : 0),
                            "write_ini([%s] %s = %s) gave %d, expected %d", utf8(section).c_str(),
                            utf8(key).c_str(), utf8(value).c_str(), result, expected);
        if (result == 0) {
            TARNWICK_FUZZ_CHECK(contents() == before, "a refused write changed the text");
            return;
        }
        wrote();
        const std::string after = contents();
        TARNWICK_FUZZ_CHECK(comment_lines(after) == comment_lines(before),
                            "write_ini([%s] %s) changed the comment lines", utf8(section).c_str(),
                            utf8(key).c_str());
        // A written line always ends in a line break, even as the last line.
        const auto line = reference_line(after, *gbk(section), *gbk(key));
        TARNWICK_FUZZ_CHECK(line && line->broken, "[%s] %s written %s", utf8(section).c_str(),
                            utf8(key).c_str(),
                            line ? "without a line break" : "where a reader cannot find it");

        const std::string stored = value_read_back(value);
        const std::string section_match = match_key(section);
        const std::string key_match = match_key(key);
        bool known = false;
        for (auto& t : tracked_)
            if (t.section_match == section_match && t.key_match == key_match) {
                t.value = stored;
                known = true;
            }
        if (!known) track(section, key, stored);
        const std::string got = read(utf8(section), utf8(key));
        TARNWICK_FUZZ_CHECK(got == stored, "[%s] %s = '%s' reads back '%s'", utf8(section).c_str(),
                            utf8(key).c_str(), stored.c_str(), got.c_str());
        check_tracked("a write");
    }

    void check_tracked(const char* after) {
        for (const auto& t : tracked_) {
            const std::string got = read(t.section_utf8, t.key_utf8);
            TARNWICK_FUZZ_CHECK(got == t.value, "after %s, [%s] %s reads '%s', expected '%s'",
                                after, t.section_utf8.c_str(), t.key_utf8.c_str(), got.c_str(),
                                t.value.c_str());
        }
    }

  private:
    void step(int kind, int a, FuzzInput& in) {
        switch (kind) {
            case 2: {
                const Text section = text(in);
                const Text key = text(in);
                Text value = text(in);
                const std::size_t repeated = in.byte() % alphabet_size;
                value.insert(value.end(), in.byte() + 1u, repeated);
                const Text suffix = text(in);
                value.insert(value.end(), suffix.begin(), suffix.end());
                checked_write(section, key, value);
                break;
            }
            case 3:
            case 4: {
                const Text section = text(in);
                const Text key = text(in);
                checked_read(section, key);
                break;
            }
            case 5: {
                const Text section = text(in);
                const bool found = section_exists(utf8(section));
                TARNWICK_FUZZ_CHECK(found == has_header_line(contents(), section),
                                    "section_exists('%s') gave %d", utf8(section).c_str(), found);
                break;
            }
            case 6:
                if (a % 4 < 2)
                    own_step(a % 4, in);
                else
                    check_tracked("a check");
                break;
            default: {
                const Text section = text(in);
                const Text key = text(in);
                const Text value = text(in);
                checked_write(section, key, value);
                break;
            }
        }
    }

    Tracked* find(const Text& section, const Text& key) {
        const std::string section_match = match_key(section);
        const std::string key_match = match_key(key);
        for (auto& t : tracked_)
            if (t.section_match == section_match && t.key_match == key_match) return &t;
        return nullptr;
    }

    void track(const Text& section, const Text& key, std::string value) {
        if (tracked_.size() < 32) tracked_.push_back({section, key, std::move(value)});
    }

    void checked_read(const Text& section, const Text& key) {
        const std::string got = read(utf8(section), utf8(key));
        if (const Tracked* t = find(section, key)) {
            TARNWICK_FUZZ_CHECK(got == t->value, "[%s] %s reads '%s', expected '%s'",
                                utf8(section).c_str(), utf8(key).c_str(), got.c_str(),
                                t->value.c_str());
            return;
        }
        // No name outside GBK can be in the text.
        if (!gbk(section) || !gbk(key)) {
            TARNWICK_FUZZ_CHECK(got.empty(), "unencodable name read '%s'", got.c_str());
        } else if (const auto expected =
                       decoded(reference_value(contents(), *gbk(section), *gbk(key)))) {
            TARNWICK_FUZZ_CHECK(got == *expected, "[%s] %s reads '%s', the format says '%s'",
                                utf8(section).c_str(), utf8(key).c_str(), got.c_str(),
                                expected->c_str());
        }
        track(section, key, got);
    }

    std::vector<Tracked> tracked_;
};

}  // namespace tarnwick::fuzz::profile_model
