#include "service/state_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "names/file_io.h"
#include "protocol/number_text.h"

namespace tarnwick::service {

StateFile::StateFile(std::string path, Report report)
    : path_(std::move(path)), report_(std::move(report)) {}

void StateFile::load() {
    values_.clear();
    saved_.clear();
    if (const auto owner = names::foreign_link_owner(path_)) {
        report_(Priority::error, path_ + " is a link of uid " + std::to_string(*owner) +
                                     ", who may not choose our files: not read, not written");
        saved_ = text();
        return;
    }
    int error = 0;
    const auto bytes = names::read_file(path_, &error);
    if (!bytes) {
        if (error == ENOENT) return;
        if (error == EFBIG)
            return set_aside("larger than " + std::to_string(names::max_file_bytes >> 20) + " MiB");
        if (error == EISDIR || error == EINVAL) return set_aside("not a regular file");
        report_(Priority::error, "cannot read " + path_ + ": " + std::strerror(error) +
                                     "; starting without what it kept");
        return;
    }
    int bad_line = 0;
    auto values = parse(*bytes, &bad_line);
    if (!values) return set_aside("line " + std::to_string(bad_line) + " cannot be understood");
    values_ = std::move(*values);
    saved_ = *bytes;
}

// Kept beside it under a name of its own for whoever wants to look, and
// never read again; the next save writes a new file.
void StateFile::set_aside(const std::string& why) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", localtime_r(&now, &local));
    const std::string aside = path_ + ".bad-" + stamp;
    if (std::rename(path_.c_str(), aside.c_str()) == 0) {
        report_(Priority::error,
                path_ + ": " + why + "; set aside as " + aside + ", starting without what it kept");
    } else {
        report_(Priority::error, path_ + ": " + why + ", and it cannot be set aside (" +
                                     std::strerror(errno) + "); starting without what it kept");
    }
    saved_ = "\n";  // whatever is there now is not ours: the next save replaces it
}

std::optional<std::int64_t> StateFile::value(const std::string& section,
                                             const std::string& key) const {
    const auto s = values_.find(section);
    if (s == values_.end()) return std::nullopt;
    const auto k = s->second.find(key);
    if (k == s->second.end()) return std::nullopt;
    return k->second;
}

void StateFile::set(const std::string& section, const std::string& key, std::int64_t value) {
    values_[section][key] = value;
}

void StateFile::remove(const std::string& section, const std::string& key) {
    const auto s = values_.find(section);
    if (s == values_.end()) return;
    s->second.erase(key);
    if (s->second.empty()) values_.erase(s);
}

std::string StateFile::text() const {
    std::string out;
    for (const auto& [section, keys] : values_) {
        out += "[" + section + "]\n";
        for (const auto& [key, value] : keys) out += key + "=" + std::to_string(value) + "\n";
    }
    return out;
}

// Sections and key=integer lines as written above; blank lines pass.
std::optional<StateFile::Values> StateFile::parse(const std::string& text, int* bad_line) {
    constexpr auto max_value = static_cast<std::uint64_t>(INT64_MAX);
    Values values;
    std::map<std::string, std::int64_t>* section = nullptr;
    int at = 0;
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++at;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto equals = line.find('=');
        const std::uint64_t number =
            equals == std::string::npos
                ? max_value + 1
                : protocol::parse_unsigned_64(std::string_view(line).substr(equals + 1))
                      .value_or(max_value + 1);
        if (line.front() == '[' && line.back() == ']' && line.size() > 2) {
            section = &values[line.substr(1, line.size() - 2)];
        } else if (section && equals != std::string::npos && equals > 0 && number <= max_value) {
            (*section)[line.substr(0, equals)] = static_cast<std::int64_t>(number);
        } else {
            if (bad_line) *bad_line = at;
            return std::nullopt;
        }
    }
    return values;
}

bool StateFile::save() {
    const std::string now = text();
    // After a failed write the disk may hold anything: write even what was
    // written before.
    if (now == saved_ && last_error_ == 0) return true;
    int error = 0;
    if (!names::replace_file(path_, now, &error)) {
        if (error != last_error_)
            report_(Priority::error, "cannot write " + path_ + ": " + std::strerror(error) +
                                         "; what it keeps (pulses, the relays last confirmed) "
                                         "would be lost at a restart; trying again");
        last_error_ = error;
        return false;
    }
    if (last_error_) report_(Priority::notice, path_ + " is written again");
    last_error_ = 0;
    saved_ = now;
    return true;
}

}  // namespace tarnwick::service
