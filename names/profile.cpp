#include "names/profile.h"

#include <unordered_map>

#include "names/gbk.h"

namespace tarnwick::names {

// Every byte the parser looks for (CR, LF, '=', ';', blanks, quotes) lies
// below 0x40 and so can never be a GBK trail byte; only ']' needs a
// character-by-character walk.

namespace {

constexpr std::string_view blanks = " \t\v";

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

std::string_view trim_blanks(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    // Empty, but still inside text: the parser takes offsets from the result.
    if (first == std::string_view::npos) return text.substr(text.size());
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

Profile::Profile(std::string_view gbk_text) : text_(gbk_text) {
    std::size_t at = 0;
    while (at < text_.size()) {
        Line line;
        line.begin = at;
        const std::size_t brk = text_.find_first_of("\r\n", at);
        if (brk == std::string_view::npos) {
            line.end = line.next = text_.size();
        } else {
            line.end = brk;
            line.next = brk + 1;
            if (text_[brk] == '\r' && line.next < text_.size() && text_[line.next] == '\n')
                ++line.next;
        }
        at = line.next;

        const std::string_view whole = text_.substr(line.begin, line.end - line.begin);
        const std::size_t first = whole.find_first_not_of(blanks);
        const std::size_t index = lines_.size();
        const bool comment = first != std::string_view::npos && whole[first] == ';';
        if (first != std::string_view::npos && whole[first] == '[') {
            // The name ends at the first ']' that is a character of its own.
            std::size_t close = first + 1;
            while (close < whole.size() && whole[close] != ']')
                close += gbk_char_length(whole, close);
            const std::string_view name = trim_blanks(whole.substr(first + 1, close - first - 1));
            line.kind = Kind::header;
            line.name_begin = static_cast<std::size_t>(name.data() - text_.data());
            line.name_end = line.name_begin + name.size();
            sections_.push_back({index, index});
        } else if (const std::size_t eq = whole.find('=');
                   !comment && eq != std::string_view::npos) {
            const std::string_view name = trim_blanks(whole.substr(0, eq));
            line.kind = Kind::key;
            line.name_begin = name.empty() ? line.begin + eq
                                           : static_cast<std::size_t>(name.data() - text_.data());
            line.name_end = line.name_begin + name.size();
            line.equals = line.begin + eq;
            if (!sections_.empty()) sections_.back().last_key = index;
        }
        lines_.push_back(line);
    }
}

std::optional<std::size_t> Profile::find_section(std::string_view name) const {
    name = trim_blanks(name);
    for (std::size_t s = 0; s < sections_.size(); ++s)
        if (gbk_equal_ignore_case(name_of(lines_[sections_[s].header]), name)) return s;
    return std::nullopt;
}

std::optional<std::size_t> Profile::find_key(const Section& section, std::string_view key) const {
    key = trim_blanks(key);
    for (std::size_t i = section.header + 1; i <= section.last_key; ++i)
        if (lines_[i].kind == Kind::key && gbk_equal_ignore_case(name_of(lines_[i]), key)) return i;
    return std::nullopt;
}

std::optional<std::string_view> Profile::value(std::string_view section,
                                               std::string_view key) const {
    const auto s = find_section(section);
    if (!s) return std::nullopt;
    const auto k = find_key(sections_[*s], key);
    if (!k) return std::nullopt;
    const Line& line = lines_[*k];
    return unquote(trim_blanks(text_.substr(line.equals + 1, line.end - line.equals - 1)));
}

namespace {

struct Added {
    std::string_view key;
    std::string_view value;
};

struct NewSection {
    std::string_view name;
    std::vector<Added> keys;
};

// A key already waiting to be added takes the later value, or keeps its own.
void add_key(std::vector<Added>& pending, std::string_view key, std::string_view value,
             Profile::Existing existing) {
    for (Added& a : pending) {
        if (gbk_equal_ignore_case(a.key, key)) {
            if (existing == Profile::Existing::replace) a.value = value;
            return;
        }
    }
    pending.push_back({key, value});
}

void put_key(std::string& out, const Added& a) {
    out += a.key;
    out += '=';
    out += a.value;
    out += "\r\n";
}

}  // namespace

// What a batch of edits does to the text: keys to add after the last key of
// each section, sections to append, key lines that get a new value.
struct Profile::Plan {
    std::vector<std::vector<Added>> added;  // per section of the text
    std::vector<NewSection> appended;
    std::unordered_map<std::size_t, std::string_view> replaced;  // key line -> new value
};

std::string Profile::edited(std::span<const ProfileEdit> edits, Existing existing) const {
    return written(planned(edits, existing), edits.size());
}

Profile::Plan Profile::planned(std::span<const ProfileEdit> edits, Existing existing) const {
    Plan plan;
    plan.added.resize(sections_.size());
    // Folded name -> section; the first of equal names wins. Built once so a
    // batch of thousands of edits does not scan all sections each time.
    std::unordered_map<std::string, std::size_t> section_index;
    for (std::size_t s = 0; s < sections_.size(); ++s)
        section_index.emplace(gbk_fold_case(name_of(lines_[sections_[s].header])), s);
    std::unordered_map<std::string, std::size_t> appended_index;

    for (const ProfileEdit& edit : edits) {
        const std::string_view name = trim_blanks(edit.section);
        const std::string_view key = trim_blanks(edit.key);
        std::string folded = gbk_fold_case(name);
        std::vector<Added>* pending = nullptr;
        if (const auto found = section_index.find(folded); found != section_index.end()) {
            if (const auto line = find_key(sections_[found->second], key)) {
                if (existing == Existing::replace) plan.replaced[*line] = edit.value;
                continue;
            }
            pending = &plan.added[found->second];
        } else {
            auto [slot, inserted] = appended_index.emplace(std::move(folded), plan.appended.size());
            if (inserted) plan.appended.push_back({name, {}});
            pending = &plan.appended[slot->second].keys;
        }
        add_key(*pending, key, edit.value, existing);
    }
    return plan;
}

std::string Profile::written(const Plan& plan, std::size_t edit_count) const {
    std::string out;
    out.reserve(text_.size() + edit_count * 32);
    std::size_t s = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        // Only the last line can lack a line break.
        bool broken = line.next != line.end;
        if (const auto r = plan.replaced.find(i); r != plan.replaced.end()) {
            out += text_.substr(line.begin, line.equals + 1 - line.begin);
            out += r->second;
            out += broken ? text_.substr(line.end, line.next - line.end) : "\r\n";
            broken = true;
        } else {
            out += text_.substr(line.begin, line.next - line.begin);
        }
        for (; s < sections_.size() && sections_[s].last_key == i; ++s) {
            if (plan.added[s].empty()) continue;
            if (!broken) out += "\r\n";
            broken = true;
            for (const Added& a : plan.added[s]) put_key(out, a);
        }
    }
    if (!plan.appended.empty() && !out.empty() && out.back() != '\n' && out.back() != '\r')
        out += "\r\n";
    for (const NewSection& section : plan.appended) {
        out += '[';
        out += section.name;
        out += "]\r\n";
        for (const Added& a : section.keys) put_key(out, a);
    }
    return out;
}

bool has_line(std::string_view gbk_text, std::string_view line) {
    std::size_t at = 0;
    while (at < gbk_text.size()) {
        std::size_t brk = gbk_text.find('\r', at);
        if (brk == std::string_view::npos) brk = gbk_text.size();
        if (gbk_text.substr(at, brk - at) == line) return true;
        at = brk + 1;
        if (at < gbk_text.size() && gbk_text[at] == '\n') ++at;
    }
    return false;
}

}  // namespace tarnwick::names
